#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "MCPProtocol.h"

namespace {

using namespace quill;

const std::string kInstructions =
    "Quill holds the user's project memory on this Mac: cited facts, uncertain items, and hard "
    "do-NOT rules, kept strictly separate per project. Before doing any work on one of the "
    "user's projects, call get_context_packet with the project's name (and what you're about "
    "to do) so you start from their ground truth instead of guessing.";

TEST(MCPProtocolTests, NegotiatesOnlyExactlyListedVersions) {
  const struct {
    std::optional<std::string_view> requested;
    std::string_view agreed;
  } cases[] = {
      {std::nullopt, "2025-06-18"},
      {"2025-06-18", "2025-06-18"},
      {"2025-03-26", "2025-03-26"},
      {"2024-11-05", "2024-11-05"},
      {"2025-11-25", "2025-06-18"},  // newer than any listed
      {"2024-10-07", "2025-06-18"},  // older than any listed
      {"", "2025-06-18"},
      {" 2025-03-26", "2025-06-18"},
      {std::string_view("2025-03-26\0", 11), "2025-06-18"},
      {"latest", "2025-06-18"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MCPProtocol::negotiateVersion(c.requested), c.agreed)
        << (c.requested ? std::string(*c.requested) : "<absent>");
  }
}

TEST(MCPProtocolTests, InitializeResultIsTheExactObject) {
  const std::string& instructions = kInstructions;
  EXPECT_EQ(MCPProtocol::instructions, instructions);
  // The server version is placed unchanged; writing escapes it.
  EXPECT_EQ(valueOr(MCPProtocol::initializeResult("2024-11-05", "2.0 \"beta\"\n").encodedData(),
                    "<unwritable>"),
            R"({"capabilities":{"tools":{"listChanged":false}},"instructions":")" + instructions +
                R"(","protocolVersion":"2024-11-05","serverInfo":{"name":"quill","title":"Quill",)"
                R"("version":"2.0 \"beta\"\n"}})");
  EXPECT_EQ(MCPProtocol::initializeResult(std::nullopt, "1.0")["protocolVersion"],
            JSONValue("2025-06-18"));
}

// What `classifyRequest` makes of params given as JSON text ("" for no params at all).
std::string classify(std::string_view paramsText) {
  std::optional<JSONValue> params;
  if (!paramsText.empty()) params = std::get<JSONValue>(JSONValue::decode(paramsText));
  const auto kind = MCPProtocol::classifyRequest(params);
  if (std::holds_alternative<MCPProtocol::HandshakeRequest>(kind)) return "handshake";
  if (const auto* request = std::get_if<MCPProtocol::StatelessRequest>(&kind)) {
    return "stateless, client " + request->clientName.value_or("<absent>");
  }
  const auto& refusal = std::get<JSONRPCError>(kind);
  std::string shown = std::to_string(refusal.code) + " " + std::string(refusal.message);
  if (refusal.data) shown += " " + valueOr(refusal.data->encodedData(), "<unwritable>");
  return shown;
}

