// The stand-in application's listener: the Unix-domain socket, the status file, the state file and
// the signals that stop it or make it re-read its projects.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "PeerService.h"
#include "StateFile.h"

namespace quill {

struct PeerOptions {
  std::string socketPath;
  std::string statusPath;
  std::string version = "1.0-peer";
  // Pause before listening, as an application that is still starting up.
  double delaySeconds = 0;
  // How long one connection may take to deliver its request line, and then to take its answer.
  double requestTimeoutSeconds = 10;
};

// Writes "quill-peer: <text>" and a line feed to standard error in one write.
void reportLine(std::string_view text);

// Waits out the delay, listens on the socket, writes the status file, and serves connections
// until SIGINT or SIGTERM, all in one thread. Then removes the socket, writes the status file
// again with "listening" false and returns 0; returns 1 when it cannot listen.
//
// Connections are served side by side, one request line each, so a slow or silent client delays
// nobody else; each has its own time-out. A connection from another user is closed unread and
// unanswered. SIGHUP re-reads the projects file. With `stateFile`, the file is looked at about
// ten times a second, also during the delay; a change is applied to `service` at once and written
// to the status file.
int runPeer(const PeerOptions& options, PeerService& service, std::optional<StateFile> stateFile);

}  // namespace quill
