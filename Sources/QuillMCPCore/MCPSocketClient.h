// One exchange with the desktop application over its Unix-domain socket.
#pragma once

#include <string>
#include <variant>

#include "MCPWire.h"

namespace quill::MCPSocketClient {

enum class Failure {
  connect,  // no connection: no socket, path too long, nobody listening, refused, or the
            // listener runs as another user (nothing is sent to it)
  io,       // connected, but the exchange broke off (send failed, peer closed before a line)
  timeout,  // a single receive waited longer than the time-out
  decode,   // a complete line arrived that is not a wire response
};

using Result = std::variant<MCPWireResponse, Failure>;

// Connects to `path`, sends `request` as one line, reads until the first complete line and
// decodes it; bytes after that line are never read. `timeoutSeconds` (finite, > 0) bounds each
// single send and receive, not the call; one interrupted by a signal (the process stopped and
// continued, say) goes on with the time that is left. The socket is closed before returning on every path,
// and a peer that closes early never raises SIGPIPE. Writes nothing to standard error.
Result roundTrip(const std::string& path, const MCPWireRequest& request, double timeoutSeconds);

}  // namespace quill::MCPSocketClient
