// Protocol versions, version negotiation and the answer to `initialize`; and the revision without
// a handshake, whose requests carry their version and the client's capabilities in
// `params._meta`.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "JSONRPC.h"
#include "JSONValue.h"

namespace quill::MCPProtocol {

// The versions agreed on by `initialize`, newest first.
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

// ---- Requests without a handshake ----
//
// Such a request is recognised by `params._meta` holding "io.modelcontextprotocol/protocolVersion"
// and is answered from what it carries alone: nothing is kept from one to the next, and an
// `initialize` before or after it is neither needed nor affected.

// The revisions served without a handshake, newest first.
inline constexpr std::array<std::string_view, 1> statelessVersions = {"2026-07-28"};

// The JSON-RPC error code for a request of a revision not in `statelessVersions`.
inline constexpr std::int64_t unsupportedVersionCode = -32022;

// A request without the protocol version in its `_meta`: the handshake's rules apply.
struct HandshakeRequest {};
// A request of a served revision. `clientName` is its `_meta` clientInfo's `name` when that is a
// string.
struct StatelessRequest {
  std::optional<std::string> clientName;
};
// A request that carries the protocol version but cannot be served gets a JSONRPCError.
using RequestKind = std::variant<HandshakeRequest, StatelessRequest, JSONRPCError>;

// Reads `params._meta`. A version that is not a string, or a missing or non-object
// "io.modelcontextprotocol/clientCapabilities", is refused with -32602; an unlisted version with
// `unsupportedVersionCode` and data naming the version asked for and those served.
RequestKind classifyRequest(const std::optional<JSONValue>& params);

// The `server/discover` result: every version served (without a handshake first), the tools
// capability, the instructions, no caching, and the server identity with `serverVersion` in
// `_meta`.
JSONValue discoverResult(std::string_view serverVersion);

// A `tools/list` result with what a stateless answer adds: complete, not to be cached or shared.
// Members of the same names in `list` are replaced; a non-object is returned unchanged.
JSONValue statelessToolsListResult(const JSONValue& list);
// A `tools/call` result marked complete, in the same way.
JSONValue statelessToolsCallResult(const JSONValue& result);

}  // namespace quill::MCPProtocol
