// The quill-mcp executable driven from outside, as an MCP client drives it: bytes on standard
// input, answer lines on standard output, diagnostics on standard error, and the exit status.
// The answers and the framing are checked in process (ShimLoopTests); here is what only a
// process shows: its streams, a large answer written whole, its end, and its command line.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
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

// Answers on standard output only, none for a notification, and exit status 0 at the end of input.
TEST_F(ShimProcessTests, AnswersOnStandardOutputUntilTheInputEnds) {
  for (const std::string& input :
       {std::string(), R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                       "\n" +
                           std::string(kPing1) + "\nnot json\n"}) {
    expectCleanExit(
        testing::runProcess(argv(), environment(), input),
        input.empty()
            ? ""
            : std::string(kPong1) +
                  R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"
                  "\n");
  }
}

// A request of 8 MiB is held, and its answer of as many bytes written whole.
TEST_F(ShimProcessTests, WritesALargeAnswerWhole) {
  Subprocess shim(argv(), environment());
  const std::string bulk(8 * kMiB, 'q');
  ASSERT_TRUE(shim.write(R"({"id":6,"method":")" + bulk + "\"}\n"));
  expectCleanExit(shim.finish(), R"({"error":{"code":-32601,"message":"Method not found: )" + bulk +
                                     R"("},"id":6,"jsonrpc":"2.0"})" + "\n");
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

}  // namespace
}  // namespace quill
