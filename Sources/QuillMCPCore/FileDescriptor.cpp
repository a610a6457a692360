#include "FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace quill {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::string, FileReadReason> readRegularFile(const std::string& path, std::size_t maxBytes) {
  using Failed = Failure<FileReadReason>;
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!file.valid()) {
    const bool absent = errno == ENOENT || errno == ENOTDIR;
    return Failed{absent ? FileReadReason::absent : FileReadReason::unreadable, errno};
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return Failed{FileReadReason::notRegularFile};
  }
  if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > maxBytes) {
    return Failed{FileReadReason::tooLarge};
  }
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(info.st_size));
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(file.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Failed{FileReadReason::unreadable, errno};
    if (n == 0) return bytes;
    if (static_cast<std::size_t>(n) > maxBytes - bytes.size()) {
      return Failed{FileReadReason::tooLarge};  // it has grown since fstat
    }
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
}

Result<Done, FileWriteReason> writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Failure<FileWriteReason>{FileWriteReason::write, n < 0 ? errno : EIO};
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return Done{};
}

Result<Done, FileWriteReason> replaceFile(const std::string& path, std::string_view bytes) {
  makeParentFolders(path);
  // A name left behind by an earlier process with the same id is skipped, not reused.
  static unsigned serial = 0;
  std::string temporary;
  FileDescriptor file;
  for (int attempt = 0; attempt < 100 && !file.valid(); ++attempt) {
    temporary = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    file = FileDescriptor(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!file.valid() && errno != EEXIST) break;
  }
  if (!file.valid()) return Failure<FileWriteReason>{FileWriteReason::create, errno};
  FileWriteReason step = FileWriteReason::write;
  if (!failed(writeAll(file.get(), bytes)) && ::close(file.release()) == 0) {
    step = FileWriteReason::rename;
    if (std::rename(temporary.c_str(), path.c_str()) == 0) return Done{};
  }
  const int error = errno;
  ::unlink(temporary.c_str());
  return Failure<FileWriteReason>{step, error};
}

void makeParentFolders(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  std::error_code ignored;
  if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
}

}  // namespace quill
