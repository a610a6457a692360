#include "QuillPeerProcess.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "MCPStatus.h"

namespace quill::testing {

void startListeningPeer(std::optional<Subprocess>& process, std::vector<std::string> arguments,
                        const std::string& statusPath) {
  arguments.insert(arguments.begin(), QUILL_PEER_BINARY);
  process.emplace(arguments, currentEnvironment());
  // The status file says "listening" once the socket listens.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    auto status = statusIn(statusPath);
    if (status && status->listening) return;
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "quill-peer is not listening: " << process->errorOutput();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::optional<MCPStatus> statusIn(const std::string& path) {
  auto read = MCPStatus::readFile(path);
  if (auto* status = std::get_if<MCPStatus>(&read)) return *status;
  return std::nullopt;
}

void stopPeer(Subprocess& process) {
  process.signal(SIGTERM);
  EXPECT_EQ(process.finish().exitStatus, 0);
}

}  // namespace quill::testing
