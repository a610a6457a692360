// One exchange with the desktop application over its Unix-domain socket.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <variant>

#include "MCPWire.h"

namespace quill::MCPSocketClient {

// Why an exchange failed: where it stopped and what the system said there. The caller decides
// what that means to its user; `kind()` gives the meaning the shim acts on.
struct Failure {
  enum class Step { connect, send, receive, decode };
  enum class Kind {
    connect,  // no connection: no socket, a path that cannot name one, nobody listening, refused,
              // or the listener runs as another user (nothing is sent to it)
    io,       // connected, but the exchange broke off: the request could not be sent (in time),
              // or the peer closed before a complete line
    timeout,  // the time ran out while the listener did not take the connection, or while
              // waiting for the answer
    decode,   // a complete line arrived that is not a wire response
  };

  Step step;
  // The errno of the call that failed. Where no call failed it names the condition:
  //   connect  ENAMETOOLONG or EINVAL for a path that cannot name a socket file (nothing is tried);
  //            EPERM when the listener runs as another user, `listenerUser`;
  //   send     EINVAL when the request cannot be written as JSON;
  //   receive  0 when the application closed the connection before a complete line, EMSGSIZE
  //            when what it sent was one line longer than LineFraming::maxLineBytes;
  //   decode   0.
  // ETIMEDOUT, at any step, when the exchange ran out of time.
  int error = 0;
  std::optional<uid_t> listenerUser = std::nullopt;

  Kind kind() const noexcept;

  friend bool operator==(const Failure&, const Failure&) = default;
};

using Result = std::variant<MCPWireResponse, Failure>;

// Connects to `path`, sends `request` as one line, reads until the first complete line and
// decodes it; bytes after that line are never read. `timeoutSeconds` (finite, > 0) bounds the
// whole exchange: a listener that does not take the connection, a peer that takes the request
// slowly or answers a byte at a time, all end in `timeout` once it has passed. Signals that
// interrupt a wait (a stop and continue of the process, say) neither fail nor stretch it. The
// socket is closed before returning on every path, and a peer that closes early never raises
// SIGPIPE. Writes nothing to standard error.
Result roundTrip(const std::string& path, const MCPWireRequest& request, double timeoutSeconds);

// The same exchange of one line over `fd`, a stream socket connected to any peer: sends `line`
// and a line feed, and gives the first complete line that comes back, without its line feed,
// bounded as above. `fd` stays open.
std::variant<std::string, Failure> exchangeLine(int fd, std::string line, double timeoutSeconds);

}  // namespace quill::MCPSocketClient
