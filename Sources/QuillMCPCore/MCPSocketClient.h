// One exchange with the desktop application over its Unix-domain socket.
#pragma once

#include <cstddef>
#include <string>

#include "LineFraming.h"
#include "MCPWire.h"
#include "Result.h"

namespace quill::MCPSocketClient {

// Why an exchange failed. `Failure::error` keeps the errno where a system call failed.
enum class Reason {
  badPath,        // the path cannot name a socket file (`SocketPathReason`); nothing is tried
  nothingThere,   // no file at the path, or a part of it is not a folder
  refused,        // nobody listens on the file there (left behind, or not a socket)
  connectFailed,  // no connection for another reason: `error` (EACCES, EMFILE, ...)
  otherUser,      // the listener runs as another user: nothing is sent to it
  notAccepted,    // the listener did not take the connection in time (its queue is full)
  sendFailed,     // the request could not be sent: `error` (ETIMEDOUT when the peer did not take
                  // it in time), or 0 with `detail` when it cannot be written as JSON
  closedEarly,    // the peer closed (or reset: `error`) before a complete line
  timedOut,       // the time ran out before a complete line came back
  lineTooLong,    // the answer's line is longer than the limit; the exchange ends at once
  notAResponse,   // a complete line came back that is not a wire response; `detail` says why
};

using Failure = quill::Failure<Reason>;
using Result = quill::Result<MCPWireResponse, Reason>;

// What the shim decides on: no connection (`connect`: recover by launching and retrying), a
// connection that broke (`io`), a peer out of time (`timeout`), an unreadable answer (`decode`).
enum class Kind { connect, io, timeout, decode };
Kind kindOf(Reason reason) noexcept;

// Connects to `path`, sends `request` as one line, reads until the first complete line and
// decodes it; bytes after that line are never read. `timeoutSeconds` (finite, > 0) bounds the
// whole exchange: a listener that does not take the connection, a peer that takes the request
// slowly or answers a byte at a time, all end once it has passed. Signals that interrupt a wait
// (a stop and continue of the process, say) neither fail nor stretch it. The socket is closed
// before returning on every path, and a peer that closes early never raises SIGPIPE. Writes
// nothing to standard error.
Result roundTrip(const std::string& path, const MCPWireRequest& request, double timeoutSeconds,
                 std::size_t maxLineBytes = LineFraming::maxLineBytes);

// The same exchange of one line over `fd`, a stream socket connected to any peer: sends `line`
// and a line feed, and gives the first complete line that comes back, without its line feed,
// bounded as above. `fd` stays open.
quill::Result<std::string, Reason> exchangeLine(
    int fd, std::string line, double timeoutSeconds,
    std::size_t maxLineBytes = LineFraming::maxLineBytes);

}  // namespace quill::MCPSocketClient
