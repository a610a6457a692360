// The request loop's handling of single lines, the client-name recording of `initialize` and the
// command-line scan, driven in process through `Shim::answer`.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "Shim.h"

using quill::Shim;

namespace {

Shim makeShim(const std::vector<std::string>& arguments = {"quill-mcp"}) {
  return Shim(arguments, quill::Environment{{"QUILL_MCP_NO_LAUNCH", "1"}},
              quill::LaunchCommand{"/bin/false", {}}, Shim::Streams{});
}

// The answer as the client would see it, or a marker for the two cases without an answer line.
std::string show(const Shim::Answer& answer) {
  if (std::holds_alternative<std::monostate>(answer)) return "<no answer>";
  if (const auto* text = std::get_if<std::string>(&answer)) return *text;
  return "<encoding failed>";
}

constexpr const char* kParseError =
    R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})";
constexpr const char* kInvalidRequest =
    R"({"error":{"code":-32600,"message":"Invalid request"},"id":null,"jsonrpc":"2.0"})";
constexpr const char* kPong = R"({"id":1,"jsonrpc":"2.0","result":{}})";

struct LineCase {
  std::string line;
  std::string expected;
};

TEST(ShimLoopTests, AnswersEachKindOfLine) {
  const std::string deepArray = std::string(5000, '[') + std::string(5000, ']');
  const std::vector<LineCase> cases = {
      // Nothing at all: empty lines and notifications, whatever their method.
      {"", "<no answer>"},
      {R"({"jsonrpc":"2.0","method":"ping"})", "<no answer>"},
      {R"({"id":null,"method":"ping"})", "<no answer>"},
      {R"({"method":"no/such/method"})", "<no answer>"},
      {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", "<no answer>"},
      // Not one JSON text.
      {"not json", kParseError},
      {"   ", kParseError},
      {"\t\r", kParseError},
      {R"({"id":1,"method":"ping"} x)", kParseError},
      {R"({"id":1,"method":"ping"}{"id":2,"method":"ping"})", kParseError},
      {R"({"id":1,)", kParseError},
      {std::string(R"({"id":1,"method":"ping"})") + '\0', kParseError},
      {"{\"id\":1,\"method\":\"\xff\"}", kParseError},
      {R"({"id":1,"method":"\ud800"})", kParseError},
      {deepArray, kParseError},
      {std::string(100000, '{'), kParseError},
      // JSON, but not a request.
      {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", kInvalidRequest},
      {"[]", kInvalidRequest},
      {R"("ping")", kInvalidRequest},
      {"42", kInvalidRequest},
      {"true", kInvalidRequest},
      {"null", kInvalidRequest},
      {"{}", kInvalidRequest},
      {R"({"id":1})", kInvalidRequest},
      {R"({"id":1,"method":null})", kInvalidRequest},
      {R"({"id":1,"method":7})", kInvalidRequest},
      {R"({"id":1,"method":["ping"]})", kInvalidRequest},
      {R"({"id":true,"method":"ping"})", kInvalidRequest},
      {R"({"id":[1],"method":"ping"})", kInvalidRequest},
      {R"({"id":{},"method":"ping"})", kInvalidRequest},
      {R"({"id":false,"method":"initialize"})", kInvalidRequest},
      // Answered: ping, whatever else the envelope holds.
      {R"({"jsonrpc":"2.0","id":1,"method":"ping"})", kPong},
      {R"({"id":1,"method":"ping"})", kPong},
      {R"({"jsonrpc":"1.0","id":1,"method":"ping","params":null})", kPong},
      {R"({"jsonrpc":7,"id":1,"method":"ping","params":"x","extra":[1,2]})", kPong},
      {" {\"id\":1,\"method\":\"ping\"}\r", kPong},
      // Unknown methods, named exactly as sent.
      {R"({"jsonrpc":"2.0","id":7,"method":"notifications/initialized"})",
       R"({"error":{"code":-32601,"message":"Method not found: notifications/initialized"},"id":7,"jsonrpc":"2.0"})"},
      {R"({"id":1,"method":""})",
       R"({"error":{"code":-32601,"message":"Method not found: "},"id":1,"jsonrpc":"2.0"})"},
      {R"({"id":1,"method":"Ping"})",
       R"({"error":{"code":-32601,"message":"Method not found: Ping"},"id":1,"jsonrpc":"2.0"})"},
      {R"({"id":1,"method":" ping "})",
       R"({"error":{"code":-32601,"message":"Method not found:  ping "},"id":1,"jsonrpc":"2.0"})"},
      {R"({"id":"q","method":"caf\u00e9 \u2192 \ud83d\ude00"})",
       R"({"error":{"code":-32601,"message":"Method not found: café → 😀"},"id":"q","jsonrpc":"2.0"})"},
      {R"({"id":2,"method":"résumé — ✓"})",
       R"({"error":{"code":-32601,"message":"Method not found: résumé — ✓"},"id":2,"jsonrpc":"2.0"})"},
      {R"({"id":3,"method":"a/b\nc\"d\\"})",
       R"({"error":{"code":-32601,"message":"Method not found: a/b\nc\"d\\"},"id":3,"jsonrpc":"2.0"})"},
  };
  Shim shim = makeShim();
  for (const auto& [line, expected] : cases) {
    EXPECT_EQ(show(shim.answer(line)), expected) << "line: " << line.substr(0, 80);
  }
}

