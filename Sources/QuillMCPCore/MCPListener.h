// The application's side of the link: it listens on the socket, and each client sends one request
// line and is sent one answer line.
//
// Serve one client at a time with the waiting forms (`accept(wait)`, `readRequest(true)`,
// `writeAnswer(true)`), or many side by side from one poll loop: poll each `fd()` for its
// `events()` until its `deadline()`, then call the same operations without waiting; each does
// what it can at once and says whether it is done.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "FileDescriptor.h"
#include "LineFraming.h"
#include "Result.h"
#include "UnixSocket.h"

namespace quill {

// One client, from its request line to its answer line. Closed when destroyed. Move-only.
class MCPConnection {
 public:
  using Clock = std::chrono::steady_clock;

  enum class Reason {
    noneWaiting,   // `accept`: no client came within the wait
    acceptFailed,  // `accept`: errno (EMFILE, ENFILE, ENOMEM: pause before trying again)
    otherUser,     // `accept`: the client runs as another user and was closed on unread
    timedOut,      // the deadline passed before the request line was in, or the answer out
    closedEarly,   // the client ended its output without sending a byte
    lineTooLong,   // the request line passed the limit; it has been read to its end
    readFailed,    // errno
    writeFailed,   // errno (EPIPE, ECONNRESET: the client has gone)
  };

  int fd() const noexcept { return fd_.get(); }
  // POLLIN until the request is in, then POLLOUT.
  short events() const noexcept { return answer_.empty() ? POLLIN : POLLOUT; }
  // When the current step times out: first the request, then, from `answer`, the answer.
  Clock::time_point deadline() const noexcept { return deadline_; }

  // The request: the first line, without its line end; a client that ends its output after a
  // line without a line feed has sent that line. Bytes after it are never read. Without `wait`,
  // reads what has arrived and gives an empty optional while the line is not complete; with it,
  // blocks until it is, or until the deadline. After `timedOut` and `lineTooLong` the client
  // still waits for an answer; after the other failures there is nobody to answer.
  Result<std::optional<std::string>, Reason> readRequest(bool wait = false);

  // Sets the answer, `line` (without a line feed; one is added), and starts its deadline.
  void answer(std::string line);
  // Writes what the socket takes of the answer; true once it is all out. Without `wait`, gives
  // false while the client has yet to take some; with it, blocks until then, or until the
  // deadline. A client that has gone raises no SIGPIPE.
  Result<bool, Reason> writeAnswer(bool wait = false);

 private:
  friend class MCPListener;
  MCPConnection(FileDescriptor fd, double timeoutSeconds, std::size_t lineLimit);

  FileDescriptor fd_;
  Clock::duration timeout_;
  Clock::time_point deadline_;
  LineFraming framing_;
  std::string answer_;  // with its line feed; empty until `answer`
  std::size_t sent_ = 0;
};

// A listening socket with its `ListenerLock`. When destroyed it stops: the socket file is removed
// (unless another has taken its place), then the lock is let go. Move-only.
//
// Hazard: the lock is a POSIX record lock, which a process holds however many times it takes it:
// two listeners on one path in one process do not keep each other out, and the end of one loses
// the other's lock. Listen on a path once per process.
class MCPListener {
 public:
  enum class Reason {
    badPath,           // the path cannot name a socket file (ENAMETOOLONG, EINVAL)
    lockHeld,          // another process holds the lock: it listens there, or is about to
    lockFailed,        // errno of making or locking the lock file
    symbolicLink,      // a symbolic link is at the path; neither followed nor removed
    notSocket,         // something else that is no socket is at the path; kept
    otherUsersSocket,  // a socket of another user is at the path; kept
    notPrivate,        // the socket file could not be made this user's alone (0600)
    bindFailed,        // errno
    listenFailed,      // errno
  };

  // Listens at `path`: makes the missing folders above it, takes the lock, removes a socket of
  // this user left there (the lock was free, so its listener has gone), binds without blocking,
  // makes the file 0600 (until then it has what the process's mask allows) and listens. Each
  // client then gets `timeoutSeconds` (finite, > 0) for its request and again for its answer,
  // and a request line of up to `lineLimit` bytes.
  static Result<MCPListener, Reason> listen(const std::string& path, double timeoutSeconds = 10,
                                            std::size_t lineLimit = LineFraming::maxLineBytes);

  MCPListener(MCPListener&&) noexcept = default;
  MCPListener& operator=(MCPListener&&) = delete;
  ~MCPListener();

  // Readable (POLLIN) while clients wait.
  int fd() const noexcept { return fd_.get(); }

  // Takes the next client, waiting up to `wait` for one.
  Result<MCPConnection, MCPConnection::Reason> accept(std::chrono::milliseconds wait = {});

 private:
  MCPListener(ListenerLock lock, std::string path, double timeoutSeconds, std::size_t lineLimit)
      : lock_(std::move(lock)),
        path_(std::move(path)),
        timeoutSeconds_(timeoutSeconds),
        lineLimit_(lineLimit) {}

  ListenerLock lock_;  // first, so that it is let go last
  std::string path_;
  double timeoutSeconds_;
  std::size_t lineLimit_;
  FileDescriptor fd_;
  dev_t device_ = 0;  // of the socket file this listener made
  ino_t inode_ = 0;
};

}  // namespace quill
