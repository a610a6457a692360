// Protocol versions, version negotiation and the answer to `initialize`.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "JSONValue.h"

namespace quill::MCPProtocol {

// Newest first.
inline constexpr std::array<std::string_view, 3> supportedVersions = {"2025-06-18", "2025-03-26",
                                                                      "2024-11-05"};

extern const std::string_view instructions;

// The requested version when it is listed exactly (case-sensitive, no trimming); otherwise the
// newest version. Versions are never matched to a nearest neighbour.
std::string_view negotiateVersion(std::optional<std::string_view> requested);

// The `initialize` result: negotiated version, the tools capability (list never changes), the
// server identity with `serverVersion`, and the instructions.
JSONValue initializeResult(std::optional<std::string_view> clientVersion,
                           std::string_view serverVersion);

}  // namespace quill::MCPProtocol