TEST(MCPProtocolTests, ClassifiesRequestsByTheProtocolVersionInTheirMeta) {
  const std::string invalidMeta =
      "-32602 Invalid _meta: io.modelcontextprotocol/protocolVersion must be a string and "
      "io.modelcontextprotocol/clientCapabilities an object";
  const auto unsupported = [](std::string_view requestedJSON) {
    return R"(-32022 Unsupported protocol version {"requested":)" + std::string(requestedJSON) +
           R"(,"supported":["2026-07-28"]})";
  };
  const struct {
    std::string params;
    std::string expected;
  } cases[] = {
      // Without a protocol version in `_meta`, whatever else there is: the handshake's rules.
      {"", "handshake"},
      {"null", "handshake"},
      {R"("x")", "handshake"},
      {R"([{"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"}}])", "handshake"},
      {R"({"name":"get_context_packet"})", "handshake"},
      {R"({"_meta":null})", "handshake"},
      {R"({"_meta":["io.modelcontextprotocol/protocolVersion"]})", "handshake"},
      {R"({"_meta":{"progressToken":1,"io.modelcontextprotocol/clientCapabilities":{}}})",
       "handshake"},
      {R"({"_meta":{"io.modelcontextprotocol/protocolversion":"2026-07-28"}})", "handshake"},
      {R"({"io.modelcontextprotocol/protocolVersion":"2026-07-28","capabilities":{}})",
       "handshake"},
      // Served: the client's name only from this request's own clientInfo.
      {R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28",)"
       R"("io.modelcontextprotocol/clientCapabilities":{"roots":{}},)"
       R"("io.modelcontextprotocol/clientInfo":{"name":"Zed","version":"1"}}})",
       "stateless, client Zed"},
      {R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28",)"
       R"("io.modelcontextprotocol/clientCapabilities":{}},"name":"x"})",
       "stateless, client <absent>"},
      {R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28",)"
       R"("io.modelcontextprotocol/clientCapabilities":{},)"
       R"("io.modelcontextprotocol/clientInfo":{"name":7}}})",
       "stateless, client <absent>"},
      {R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28",)"
       R"("io.modelcontextprotocol/clientCapabilities":{},)"
       R"("io.modelcontextprotocol/clientInfo":"Zed"}})",
       "stateless, client <absent>"},
      {R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28",)"
       R"("io.modelcontextprotocol/clientCapabilities":{},)"
       R"("io.modelcontextprotocol/clientInfo":{"name":""}}})",
       "stateless, client "},
      // A version that is not a string, or capabilities missing or not an object.
      {R"({"_meta":{"io.modelcontextprotocol/protocolVersion":null,)"
       R"("io.modelcontextprotocol/clientCapabilities":{}}})",
       invalidMeta},
      {R"({"_meta":{"io.modelcontextprotocol/protocolVersion":20260728,)"
       R"("io.modelcontextprotocol/clientCapabilities":{}}})",
       invalidMeta},
      {R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"}})", invalidMeta},
      {R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28",)"
       R"("io.modelcontextprotocol/clientCapabilities":[]}})",
       invalidMeta},
      {R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28",)"
       R"("io.modelcontextprotocol/clientCapabilities":null}})",
       invalidMeta},
      // Any other version, exactly compared, even a handshake one; before the capabilities.
      {R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2025-06-18",)"
       R"("io.modelcontextprotocol/clientCapabilities":{}}})",
       unsupported(R"("2025-06-18")")},
      {R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28 ",)"
       R"("io.modelcontextprotocol/clientCapabilities":{}}})",
       unsupported(R"("2026-07-28 ")")},
      {R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2027-01-01\n\"x\""}})",
       unsupported(R"("2027-01-01\n\"x\"")")},
      {R"({"_meta":{"io.modelcontextprotocol/protocolVersion":""}})", unsupported(R"("")")},
  };
  for (const auto& [params, expected] : cases) {
    EXPECT_EQ(classify(params), expected) << "params: " << params;
  }
}

TEST(MCPProtocolTests, DiscoverResultIsTheExactObject) {
  EXPECT_EQ(valueOr(MCPProtocol::discoverResult("1.0").encodedData(), "<unwritable>"),
            R"({"_meta":{"io.modelcontextprotocol/serverInfo":{"name":"quill","title":"Quill",)"
            R"("version":"1.0"}},"cacheScope":"private","capabilities":{"tools":{}},)"
            R"("instructions":")" +
                kInstructions +
                R"(","resultType":"complete","supportedVersions":["2026-07-28","2025-06-18",)"
                R"("2025-03-26","2024-11-05"],"ttlMs":0})");
}

TEST(MCPProtocolTests, StatelessToolResultsAddTheirMembersToObjectsOnly) {
  const auto stateless = [](auto build, std::string_view text) {
    return valueOr(build(std::get<JSONValue>(JSONValue::decode(text))).encodedData(), "?");
  };
  const auto list = [](const JSONValue& v) { return MCPProtocol::statelessToolsListResult(v); };
  const auto call = [](const JSONValue& v) { return MCPProtocol::statelessToolsCallResult(v); };
  EXPECT_EQ(stateless(list, R"({"tools":[{"name":"t"}],"nextCursor":"c"})"),
            R"({"cacheScope":"private","nextCursor":"c","resultType":"complete",)"
            R"("tools":[{"name":"t"}],"ttlMs":0})");
  // Members of the same names are replaced, not doubled.
  EXPECT_EQ(stateless(list, R"({"ttlMs":60000,"cacheScope":"public","tools":"x"})"),
            R"({"cacheScope":"private","resultType":"complete","tools":"x","ttlMs":0})");
  EXPECT_EQ(stateless(call, R"({"content":[],"isError":false,"resultType":"input_required"})"),
            R"({"content":[],"isError":false,"resultType":"complete"})");
  EXPECT_EQ(stateless(call, "{}"), R"({"resultType":"complete"})");
  for (const char* text : {"[]", R"("text")", "null", "7"}) {
    EXPECT_EQ(stateless(call, text), text);
    EXPECT_EQ(stateless(list, text), text);
  }
}

}  // namespace
