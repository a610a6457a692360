// The request loop in process: its answers to single lines through `Shim::answer`, the
// client-name recording of `initialize`, the command-line scan, and the real loop over pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FileDescriptor.h"
#include "MCPCommandLine.h"
#include "MCPProtocol.h"
#include "Shim.h"
#include "SocketPeer.h"
#include "Subprocess.h"

namespace quill {
namespace {

Shim makeShim(const std::vector<std::string>& arguments = {"quill-mcp"},
              Environment environment = {{"QUILL_MCP_NO_LAUNCH", "1"}}) {
  return Shim(arguments, std::move(environment), {LaunchCommand{"/bin/false", {}}});
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

// The handshake's answer for the negotiated `version`, with the shim's version.
std::string initializeAnswer(std::string_view version) {
  return std::get<std::string>(
      JSONRPC::encodeResponse(JSONValue(1), MCPProtocol::initializeResult(version, "1.0")));
}

std::string unknownTool(std::string_view id) {
  return R"({"error":{"code":-32602,"message":"Unknown tool"},"id":)" + std::string(id) +
         R"(,"jsonrpc":"2.0"})";
}

TEST(ShimLoopTests, AnswersEachKindOfLine) {
  const struct {
    std::string line;
    std::string expected;
  } cases[] = {
      // Nothing at all: empty lines and notifications, whatever their method.
      {"", "<no answer>"},
      {R"({"jsonrpc":"2.0","method":"ping"})", "<no answer>"},
      {R"({"id":null,"method":"ping"})", "<no answer>"},
      {R"({"method":"no/such/method"})", "<no answer>"},
      {R"({"method":"tools/call","params":{"name":"get_context_packet"}})", "<no answer>"},
      // Not one JSON text, or JSON that is not a request.
      {"not json", kParseError},
      {"   ", kParseError},
      {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", kInvalidRequest},
      {R"({"id":1})", kInvalidRequest},
      {R"({"id":true,"method":"ping"})", kInvalidRequest},
      // Answered under the request's own id, whatever else the envelope holds.
      {R"({"jsonrpc":"2.0","id":1,"method":"ping"})", kPong},
      {R"({"jsonrpc":7,"id":1,"method":"ping","params":"x","extra":[1,2]})", kPong},
      {R"({"id":"a/b\u00e9","method":"ping"})", R"({"id":"a/bé","jsonrpc":"2.0","result":{}})"},
      {R"({"id":-1.5,"method":"ping"})", R"({"id":-1.5,"jsonrpc":"2.0","result":{}})"},
      // Numbers read as the nearest double, however many digits they are written with.
      {R"({"id":0.95000000000000000000,"method":"ping"})",
       R"({"id":0.95,"jsonrpc":"2.0","result":{}})"},
      {R"({"id":1e00000000000000000000,"method":"ping"})",
       R"({"id":1,"jsonrpc":"2.0","result":{}})"},
      {R"({"id":1.5E-000000000000000000001,"method":"ping"})",
       R"({"id":0.15,"jsonrpc":"2.0","result":{}})"},
      // Valid JSON that is not an object, white space after it included; malformed text, however
      // much it resembles a request.
      {"false \t\r", kInvalidRequest},
      {R"({"id":1,"method":"ping":]})", kParseError},
      // Unknown methods, named exactly as sent.
      {R"({"jsonrpc":"2.0","id":7,"method":"notifications/initialized"})",
       R"({"error":{"code":-32601,"message":"Method not found: notifications/initialized"},"id":7,"jsonrpc":"2.0"})"},
      {R"({"id":1,"method":"Ping"})",
       R"({"error":{"code":-32601,"message":"Method not found: Ping"},"id":1,"jsonrpc":"2.0"})"},
      {R"({"id":"q","method":"caf\u00e9 → \ud83d\ude00 a/b\nc\"d\\"})",
       R"({"error":{"code":-32601,"message":"Method not found: café → 😀 a/b\nc\"d\\"},"id":"q","jsonrpc":"2.0"})"},
      // The protocol version: the one asked for when it is supported, else the newest.
      {R"({"id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})",
       initializeAnswer("2024-11-05")},
      {R"({"id":1,"method":"initialize","params":{"protocolVersion":2025}})",
       initializeAnswer("2025-06-18")},
      {R"({"id":1,"method":"initialize","params":"2024-11-05"})", initializeAnswer("2025-06-18")},
      {R"({"id":1,"method":"initialize"})", initializeAnswer("2025-06-18")},
      // Calls of anything but get_context_packet, by its exact name.
      {R"({"id":1,"method":"tools/call","params":{"name":"other_tool"}})", unknownTool("1")},
      {R"({"id":"5","method":"tools/call","params":{"name":"Get_Context_Packet"}})",
       unknownTool(R"("5")")},
      {R"({"id":1,"method":"tools/call","params":{"name":"get_context_packet "}})",
       unknownTool("1")},
      {R"({"id":1,"method":"tools/call","params":{"name":5}})", unknownTool("1")},
      {R"({"id":1,"method":"tools/call","params":{"arguments":{"project":"x"}}})",
       unknownTool("1")},
      {R"({"id":1,"method":"tools/call","params":["get_context_packet"]})", unknownTool("1")},
      {R"({"id":1,"method":"tools/call","params":null})", unknownTool("1")},
      {R"({"id":1,"method":"tools/call"})", unknownTool("1")},
  };
  // None of these reaches the application.
  testing::TemporaryDirectory directory;
  testing::SocketPeer peer(directory.file("s.sock"), testing::PeerScripts::closeAtOnce());
  Shim shim = makeShim({"quill-mcp"}, {{"QUILL_MCP_NO_LAUNCH", "1"},
                                       {"QUILL_MCP_SOCKET", peer.path()},
                                       {"QUILL_MCP_STATUS", directory.file("status.json")}});
  for (const auto& [line, expected] : cases) {
    EXPECT_EQ(show(shim.answer(line)), expected) << "line: " << line;
  }
  peer.stop();
  EXPECT_EQ(peer.transcripts().size(), 0u);
}

