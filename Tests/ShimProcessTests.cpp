// The quill-mcp executable driven from outside, as an MCP client drives it: bytes on standard
// input, answer lines on standard output, diagnostics on standard error, and the exit status.
// The answer to each kind of line is checked byte for byte in process (ShimLoopTests); here is
// what only a process shows: framing across writes, large lines, the end of input, a client
// that stops reading, a non-blocking standard input, and the command line.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Subprocess.h"

namespace quill {
namespace {

using testing::EnvironmentMap;
using testing::ProcessResult;
using testing::Subprocess;

constexpr std::size_t kMiB = 1024 * 1024;
constexpr std::string_view kPing1 = "{\"id\":1,\"method\":\"ping\"}";
constexpr std::string_view kPong1 = "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n";
constexpr std::string_view kPong2 = "{\"id\":2,\"jsonrpc\":\"2.0\",\"result\":{}}\n";

class ShimProcessTests : public ::testing::Test {
 protected:
  // Everything the shim could reach is redirected into the test's own folder, and it may never
  // start the desktop application.
  EnvironmentMap environment() const {
    EnvironmentMap environment = testing::currentEnvironment();
    environment["QUILL_MCP_SOCKET"] = directory_.file("mcp.sock");
    environment["QUILL_MCP_STATUS"] = directory_.file("mcp-status.json");
    environment["QUILL_MCP_NO_LAUNCH"] = "1";
    return environment;
  }

  std::vector<std::string> argv() const { return {QUILL_MCP_BINARY, "--client", "test-suite"}; }

  static void expectCleanExit(const ProcessResult& result, std::string_view out) {
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    // Compared without printing: a failure would otherwise dump megabytes.
    EXPECT_TRUE(result.out == out) << "output of " << result.out.size() << " bytes (expected "
                                   << out.size() << ") starts with " << result.out.substr(0, 300);
  }