// Each line is sent in turn to one shim; after each, the recorded client name is checked.
TEST(ShimLoopTests, InitializeRecordsTheLatestClientName) {
  struct Step {
    std::string line;
    std::optional<std::string> nameAfter;
  };
  const std::vector<Step> steps = {
      {R"({"id":0,"method":"ping"})", std::nullopt},
      {R"({"id":1,"method":"initialize","params":{"clientInfo":{"name":"Claude Code"}}})",
       "Claude Code"},
      // Notifications change nothing, even an initialize that names another client.
      {R"({"method":"initialize","params":{"clientInfo":{"name":"Cursor"}}})", "Claude Code"},
      {R"({"id":null,"method":"initialize","params":{"clientInfo":{"name":"Cursor"}}})",
       "Claude Code"},
      // Other requests leave it, including a malformed initialize.
      {R"({"id":2,"method":"ping"})", "Claude Code"},
      {R"({"id":true,"method":"initialize","params":{"clientInfo":{"name":"Cursor"}}})",
       "Claude Code"},
      {R"({"id":3,"method":"Initialize","params":{"clientInfo":{"name":"Cursor"}}})",
       "Claude Code"},
      // A later initialize replaces it, or clears it when it names no client.
      {R"({"id":4,"method":"initialize","params":{"clientInfo":{"name":7}}})", std::nullopt},
      {R"({"id":5,"method":"initialize","params":{"clientInfo":{"name":"Cursor"}}})", "Cursor"},
      {R"({"id":6,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})", std::nullopt},
      {R"({"id":7,"method":"initialize","params":{"clientInfo":{"name":"é—✓"}}})", "é—✓"},
      {R"({"id":8,"method":"initialize"})", std::nullopt},
      {R"({"id":9,"method":"initialize","params":{"clientInfo":{"name":""}}})", ""},
      {R"({"id":10,"method":"initialize","params":{"clientInfo":"Cursor"}})", std::nullopt},
      {R"({"id":"a","method":"initialize","params":{"clientInfo":{"name":"Zed"}}})", "Zed"},
      {R"({"id":11,"method":"initialize","params":{"clientInfo":{"name":null}}})", std::nullopt},
      {R"({"id":12,"method":"initialize","params":{"clientInfo":{"name":"Zed"}}})", "Zed"},
      {R"({"id":13,"method":"initialize","params":["clientInfo"]})", std::nullopt},
  };
  Shim shim = makeShim();
  EXPECT_EQ(shim.clientName(), std::nullopt);
  for (const auto& [line, nameAfter] : steps) {
    (void)shim.answer(line);
    EXPECT_EQ(shim.clientName(), nameAfter) << "after: " << line;
  }
}

TEST(ShimLoopTests, ClientSlugIsTheValueOfTheLastCompleteClientOption) {
  struct Case {
    std::vector<std::string> arguments;
    std::optional<std::string> slug;
  };
  const std::vector<Case> cases = {
      {{}, std::nullopt},
      {{"quill-mcp"}, std::nullopt},
      {{"quill-mcp", "--client", "claude-code"}, "claude-code"},
      {{"quill-mcp", "--client", "a", "--client", "b"}, "b"},
      {{"quill-mcp", "--client"}, std::nullopt},
      {{"quill-mcp", "--client", "a", "--client"}, "a"},
      {{"quill-mcp", "--client", "--client", "x"}, "x"},
      {{"quill-mcp", "--client", "--client"}, "--client"},
      {{"--client", "x"}, "x"},
      {{"quill-mcp", "--client", ""}, ""},
      {{"quill-mcp", "--verbose", "--client", "cursor", "extra"}, "cursor"},
      {{"quill-mcp", "--client=cursor", "--Client", "x", "-client", "y"}, std::nullopt},
  };
  for (const auto& [arguments, slug] : cases) {
    std::string shown;
    for (const auto& argument : arguments) shown += "[" + argument + "]";
    EXPECT_EQ(Shim::scanClientSlug(arguments), slug) << shown;
    EXPECT_EQ(makeShim(arguments).clientSlug(), slug) << shown;
  }
}

}  // namespace
