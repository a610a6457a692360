#include "PeerFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "FileDescriptor.h"

namespace quill::PeerFiles {

namespace {

std::string sizeText(std::size_t bytes) {
  return bytes % (1024 * 1024) == 0 ? std::to_string(bytes / (1024 * 1024)) + " MiB"
                                    : std::to_string(bytes / 1024) + " KiB";
}

}  // namespace

std::optional<std::string> read(const std::string& path, std::size_t maxBytes,
                                std::string& problem) {
  auto file = readRegularFile(path, maxBytes);
  if (file.bytes) return std::move(file.bytes);
  switch (file.failure) {
    case FileReadFailure::cannotOpen:
    case FileReadFailure::readError:
      problem = std::strerror(file.error);
      break;
    case FileReadFailure::notRegularFile:
      problem = "not a regular file";
      break;
    case FileReadFailure::tooLarge:
      problem = "larger than " + sizeText(maxBytes);
      break;
  }
  return std::nullopt;
}

std::optional<std::string> replace(const std::string& path, std::string_view bytes) {
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
  if (!file.valid()) return std::string(std::strerror(errno));
  bool written = writeAll(file.get(), bytes);
  if (::close(file.release()) != 0) written = false;
  if (written && std::rename(temporary.c_str(), path.c_str()) == 0) return std::nullopt;
  const std::string reason = std::strerror(errno);
  ::unlink(temporary.c_str());
  return reason;
}

void makeParentFolders(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (parent.empty()) return;
  std::error_code ignored;
  std::filesystem::create_directories(parent, ignored);
}

}  // namespace quill::PeerFiles
