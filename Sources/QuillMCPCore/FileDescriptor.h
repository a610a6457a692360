// Owning file descriptors, reading small files safely, and writing whole buffers and files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "Result.h"

namespace quill {

// Owns one descriptor and closes it exactly once. Move-only.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Gives the descriptor up to the caller, who must close it.
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Why `readRegularFile` gave nothing; the failure holds the errno where a call failed.
enum class FileReadReason {
  absent,          // nothing at the path, or a part of it is not a folder
  unreadable,      // it could not be opened or read
  notRegularFile,  // a folder, a FIFO, a device, a socket
  tooLarge,        // more than the caller's bound
};

// Reads a whole regular file of at most `maxBytes`. It is opened without blocking, so a FIFO or a
// device never stalls the caller: anything but a regular file is refused, and so is a file that
// is (or grows while being read) larger than `maxBytes`.
Result<std::string, FileReadReason> readRegularFile(const std::string& path, std::size_t maxBytes);

// The step at which a write failed; the failure holds that call's errno.
enum class FileWriteReason {
  create,  // the new file beside the target could not be made (a folder missing or not writable)
  write,   // its bytes could not be written (the disk is full, or a pipe's reader has gone)
  rename,  // it could not take the target's place (the target is a folder, say)
};

// Writes all of `bytes` to `fd`, going on after short writes and interruptions by signals. A
// closed pipe gives EPIPE, not SIGPIPE, only where the caller ignores that signal.
Result<Done, FileWriteReason> writeAll(int fd, std::string_view bytes);

// Replaces the file at `path` with `bytes`, making missing parent folders first. The bytes go to
// a new file beside it, created exclusively (0644 less the process's mask; no existing file or
// link is opened), which is renamed over `path`: a reader sees the old contents or the new ones
// whole, and a symbolic link at `path` is replaced, not followed. On failure `path` is as it was.
Result<Done, FileWriteReason> replaceFile(const std::string& path, std::string_view bytes);

// Makes the missing folders above `path`, with the process's mask. What cannot be made shows
// when the file itself is made.
void makeParentFolders(const std::string& path);

}  // namespace quill
