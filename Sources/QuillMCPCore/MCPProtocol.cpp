#include "MCPProtocol.h"

#include <algorithm>
#include <utility>

namespace quill::MCPProtocol {

namespace {
constexpr std::string_view kFallbackVersion = "2025-06-18";

JSONRPCError invalidMeta() {
  return {JSONRPCErrorCode::invalidParams,
          "Invalid _meta: io.modelcontextprotocol/protocolVersion must be a string and "
          "io.modelcontextprotocol/clientCapabilities an object"};
}

JSONValue serverInfo(std::string_view serverVersion) {
  return JSONValue::object({{"name", "quill"}, {"title", "Quill"}, {"version", serverVersion}});
}

JSONValue statelessVersionList() {
  return JSONValue(JSONValue::Array(statelessVersions.begin(), statelessVersions.end()));
}

// `value` with `added` set, when it is an object.
JSONValue withMembers(const JSONValue& value,
                      std::initializer_list<std::pair<std::string_view, JSONValue>> added) {
  const JSONValue::Object* object = value.objectValue();
  if (!object) return value;
  JSONValue::Object members = *object;
  for (const auto& [key, member] : added) members.insert_or_assign(std::string(key), member);
  return JSONValue(std::move(members));
}
}  // namespace

const std::string_view instructions =
    "Quill holds the user's project memory on this Mac: cited facts, uncertain items, and hard "
    "do-NOT rules, kept strictly separate per project. Before doing any work on one of the user's "
    "projects, call get_context_packet with the project's name (and what you're about to do) so "
    "you start from their ground truth instead of guessing.";

std::string_view negotiateVersion(std::optional<std::string_view> requested) {
  auto found = std::find(supportedVersions.begin(), supportedVersions.end(), requested);
  return found == supportedVersions.end() ? kFallbackVersion : *found;
}

JSONValue initializeResult(std::optional<std::string_view> clientVersion,
                           std::string_view serverVersion) {
  return JSONValue::object({
      {"protocolVersion", negotiateVersion(clientVersion)},
      {"capabilities", JSONValue::object({{"tools", JSONValue::object({{"listChanged", false}})}})},
      {"serverInfo", serverInfo(serverVersion)},
      {"instructions", instructions},
  });
}

RequestKind classifyRequest(const std::optional<JSONValue>& params) {
  const JSONValue* meta = params ? params->member("_meta") : nullptr;
  const JSONValue* version =
      meta ? meta->member("io.modelcontextprotocol/protocolVersion") : nullptr;
  if (!version) return HandshakeRequest{};

  const std::optional<std::string_view> requested = version->stringValue();
  if (!requested) return invalidMeta();
  // An unlisted revision is told which ones are served before anything else is checked: its
  // `_meta` may be shaped differently.
  if (std::find(statelessVersions.begin(), statelessVersions.end(), *requested) ==
      statelessVersions.end()) {
    return JSONRPCError{
        unsupportedVersionCode, "Unsupported protocol version",
        JSONValue::object({{"requested", *requested}, {"supported", statelessVersionList()}})};
  }
  const JSONValue* capabilities = meta->member("io.modelcontextprotocol/clientCapabilities");
  if (!capabilities || !capabilities->objectValue()) return invalidMeta();

  const JSONValue* clientInfo = meta->member("io.modelcontextprotocol/clientInfo");
  const JSONValue* name = clientInfo ? clientInfo->member("name") : nullptr;
  if (name && name->stringValue()) return StatelessRequest{std::string(*name->stringValue())};
  return StatelessRequest{};
}

JSONValue discoverResult(std::string_view serverVersion) {
  JSONValue::Array versions(statelessVersions.begin(), statelessVersions.end());
  versions.insert(versions.end(), supportedVersions.begin(), supportedVersions.end());
  // No "listChanged": announcing it would have a client open a subscription for changes.
  return JSONValue::object({
      {"resultType", "complete"},
      {"supportedVersions", JSONValue(std::move(versions))},
      {"capabilities", JSONValue::object({{"tools", JSONValue(JSONValue::Object{})}})},
      {"instructions", instructions},
      {"ttlMs", 0},
      {"cacheScope", "private"},
      {"_meta",
       JSONValue::object({{"io.modelcontextprotocol/serverInfo", serverInfo(serverVersion)}})},
  });
}

JSONValue statelessToolsListResult(const JSONValue& list) {
  return withMembers(list, {{"resultType", "complete"}, {"ttlMs", 0}, {"cacheScope", "private"}});
}

JSONValue statelessToolsCallResult(const JSONValue& result) {
  return withMembers(result, {{"resultType", "complete"}});
}

}  // namespace quill::MCPProtocol