// Each line is sent in turn to one shim; after each, the recorded client name is checked.
TEST(ShimLoopTests, InitializeRecordsTheLatestClientName) {
  const struct {
    std::string line;
    std::optional<std::string> nameAfter;
  } steps[] = {
      {R"({"id":0,"method":"ping"})", std::nullopt},
      {R"({"id":1,"method":"initialize","params":{"clientInfo":{"name":"Claude Code"}}})",
       "Claude Code"},
      // Notifications change nothing, even an initialize that names another client; nor do other
      // requests, a malformed initialize or another method.
      {R"({"method":"initialize","params":{"clientInfo":{"name":"Cursor"}}})", "Claude Code"},
      {R"({"id":2,"method":"ping"})", "Claude Code"},
      {R"({"id":true,"method":"initialize","params":{"clientInfo":{"name":"Cursor"}}})",
       "Claude Code"},
      {R"({"id":3,"method":"Initialize","params":{"clientInfo":{"name":"Cursor"}}})",
       "Claude Code"},
      // A later initialize replaces it, or clears it when it names no client.
      {R"({"id":4,"method":"initialize","params":{"clientInfo":{"name":7}}})", std::nullopt},
      {R"({"id":5,"method":"initialize","params":{"clientInfo":{"name":"Cursor"}}})", "Cursor"},
      {R"({"id":6,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})", std::nullopt},
      {R"({"id":7,"method":"initialize","params":{"clientInfo":{"name":""}}})", ""},
      {R"({"id":8,"method":"initialize"})", std::nullopt},
      {R"({"id":9,"method":"initialize","params":{"clientInfo":{"name":"Zed"}}})", "Zed"},
      {R"({"id":10,"method":"initialize","params":{"clientInfo":"Cursor"}})", std::nullopt},
      {R"({"id":11,"method":"initialize","params":{"clientInfo":{"name":"Zed"}}})", "Zed"},
      {R"({"id":12,"method":"initialize","params":["clientInfo"]})", std::nullopt},
  };
  Shim shim = makeShim();
  for (const auto& [line, nameAfter] : steps) {
    (void)shim.answer(line);
    EXPECT_EQ(shim.clientName(), nameAfter) << "after: " << line;
  }
}

TEST(ShimLoopTests, ClientSlugIsTheValueOfTheLastCompleteClientOption) {
  const struct {
    std::vector<std::string> arguments;
    std::optional<std::string> slug;
  } cases[] = {
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
    EXPECT_EQ(MCPCommandLine::clientSlug(arguments), slug) << shown;
    EXPECT_EQ(makeShim(arguments).clientSlug(), slug) << shown;
  }
}

// ---- The real loop, over pipes --------------------------------------------------------------

