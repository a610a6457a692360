// What both ends of the link need of a Unix-domain socket: its address, who is at the other end,
// a send that raises no signal, and the lock by which a listener shows that it is alive.
#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <string>
#include <string_view>

#include "FileDescriptor.h"
#include "Result.h"

namespace quill {

// Why a path cannot name a socket file; the failure holds the matching errno.
enum class SocketPathReason {
  tooLong,  // beyond `MCPPaths::maxSocketPathBytes`, whatever the platform's address field holds
  invalid,  // empty, or with a NUL byte (which would cut it short or, on Linux, reach the abstract
            // namespace)
};

// The address of the socket file at `path`.
Result<sockaddr_un, SocketPathReason> socketAddress(std::string_view path);

// True when the peer of the connected Unix-domain socket `fd` runs as this process's effective
// user, as the kernel recorded it at connection; false when it cannot tell. Both ends refuse
// another user: only someone who can act as this user may answer for, or ask, the application.
bool peerIsSameUser(int fd);

// send(2) of `bytes` over the stream socket `fd`, except that a peer that has gone gives EPIPE
// and never raises SIGPIPE.
ssize_t sendWithoutSignal(int fd, std::string_view bytes);

// A lock on the file "<socket path>.lock", held by the application for as long as it listens.
//
// A socket file alone cannot say whether anyone still serves on it: a connection is refused both
// when its listener has gone and, on macOS, when a live listener's queue is full. The lock can:
// the system drops it when its holder exits, however it ends. A listener takes the lock before it
// replaces a socket file it finds; whoever diagnoses the link only looks at it.
class ListenerLock {
 public:
  static std::string lockPath(std::string_view socketPath);

  enum class Reason {
    held,    // another process holds it
    failed,  // its file could not be made or locked: `error`
  };
  // Takes the lock for `socketPath`, creating its file (0600) when needed; a symbolic link in its
  // place is not followed.
  static Result<ListenerLock, Reason> acquire(std::string_view socketPath);

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
