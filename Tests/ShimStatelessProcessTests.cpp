// The real `quill-mcp` process serving requests that carry their protocol version in
// `params._meta` (revision 2026-07-28, no handshake) beside the handshake's requests, against a
// scripted socket peer: every answer line and every request the application receives, byte for
// byte, in the order sent.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "MCPProtocol.h"
#include "SocketPeer.h"
#include "Subprocess.h"

namespace quill {
namespace {

using testing::PeerScript;
using testing::SocketPeer;
namespace PeerScripts = testing::PeerScripts;

const std::string_view kInstructions = MCPProtocol::instructions;

// The `_meta` of a request: the protocol version (JSON text, absent to leave it out), the
// capabilities (JSON text, absent to leave them out) and the client's name (absent: no
// clientInfo).
std::string meta(std::optional<std::string_view> version = R"("2026-07-28")",
                 std::optional<std::string_view> capabilities = "{}",
                 std::optional<std::string_view> clientName = std::nullopt) {
  std::string text = R"({"_meta":{)";
  std::string separator;
  if (version) {
    text += R"("io.modelcontextprotocol/protocolVersion":)" + std::string(*version);
    separator = ",";
  }
  if (capabilities) {
    text +=
        separator + R"("io.modelcontextprotocol/clientCapabilities":)" + std::string(*capabilities);
    separator = ",";
  }
  if (clientName) {
    text += separator + R"("io.modelcontextprotocol/clientInfo":{"name":")" +
            std::string(*clientName) + R"(","version":"2.4.0"})";
  }
  return text + "}";
}

// A request line; `params` is the JSON text of its params without the closing brace (as `meta`
// gives it), to which `more` members are added.
std::string request(std::string_view id, std::string_view method, std::string_view params = "",
                    std::string_view more = "") {
  std::string line = R"({"jsonrpc":"2.0",)";
  if (!id.empty()) line += R"("id":)" + std::string(id) + ",";
  line += R"("method":")" + std::string(method) + "\"";
  if (!params.empty()) line += R"(,"params":)" + std::string(params) + std::string(more) + "}";
  return line + "}\n";
}

std::string result(std::string_view id, std::string_view value) {
  return R"({"id":)" + std::string(id) + R"(,"jsonrpc":"2.0","result":)" + std::string(value) +
         "}\n";
}

std::string error(std::string_view id, std::string_view codeMessageAndData) {
  return R"({"error":{"code":)" + std::string(codeMessageAndData) + R"(},"id":)" + std::string(id) +
         R"(,"jsonrpc":"2.0"})" + "\n";
}

constexpr std::string_view kCall =
    R"(,"name":"get_context_packet","arguments":{"project":"Orchard"})";
constexpr std::string_view kWireCallParams =
    R"("params":{"arguments":{"project":"Orchard"},"name":"get_context_packet"},"v":1})";
constexpr std::string_view kInvalidMeta =
    R"(-32602,"message":"Invalid _meta: io.modelcontextprotocol/protocolVersion must be a )"
    R"(string and io.modelcontextprotocol/clientCapabilities an object")";