// A shim whose loop runs in a thread of its own, reading what the test writes and writing into a
// pipe the test reads.
class LoopOverPipes {
 public:
  explicit LoopOverPipes(std::size_t maxLineBytes = LineFraming::maxLineBytes,
                         bool nonBlockingInput = false) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("no pipe");
    input_ = FileDescriptor(in[1]), output_ = FileDescriptor(out[0]);
    theirInput_ = FileDescriptor(in[0]), theirOutput_ = FileDescriptor(out[1]);
    if (nonBlockingInput) ::fcntl(in[0], F_SETFL, O_NONBLOCK);
    Shim::Options options{{"/bin/false", {}}, {in[0], out[1], out[1]}};
    options.maxLineBytes = maxLineBytes;
    loop_ = std::thread([this, options] {
      status_ = Shim({"quill-mcp"}, {{"QUILL_MCP_NO_LAUNCH", "1"}}, options).run();
      theirOutput_ = FileDescriptor();
    });
  }
  ~LoopOverPipes() {
    input_ = FileDescriptor();
    output_ = FileDescriptor();
    if (loop_.joinable()) loop_.join();
  }

  void write(std::string_view bytes) { ASSERT_FALSE(failed(writeAll(input_.get(), bytes))); }
  // The next line the loop wrote, or what it wrote before its output ended.
  std::string readLine() {
    std::string line;
    for (char c; line.empty() || line.back() != '\n';) {
      if (::read(output_.get(), &c, 1) != 1) break;
      line += c;
    }
    return line;
  }
  // Ends the input, and gives all the loop wrote after what was read, once it has returned.
  std::string finish() {
    input_ = FileDescriptor();
    std::string rest, line;
    while (!(line = readLine()).empty()) rest += line;
    loop_.join();
    EXPECT_EQ(status_, 0);
    return rest;
  }
  // The client stops reading and asks once more: the loop must end on its own while its input
  // stays open.
  void closeOutputAndAsk(std::string_view request) {
    output_ = FileDescriptor();
    write(request);
    loop_.join();
    EXPECT_EQ(status_, 0);
  }

 private:
  FileDescriptor input_, output_, theirInput_, theirOutput_;
  std::thread loop_;
  int status_ = -1;
};

constexpr std::string_view kPing = R"({"id":1,"method":"ping"})";

TEST(ShimLoopTests, FramesTheInputIntoRequestsUntilItEnds) {
  const struct {
    std::vector<std::string_view> writes;
    std::string output;
  } cases[] = {
      {{}, ""},
      // CR LF and empty lines; a last request without its line feed is never answered.
      {{R"({"id":1,"method":"ping"})"
        "\r\n\r\n\n"
        R"({"id":2,"method":"ping"})"
        "\n{\"id\":3"},
       std::string(kPong) + "\n" + R"({"id":2,"jsonrpc":"2.0","result":{}})" + "\n"},
      // A request written in pieces is joined.
      {{R"({"jsonrpc":"2.0",)", R"("id":4)", R"(2,"meth)", R"(od":"pi)", R"(ng"})", "\r", "\n"},
       R"({"id":42,"jsonrpc":"2.0","result":{}})"
       "\n"},
  };
  for (const auto& c : cases) {
    LoopOverPipes loop;
    for (std::string_view piece : c.writes) loop.write(piece);
    EXPECT_EQ(loop.finish(), c.output);
  }
}

// Too long to be held, a line is dropped with its tail, unanswered; the next is answered. Its head
// is larger than a pipe holds, so the loop has read some of it before the line feed comes.
TEST(ShimLoopTests, DropsALineLongerThanTheLimit) {
  LoopOverPipes loop(32);
  loop.write(R"({"id":99,"method":"ping","params":")" + std::string(256 * 1024, 'x'));
  loop.write("\"}\n" + std::string(kPing) + "\n");
  EXPECT_EQ(loop.finish(), std::string(kPong) + "\n");
}

// Some clients hand their child a non-blocking pipe: a read that finds nothing yet must wait for
// input, not be taken for the end of the session.
TEST(ShimLoopTests, WaitsOnANonBlockingInput) {
  LoopOverPipes loop(LineFraming::maxLineBytes, /*nonBlockingInput=*/true);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // it meets the empty pipe first
  loop.write(std::string(kPing) + "\n");
  EXPECT_EQ(loop.readLine(), std::string(kPong) + "\n");
  EXPECT_EQ(loop.finish(), "");
}

TEST(ShimLoopTests, EndsWhenTheClientStopsReading) {
  LoopOverPipes loop;
  loop.closeOutputAndAsk(std::string(kPing) + "\n");
}

}  // namespace
}  // namespace quill
