// The stand-in application's loop: its socket, its status file, its watched files and the
// signals that stop it or make it re-read its files.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "PeerService.h"
#include "Projects.h"
#include "WatchedFile.h"

namespace quill {

struct PeerOptions {
  std::string socketPath;
  std::string statusPath;
  std::string version = "1.0-peer";
  // Pause before listening, as an application that is still starting up.
  double delaySeconds = 0;
  // How long one connection may take to deliver its request line, and then to take its answer.
  double requestTimeoutSeconds = 10;
  std::optional<WatchedFile<std::vector<Project>>> projectsFile;
  // Agent access and sign-in: from the state file when there is one.
  AccessState access;
  std::optional<WatchedFile<AccessState>> stateFile;
};

// Writes "quill-peer: <text>" and a line feed to standard error in one write.
void reportLine(std::string_view text);

// Waits out the delay, listens on the socket, writes the status file, and serves connections
// until SIGINT or SIGTERM, all in one thread. Then removes the socket, writes the status file
// again with "listening" false and returns 0; returns 1 when it cannot listen.
//
// Up to 32 connections are served side by side, one request line each, so a slow or silent
// client delays nobody else; each has its own time-out. Both files are read again ten times a
// second, also during the delay, and before each answer, so an edit shows in the next answer; a
// changed state is written to the status file at once. SIGHUP reads them at once and says what
// the projects file gave.
int runPeer(PeerOptions options);

}  // namespace quill
