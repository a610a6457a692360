#include "MCPStatus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quill {

std::optional<MCPStatus> MCPStatus::fromJSON(const JSONValue& value) {
  if (!value.objectValue()) return std::nullopt;
  auto flag = [&](std::string_view key) -> std::optional<bool> {
    const JSONValue* member = value.member(key);
    return member ? member->boolValue() : std::nullopt;
  };
  auto text = [&](std::string_view key) -> std::optional<std::string_view> {
    const JSONValue* member = value.member(key);
    return member ? member->stringValue() : std::nullopt;
  };
  auto enabled = flag("enabled");
  auto signedIn = flag("signedIn");
  auto listening = flag("listening");
  auto version = text("version");
  auto updatedAt = text("updatedAt");
  if (!enabled || !signedIn || !listening || !version || !updatedAt) return std::nullopt;
  return MCPStatus{*enabled, *signedIn, *listening, std::string(*version),
                   std::string(*updatedAt)};
}

std::optional<MCPStatus> MCPStatus::decode(std::string_view json) {
  auto decoded = JSONValue::decode(json);
  auto* value = std::get_if<JSONValue>(&decoded);
  return value ? fromJSON(*value) : std::nullopt;
}

namespace {

// Owns one descriptor and closes it exactly once.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::optional<MCPStatus> MCPStatus::readFile(const std::string& path) {
  // O_NONBLOCK keeps a FIFO from blocking the open; the type check below then rejects it.
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > maxFileBytes) {
    return std::nullopt;
  }
  // Read one byte past the bound so a file that grew since fstat is still caught.
  std::string bytes(maxFileBytes + 1, '\0');
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t n = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  if (filled > maxFileBytes) return std::nullopt;
  bytes.resize(filled);
  return decode(bytes);
}

JSONValue MCPStatus::jsonValue() const {
  return JSONValue::object({{"enabled", enabled},
                            {"signedIn", signedIn},
                            {"listening", listening},
                            {"version", version},
                            {"updatedAt", updatedAt}});
}

}  // namespace quill
