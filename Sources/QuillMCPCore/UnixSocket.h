// What both ends of the link need of a Unix-domain socket: its address, who is at the other end,
// and the lock by which a listener shows that it is alive.
#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "FileDescriptor.h"

namespace quill {

// Fills `address` for the socket file at `path`. Gives 0, or the errno that says why `path` cannot
// name a socket file: ENAMETOOLONG beyond `MCPPaths::maxSocketPathBytes` (whatever the
// platform's address field holds), EINVAL for an empty path or one with a NUL byte (which would
// cut it short or, on Linux, reach the abstract namespace).
int fillSocketAddress(std::string_view path, sockaddr_un& address);

// The user id of the process at the other end of the connected Unix-domain socket `fd`, as the
// kernel recorded it when the connection was made; absent when the system cannot tell (not a
// Unix-domain socket, not connected). Both ends of the link use it to refuse a peer that runs as
// another user: only someone who can act as this user may answer for, or ask, the application.
std::optional<uid_t> peerUserID(int fd);

// True when the peer of `fd` runs as this process's own effective user.
bool peerIsSameUser(int fd);

// A lock on the file "<socket path>.lock", held by the application for as long as it listens.
//
// A socket file alone cannot say whether anyone still serves on it: a connection is refused both
// when its listener has gone and, on macOS, when a live listener's queue is full. The lock can:
// the system drops it when its holder exits, however it ends. A listener takes the lock before it
// replaces a socket file it finds; whoever diagnoses the link only looks at it.
class ListenerLock {
 public:
  static std::string lockPath(std::string_view socketPath);

  // Takes the lock for `socketPath`, creating its file (0600) when needed; a symbolic link in its
  // place is not followed. Gives the errno on failure: EWOULDBLOCK (or EAGAIN, EACCES) while
  // another process holds it.
  static std::variant<ListenerLock, int> acquire(std::string_view socketPath);

  enum class State {
    held,    // a live process holds it: something serves, or is about to serve, on the socket
    free,    // the file is there and nobody holds it: whoever held it has gone
    absent,  // no lock file to look at (or it cannot be read): the listener does not keep one
  };
  // Looks without taking the lock, so that looking never gets in a listener's way. For other
  // processes only: the holder itself sees its own lock as free, and would lose it as the look
  // closes the file.
  static State probe(std::string_view socketPath);

 private:
  explicit ListenerLock(FileDescriptor file) : file_(std::move(file)) {}
  FileDescriptor file_;  // the lock lasts as long as this descriptor is open
};

}  // namespace quill
