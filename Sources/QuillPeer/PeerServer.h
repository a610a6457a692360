// The stand-in application's listener: the Unix-domain socket, the status file and the signals
// that stop it.
#pragma once

#include <string>
#include <string_view>

#include "PeerService.h"

namespace quill {

struct PeerOptions {
  std::string socketPath;
  std::string statusPath;
  std::string version = "1.0-peer";
  // Pause before listening, as an application that is still starting up.
  double delaySeconds = 0;
  // How long one connection may take to deliver its request line, and to take its answer.
  double requestTimeoutSeconds = 10;
};

// Writes "quill-peer: <text>" and a line feed to standard error in one write.
void reportLine(std::string_view text);

// Waits out the delay, listens on the socket, writes the status file, and serves one request per
// connection, one connection at a time, until SIGINT or SIGTERM. Then removes the socket, writes
// the status file again with "listening" false and returns 0. Returns 1 when it cannot listen.
int runPeer(const PeerOptions& options, PeerService& service);

}  // namespace quill
