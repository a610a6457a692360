// quill-peer as the tests run it: started on paths of their own, stopped as the system stops an
// application.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "MCPStatus.h"
#include "Subprocess.h"

namespace quill::testing {

// Starts quill-peer with `arguments` (its own path is added in front) into `process`, and waits
// until the status file at `statusPath` says that it listens. Only a broken build waits long: the
// test fails after a minute.
void startListeningPeer(std::optional<Subprocess>& process, std::vector<std::string> arguments,
                        const std::string& statusPath);

// The status record at `path`, when there is one.
std::optional<MCPStatus> statusIn(const std::string& path);

// SIGTERM, then the exit is expected to be a clean one, with status 0.
void stopPeer(Subprocess& process);

}  // namespace quill::testing
