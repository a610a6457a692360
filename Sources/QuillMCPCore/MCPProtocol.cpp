#include "MCPProtocol.h"

#include <algorithm>

namespace quill::MCPProtocol {

namespace {
constexpr std::string_view kFallbackVersion = "2025-06-18";
}

const std::string_view instructions =
    "Quill holds the user's project memory on this Mac: cited facts, uncertain items, and hard "
    "do-NOT rules, kept strictly separate per project. Before doing any work on one of the user's "
    "projects, call get_context_packet with the project's name (and what you're about to do) so "
    "you start from their ground truth instead of guessing.";

std::string_view negotiateVersion(std::optional<std::string_view> requested) {
  if (!requested) return kFallbackVersion;
  auto found = std::find(supportedVersions.begin(), supportedVersions.end(), *requested);
  return found == supportedVersions.end() ? kFallbackVersion : *found;
}

JSONValue initializeResult(std::optional<std::string_view> clientVersion,
                           std::string_view serverVersion) {
  return JSONValue::object({
      {"protocolVersion", negotiateVersion(clientVersion)},
      {"capabilities", JSONValue::object({{"tools", JSONValue::object({{"listChanged", false}})}})},
      {"serverInfo",
       JSONValue::object({{"name", "quill"}, {"title", "Quill"}, {"version", serverVersion}})},
      {"instructions", instructions},
  });
}

}  // namespace quill::MCPProtocol
