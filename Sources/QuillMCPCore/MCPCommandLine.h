// What quill-mcp takes from its command line and its environment, for the shim and for whoever
// starts it or diagnoses it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "MCPPaths.h"

namespace quill::MCPCommandLine {

// Followed by the client's slug, which tells the application who is asking.
inline constexpr std::string_view clientOption = "--client";
// Set to "1", it keeps the shim from ever starting the application; any other value allows it.
inline constexpr std::string_view noLaunchEnvKey = "QUILL_MCP_NO_LAUNCH";

// The value after the last `--client` that has one; every other argument is ignored, so that no
// client's extra argument can stop the shim. `arguments` may start with the program's path.
std::optional<std::string> clientSlug(const std::vector<std::string>& arguments);

bool launchForbidden(const Environment& environment);

}  // namespace quill::MCPCommandLine