TEST(ShimStatelessProcess, AnswersEachRequestFromItsOwnMetaBesideTheHandshake) {
  const std::string fallbackTools =
      R"([{"annotations":{"openWorldHint":false,"readOnlyHint":true},"description":"Returns )"
      R"(Quill's cited briefing for one of the user's projects: known facts with sources and )"
      R"(match %, uncertain items to verify, hard do-NOT rules, what was deliberately withheld, )"
      R"(and what changed since this client last asked. Call before doing work on a user's )"
      R"(project.","inputSchema":{"properties":{"project":{"description":"Project name as shown )"
      R"(in Quill (fuzzy-matched). Omit if the user has only one project.","type":"string"},)"
      R"("task":{"description":"What you're about to do — selects the most relevant facts. )"
      R"(Optional.","type":"string"}},"required":[],"type":"object"},"name":)"
      R"("get_context_packet","title":"Get Quill context packet"}])";
  const std::string briefing = R"({"content":[{"text":"Brief","type":"text"}],"isError":false)";
  const struct {
    const char* name;
    std::string line;
    std::string answer;                               // empty: no answer line
    std::optional<std::string> reply = std::nullopt;  // the application's answer, when it is asked
    std::string wire = "";                            // what it is asked, after "client"
  } steps[] = {
      {"a stateless list first, with no handshake before it",
       request("1", "tools/list", meta(R"("2026-07-28")", "{}", "Zed")),
       result("1", R"({"cacheScope":"private","resultType":"complete","tools":[{"inputSchema":)"
                   R"({"type":"object"},"name":"t"}],"ttlMs":0})"),
       R"({"ok":true,"result":{"tools":[{"name":"t","inputSchema":{"type":"object"}}]},"v":1})",
       R"("clientName":"Zed","id":1,"method":"tools/list","v":1})"},
      {"discover", request("2", "server/discover", meta()),
       result("2", R"({"_meta":{"io.modelcontextprotocol/serverInfo":{"name":"quill",)"
                   R"("title":"Quill","version":"1.0"}},"cacheScope":"private",)"
                   R"("capabilities":{"tools":{}},"instructions":")" +
                       std::string(kInstructions) +
                       R"(","resultType":"complete","supportedVersions":["2026-07-28",)"
                       R"("2025-06-18","2025-03-26","2024-11-05"],"ttlMs":0})")},
      {"a handshake after discover, as a client whose probe timed out sends it",
       request("3", "initialize",
               R"({"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":)"
               R"("Claude Code","version":"2.1"})"),
       result("3", R"({"capabilities":{"tools":{"listChanged":false}},"instructions":")" +
                       std::string(kInstructions) +
                       R"(","protocolVersion":"2025-06-18","serverInfo":{"name":"quill",)"
                       R"("title":"Quill","version":"1.0"}})")},
      {"a stateless call without clientInfo: no name, not the handshake's",
       request("4", "tools/call", meta(), kCall),
       result("4", briefing + R"(,"resultType":"complete"})"),
       R"({"ok":true,"result":)" + briefing + R"(},"v":1})",
       R"("id":4,"method":"tools/call",)" + std::string(kWireCallParams)},
      {"a stateless call naming its client, answered with an application error",
       request("5", "tools/call", meta(R"("2026-07-28")", R"({"roots":{}})", "Cursor"), kCall),
       result("5", R"({"content":[{"text":"No such project.","type":"text"}],"isError":true,)"
                   R"("resultType":"complete"})"),
       R"({"ok":false,"error":{"code":"unknownProject","message":"No such project."},"v":1})",
       R"("clientName":"Cursor","id":5,"method":"tools/call",)" + std::string(kWireCallParams)},
      {"a handshake call still names the handshake's client",
       request("6", "tools/call", R"({"name":"get_context_packet")",
               R"(,"arguments":{"project":"Orchard"})"),
       result("6", briefing + "}"), R"({"ok":true,"result":)" + briefing + R"(},"v":1})",
       R"("clientName":"Claude Code","id":6,"method":"tools/call",)" +
           std::string(kWireCallParams)},
      {"a stateless list the application cannot give: the shim's own",
       request("7", "tools/list", meta()),
       result("7", R"({"cacheScope":"private","resultType":"complete","tools":)" + fallbackTools +
                       R"(,"ttlMs":0})"),
       "garbage", R"("id":7,"method":"tools/list","v":1})"},
      {"this revision has no ping", request("8", "ping", meta()),
       error("8", R"(-32601,"message":"Method not found: ping")")},
      {"nor an initialize, which records nothing",
       request("9", "initialize", meta(R"("2026-07-28")", "{}", "Cursor")),
       error("9", R"(-32601,"message":"Method not found: initialize")")},
      {"so a handshake list still names the handshake's client", request("10", "tools/list"),
       result("10", R"({"tools":[]})"), R"({"ok":true,"result":{"tools":[]},"v":1})",
       R"("clientName":"Claude Code","id":10,"method":"tools/list","v":1})"},
      {"a stateless call of another tool", request("11", "tools/call", meta(), R"(,"name":"x")"),
       error("11", R"(-32602,"message":"Unknown tool")")},
      {"capabilities missing", request("12", "server/discover", meta(R"("2026-07-28")", {})),
       error("12", kInvalidMeta)},
      {"capabilities not an object", request("13", "tools/list", meta(R"("2026-07-28")", "true")),
       error("13", kInvalidMeta)},
      {"a version that is not a string", request("14", "tools/call", meta("20260728"), kCall),
       error("14", kInvalidMeta)},
      {"a version not served, even one of the handshake",
       request("15", "server/discover", meta(R"("2025-06-18")")),
       error("15", R"(-32022,"data":{"requested":"2025-06-18","supported":["2026-07-28"]},)"
                   R"("message":"Unsupported protocol version")")},
      {"a newer version", request(R"("s")", "tools/list", meta(R"("2027-01-01")", {})),
       error(R"("s")", R"(-32022,"data":{"requested":"2027-01-01","supported":["2026-07-28"]},)"
                       R"("message":"Unsupported protocol version")")},
      {"stateless notifications are silent, a call too", request("", "tools/call", meta(), kCall),
       ""},
      {"", request("null", "server/discover", meta()), ""},
      {"", request("", "notifications/cancelled", meta(), R"(,"requestId":4)"), ""},
      {"discover without the version in _meta is unknown, as before",
       request("16", "server/discover", R"({"_meta":{"progressToken":1})"),
       error("16", R"(-32601,"message":"Method not found: server/discover")")},
      {"and the handshake's ping is still answered", request("17", "ping"), result("17", "{}")},
  };

  testing::TemporaryDirectory directory;
  std::vector<PeerScript> scripts;
  std::vector<std::string> wire;
  std::string input, output;
  for (const auto& step : steps) {
    input += step.line;
    output += step.answer;
    if (step.reply) {
      scripts.push_back(PeerScripts::replyAndClose(*step.reply + "\n"));
      wire.push_back(R"({"client":"test-suite",)" + step.wire + "\n");
    }
  }
  SocketPeer peer(directory.file("s.sock"), PeerScripts::inTurn(scripts));
  testing::EnvironmentMap environment = testing::currentEnvironment();
  environment["QUILL_MCP_SOCKET"] = peer.path();
  environment["QUILL_MCP_STATUS"] = directory.file("status.json");
  environment["QUILL_MCP_NO_LAUNCH"] = "1";
  const auto run =
      testing::runProcess({QUILL_MCP_BINARY, "--client", "test-suite"}, environment, input);
  peer.stop();

  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.err, "");
  // Line by line, so that a failure names the step.
  std::size_t start = 0;
  for (const auto& step : steps) {
    if (step.answer.empty()) continue;
    const std::size_t end = run.out.find('\n', start);
    const std::string line =
        end == std::string::npos ? run.out.substr(start) : run.out.substr(start, end + 1 - start);
    EXPECT_EQ(line, step.answer) << step.name;
    start = end == std::string::npos ? run.out.size() : end + 1;
  }
  EXPECT_EQ(run.out.size(), start) << "more output than answers: " << run.out.substr(start);
  EXPECT_EQ(peer.transcripts(), wire);
}

}  // namespace
}  // namespace quill