  testing::TemporaryDirectory directory_;
};

TEST_F(ShimProcessTests, AnswersTheHandshakePingErrorsAndNotNotifications) {
  const auto result = testing::runProcess(
      argv(), environment(),
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26",)"
      R"("capabilities":{},"clientInfo":{"name":"claude-ai","version":"0.1.0"}}})"
      "\n"
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
      "\n"
      R"({"jsonrpc":"2.0","id":"p","method":"ping"})"
      "\nnot json\n"
      R"({"id":3})"
      "\n"
      R"({"jsonrpc":"2.0","id":4,"method":"resources/list"})"
      "\n");
  expectCleanExit(
      result,
      R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":false}},)"
      R"("instructions":"Quill holds the user's project memory on this Mac: cited facts, )"
      R"(uncertain items, and hard do-NOT rules, kept strictly separate per project. Before doing )"
      R"(any work on one of the user's projects, call get_context_packet with the project's name )"
      R"((and what you're about to do) so you start from their ground truth instead of )"
      R"(guessing.","protocolVersion":"2025-03-26","serverInfo":{"name":"quill","title":"Quill",)"
      R"("version":"1.0"}}})"
      "\n"
      R"({"id":"p","jsonrpc":"2.0","result":{}})"
      "\n"
      R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"
      "\n"
      R"({"error":{"code":-32600,"message":"Invalid request"},"id":null,"jsonrpc":"2.0"})"
      "\n"
      R"({"error":{"code":-32601,"message":"Method not found: resources/list"},"id":4,"jsonrpc":"2.0"})"
      "\n");
}

TEST_F(ShimProcessTests, FramesLinesOnLineFeedsUntilTheEndOfInput) {
  const std::string ping1(kPing1), ping2 = "{\"id\":2,\"method\":\"ping\"}";
  const struct {
    const char* name;
    std::string input;
    std::string output;
  } cases[] = {
      {"no input at all", "", ""},
      // Several requests in one write, CR LF and empty lines; a last request without its line
      // feed is never answered.
      {"requests in one write", ping1 + "\r\n\r\n\n" + ping2 + "\n" + ping1,
       std::string(kPong1) + std::string(kPong2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expectCleanExit(testing::runProcess(argv(), environment(), c.input), c.output);
  }
}

TEST_F(ShimProcessTests, JoinsARequestWrittenInPieces) {
  Subprocess shim(argv(), environment());
  for (std::string_view piece :
       {R"({"jsonrpc":"2.0",)", R"("id":4)", R"(2,"meth)", R"(od":"pi)", R"(ng"})", "\r", "\n"}) {
    ASSERT_TRUE(shim.write(piece));
  }
  EXPECT_EQ(shim.readLine(), R"({"id":42,"jsonrpc":"2.0","result":{}})");
  // The loop is still reading: a second request is answered too.
  ASSERT_TRUE(shim.write(std::string(kPing1) + "\n"));
  EXPECT_EQ(shim.readLine().value_or("") + "\n", kPong1);
  expectCleanExit(shim.finish(), "");
}

TEST_F(ShimProcessTests, DropsALineThatGrowsTooLongAndAnswersLargeLinesWhole) {
  Subprocess shim(argv(), environment());
  // A well-formed ping of 20 MiB: too long to be held, so neither it nor its tail is answered.
  ASSERT_TRUE(shim.write(R"({"id":99,"method":"ping","params":")"));
  const std::string piece(kMiB, 'x');
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(shim.write(piece));
  ASSERT_TRUE(shim.write("\"}\n{\"id\":2,\"method\":\"ping\"}\n"));
  // A request of 8 MiB is held, and its answer of as many bytes written whole.
  const std::string bulk(8 * kMiB, 'q');
  ASSERT_TRUE(shim.write(R"({"id":6,"method":")" + bulk + "\"}\n"));
  expectCleanExit(shim.finish(), std::string(kPong2) +
                                     R"({"error":{"code":-32601,"message":"Method not found: )" +
                                     bulk + R"("},"id":6,"jsonrpc":"2.0"})" + "\n");
}

TEST_F(ShimProcessTests, EndsQuietlyWhenTheClientStopsReading) {
  const struct {
    const char* name;
    std::string pendingAnswer;  // sent just before closing: an answer the shim may be writing
  } cases[] = {
      {"closed before anything was asked", ""},
      {"closed in the middle of a large answer",
       R"({"id":2,"method":")" + std::string(4 * kMiB, 'm') + "\"}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Subprocess shim(argv(), environment());
    ASSERT_TRUE(shim.write(c.pendingAnswer));
    shim.closeOutput();
    // Keep asking; the writes start failing once the shim has gone. Its input stays open, so it
    // must end on its own.
    for (int i = 0; i < 1000 && shim.write(std::string(kPing1) + "\n"); ++i) {
    }
    expectCleanExit(shim.wait(), "");
  }
}

// --version and --help answer only as the whole command line: any other is a client's, and the
// shim runs whatever else the client adds.
TEST_F(ShimProcessTests, AnswersVersionAndHelpOnlyAsTheOneArgument) {
  const struct {
    std::vector<std::string> arguments;
    std::string_view output;
  } cases[] = {
      {{"--version"}, "quill-mcp " QUILL_MCP_VERSION "\n"},
      {{"--client", "x", "--foo"}, kPong1},
      {{"--version", "--client", "x"}, kPong1},
      {{"--help", "--help"}, kPong1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.front());
    std::vector<std::string> command{QUILL_MCP_BINARY};
    command.insert(command.end(), c.arguments.begin(), c.arguments.end());
    expectCleanExit(testing::runProcess(command, environment(), std::string(kPing1) + "\n"),
                    c.output);
  }
  const auto help = testing::runProcess({QUILL_MCP_BINARY, "--help"}, environment(), "");
  EXPECT_EQ(help.exitStatus, 0);
  for (std::string_view word : {"--client SLUG", "QUILL_MCP_SOCKET", "QUILL_MCP_STATUS",
                                "QUILL_MCP_NO_LAUNCH", "TMPDIR", "quill-mcp-doctor"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
}

// Some clients hand their child a non-blocking pipe: a read that finds nothing yet must wait for
// input, not be taken for the end of the session.
TEST_F(ShimProcessTests, WaitsOnANonBlockingStandardInput) {
  Subprocess shim(argv(), environment(), /*nonBlockingInput=*/true);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // it meets the empty pipe first
  ASSERT_TRUE(shim.write(std::string(kPing1) + "\n"));
  expectCleanExit(shim.finish(), kPong1);
}

}  // namespace
}  // namespace quill
