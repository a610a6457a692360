// The quill-mcp executable driven from outside, as an MCP client drives it: bytes on standard
// input, answer lines on standard output, diagnostics on standard error, and the exit status.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "Subprocess.h"

using quill::testing::EnvironmentMap;
using quill::testing::ProcessResult;
using quill::testing::Subprocess;
using quill::testing::TemporaryDirectory;

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

constexpr std::string_view kInstructions =
    "Quill holds the user's project memory on this Mac: cited facts, uncertain items, and hard "
    "do-NOT rules, kept strictly separate per project. Before doing any work on one of the user's "
    "projects, call get_context_packet with the project's name (and what you're about to do) so "
    "you start from their ground truth instead of guessing.";

// The answer line to an initialize request with `id` that settles on `version`.
std::string initializeAnswer(std::string_view id, std::string_view version) {
  std::string answer = R"({"id":)";
  answer += id;
  answer += R"(,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":false}},)";
  answer += R"("instructions":")";
  answer += kInstructions;
  answer += R"(","protocolVersion":")";
  answer += version;
  answer += R"(","serverInfo":{"name":"quill","title":"Quill","version":"1.0"}}})";
  return answer;
}

std::string lines(const std::vector<std::string>& texts) {
  std::string joined;
  for (const auto& text : texts) joined += text + "\n";
  return joined;
}

class ShimProcessTests : public ::testing::Test {
 protected:
  // Everything the shim could reach is redirected into the test's own folder, and it may never
  // start the desktop application.
  EnvironmentMap environment() const {
    EnvironmentMap environment = quill::testing::currentEnvironment();
    environment["QUILL_MCP_SOCKET"] = directory_.file("mcp.sock");
    environment["QUILL_MCP_STATUS"] = directory_.file("mcp-status.json");
    environment["QUILL_MCP_NO_LAUNCH"] = "1";
    return environment;
  }

  std::vector<std::string> argv() const { return {QUILL_MCP_BINARY, "--client", "test-suite"}; }

  // Runs the shim on `input` until it ends; the input ends after the last byte given.
  ProcessResult run(std::string_view input) const {
    return quill::testing::runProcess(argv(), environment(), input);
  }

  static void expectCleanExit(const ProcessResult& result) {
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
  }

  TemporaryDirectory directory_;
};

TEST_F(ShimProcessTests, AnswersInitializeWithTheHandshake) {
  const auto result = run(
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
      R"("capabilities":{},"clientInfo":{"name":"claude-ai","version":"0.1.0"}}})"
      "\n");
  expectCleanExit(result);
  EXPECT_EQ(
      result.out,
      R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":false}},)"
      R"("instructions":"Quill holds the user's project memory on this Mac: cited facts, )"
      R"(uncertain items, and hard do-NOT rules, kept strictly separate per project. Before doing )"
      R"(any work on one of the user's projects, call get_context_packet with the project's name )"
      R"((and what you're about to do) so you start from their ground truth instead of )"
      R"(guessing.","protocolVersion":"2025-06-18","serverInfo":{"name":"quill","title":"Quill",)"
      R"("version":"1.0"}}})"
      "\n");
}

TEST_F(ShimProcessTests, NegotiatesTheProtocolVersion) {
  struct Case {
    std::string params;
    std::string version;
  };
  const std::vector<Case> cases = {
      {R"({"protocolVersion":"2025-06-18"})", "2025-06-18"},
      {R"({"protocolVersion":"2025-03-26"})", "2025-03-26"},
      {R"({"protocolVersion":"2024-11-05"})", "2024-11-05"},
      {R"({"protocolVersion":"2025-11-25"})", "2025-06-18"},
      {R"({"protocolVersion":"2024-10-07"})", "2025-06-18"},
      {R"({"protocolVersion":"2025-03-26 "})", "2025-06-18"},
      {R"({"protocolVersion":""})", "2025-06-18"},
      {R"({"protocolVersion":2025})", "2025-06-18"},
      {R"({"protocolVersion":null})", "2025-06-18"},
      {R"({"protocolVersion":["2025-03-26"]})", "2025-06-18"},
      {R"({"clientInfo":{"name":"x"}})", "2025-06-18"},
      {R"("2025-03-26")", "2025-06-18"},
      {R"(null)", "2025-06-18"},
  };
  std::string input;
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string id = std::to_string(i + 10);
    input += R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"initialize","params":)" +
             cases[i].params + "}\n";
    expected.push_back(initializeAnswer(id, cases[i].version));
  }
  // And without any params at all, under a string id.
  input += lines({R"({"jsonrpc":"2.0","id":"init","method":"initialize"})"});
  expected.push_back(initializeAnswer(R"("init")", "2025-06-18"));

  const auto result = run(input);
  expectCleanExit(result);
  EXPECT_EQ(result.out, lines(expected));
}

TEST_F(ShimProcessTests, InitializeWithoutAnIdIsSilent) {
  const auto result = run(lines({
      R"({"jsonrpc":"2.0","method":"initialize","params":{"clientInfo":{"name":"Cursor"}}})",
      R"({"jsonrpc":"2.0","id":null,"method":"initialize","params":{"protocolVersion":"x"}})",
  }));
  expectCleanExit(result);
  EXPECT_EQ(result.out, "");
}

TEST_F(ShimProcessTests, AnswersPingUnderTheRequestsOwnId) {
  const auto result = run(lines({
      R"({"jsonrpc":"2.0","id":1,"method":"ping"})",
      R"({"jsonrpc":"2.0","id":"abc","method":"ping"})",
      R"({"jsonrpc":"2.0","id":"","method":"ping"})",
      R"({"jsonrpc":"2.0","id":"a/b\u00e9","method":"ping"})",
      R"({"jsonrpc":"2.0","id":1.5,"method":"ping"})",
      R"({"jsonrpc":"2.0","id":2.0,"method":"ping"})",
      R"({"jsonrpc":"2.0","id":-7,"method":"ping"})",
      R"({"jsonrpc":"2.0","id":0,"method":"ping"})",
      R"({"jsonrpc":"2.0","id":1e3,"method":"ping"})",
      R"({"jsonrpc":"2.0","id":null,"method":"ping"})",
      R"({"jsonrpc":"2.0","method":"ping"})",
      R"({"id":9,"method":"ping","params":{"any":"thing"}})",
  }));
  expectCleanExit(result);
  EXPECT_EQ(result.out, lines({
                            R"({"id":1,"jsonrpc":"2.0","result":{}})",
                            R"({"id":"abc","jsonrpc":"2.0","result":{}})",
                            R"({"id":"","jsonrpc":"2.0","result":{}})",
                            R"({"id":"a/bé","jsonrpc":"2.0","result":{}})",
                            R"({"id":1.5,"jsonrpc":"2.0","result":{}})",
                            R"({"id":2,"jsonrpc":"2.0","result":{}})",
                            R"({"id":-7,"jsonrpc":"2.0","result":{}})",
                            R"({"id":0,"jsonrpc":"2.0","result":{}})",
                            R"({"id":1000,"jsonrpc":"2.0","result":{}})",
                            R"({"id":9,"jsonrpc":"2.0","result":{}})",
                        }));
}

TEST_F(ShimProcessTests, AnswersBadLinesAndUnknownMethodsAndCarriesOn) {
  const std::string parseError =
      R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})";
  const std::string invalidRequest =
      R"({"error":{"code":-32600,"message":"Invalid request"},"id":null,"jsonrpc":"2.0"})";
  const auto result = run(lines({
      "not json",
      "    ",
      R"({"id":1,"method":"ping"} trailing)",
      R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])",
      "42",
      R"({"id":1})",
      R"({"id":1,"method":null})",
      R"({"id":true,"method":"ping"})",
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
      R"({"jsonrpc":"2.0","id":7,"method":"notifications/initialized"})",
      R"({"jsonrpc":"2.0","id":8,"method":"résumé → \u2014"})",
      R"({"jsonrpc":"2.0","id":9,"method":""})",
      R"({"jsonrpc":"2.0","id":10,"method":"ping"})",
  }));
  expectCleanExit(result);
  EXPECT_EQ(
      result.out,
      lines({
          parseError,
          parseError,
          parseError,
          invalidRequest,
          invalidRequest,
          invalidRequest,
          invalidRequest,
          invalidRequest,
          R"({"error":{"code":-32601,"message":"Method not found: notifications/initialized"},"id":7,"jsonrpc":"2.0"})",
          R"({"error":{"code":-32601,"message":"Method not found: résumé → —"},"id":8,"jsonrpc":"2.0"})",
          R"({"error":{"code":-32601,"message":"Method not found: "},"id":9,"jsonrpc":"2.0"})",
          R"({"id":10,"jsonrpc":"2.0","result":{}})",
      }));
}

TEST_F(ShimProcessTests, FramesLinesOnLineFeeds) {
  struct Case {
    const char* name;
    std::string input;
    std::string output;
  };
  const std::string pong1 = lines({R"({"id":1,"jsonrpc":"2.0","result":{}})"});
  const std::string pong2 = lines({R"({"id":2,"jsonrpc":"2.0","result":{}})"});
  const std::vector<Case> cases = {
      {"no input at all", "", ""},
      {"empty lines and a lone carriage return", "\n\n\r\n\n", ""},
      {"CR LF line ends",
       "{\"id\":1,\"method\":\"ping\"}\r\n\r\n{\"id\":2,\"method\":\"ping\"}\r\n", pong1 + pong2},
      {"a second carriage return is JSON white space", "{\"id\":1,\"method\":\"ping\"}\r\r\n",
       pong1},
      {"two requests in one write",
       "{\"id\":1,\"method\":\"ping\"}\n{\"id\":2,\"method\":\"ping\"}\n", pong1 + pong2},
      {"a last request without a line feed is never answered",
       "{\"id\":1,\"method\":\"ping\"}\n{\"id\":2,\"method\":\"ping\"}", pong1},
      {"only an unterminated request", "{\"id\":1,\"method\":\"ping\"}", ""},
  };
  for (const auto& [name, input, output] : cases) {
    SCOPED_TRACE(name);
    const auto result = run(input);
    expectCleanExit(result);
    EXPECT_EQ(result.out, output);
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
  ASSERT_TRUE(shim.write("{\"id\":43,\"method\":\"ping\"}\n"));
  EXPECT_EQ(shim.readLine(), R"({"id":43,"jsonrpc":"2.0","result":{}})");
  const auto result = shim.finish();
  expectCleanExit(result);
  EXPECT_EQ(result.out, "");
}

TEST_F(ShimProcessTests, DropsALineThatGrowsTooLongAndAnswersTheNext) {
  Subprocess shim(argv(), environment());
  // A well-formed ping of 20 MiB: too long to be held, so neither it nor its tail is answered.
  ASSERT_TRUE(shim.write(R"({"id":99,"method":"ping","params":")"));
  const std::string piece(kMiB, 'x');
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(shim.write(piece));
  ASSERT_TRUE(shim.write("\"}\n{\"id\":2,\"method\":\"ping\"}\n"));
  const auto result = shim.finish();
  expectCleanExit(result);
  EXPECT_EQ(result.out, lines({R"({"id":2,"jsonrpc":"2.0","result":{}})"}));
}

TEST_F(ShimProcessTests, AnswersLargeRequestsWhole) {
  const std::string bulk(8 * kMiB, 'q');
  Subprocess shim(argv(), environment());
  // A large request with a small answer, then a large request whose answer is as large.
  ASSERT_TRUE(shim.write(R"({"id":5,"method":"ping","params":{"blob":")" + bulk + "\"}}\n"));
  ASSERT_TRUE(shim.write(R"({"id":6,"method":")" + bulk + "\"}\n"));
  const auto result = shim.finish();
  expectCleanExit(result);
  const std::string expected = lines({
      R"({"id":5,"jsonrpc":"2.0","result":{}})",
      R"({"error":{"code":-32601,"message":"Method not found: )" + bulk +
          R"("},"id":6,"jsonrpc":"2.0"})",
  });
  // Compared without printing: a failure would otherwise dump megabytes.
  EXPECT_TRUE(result.out == expected)
      << "output of " << result.out.size() << " bytes (expected " << expected.size()
      << ") starts with " << result.out.substr(0, 200);
}

TEST_F(ShimProcessTests, EndsQuietlyWhenTheClientStopsReading) {
  struct Case {
    const char* name;
    std::string beforeClosing;  // sent, and its answer read, before the client stops reading
    std::string pendingAnswer;  // sent just before closing: an answer the shim may be writing
  };
  const std::string ping = "{\"id\":1,\"method\":\"ping\"}\n";
  const std::vector<Case> cases = {
      {"closed before anything was asked", "", ""},
      {"closed after an answer", ping, ""},
      {"closed in the middle of a large answer", ping,
       R"({"id":2,"method":")" + std::string(4 * kMiB, 'm') + "\"}\n"},
  };
  for (const auto& [name, beforeClosing, pendingAnswer] : cases) {
    SCOPED_TRACE(name);
    Subprocess shim(argv(), environment());
    if (!beforeClosing.empty()) {
      ASSERT_TRUE(shim.write(beforeClosing));
      EXPECT_EQ(shim.readLine(), R"({"id":1,"jsonrpc":"2.0","result":{}})");
    }
    if (!pendingAnswer.empty()) {
      ASSERT_TRUE(shim.write(pendingAnswer));
    }
    shim.closeOutput();
    // Keep asking; the writes start failing once the shim has gone.
    for (int i = 0; i < 1000 && shim.write(ping); ++i) {
    }
    const auto result = shim.finish();
    expectCleanExit(result);
  }
}

// Some clients hand their child a non-blocking pipe: a read that finds nothing yet must wait for
// input, not be taken for the end of the session.
TEST_F(ShimProcessTests, WaitsOnANonBlockingStandardInput) {
  int input[2], output[2];
  ASSERT_EQ(::pipe(input), 0);
  ASSERT_EQ(::pipe(output), 0);
  ASSERT_EQ(::fcntl(input[0], F_SETFL, ::fcntl(input[0], F_GETFL) | O_NONBLOCK), 0);
  std::vector<std::string> envStrings;
  for (const auto& [key, value] : environment()) envStrings.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : envStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(input[0], 0);
    ::dup2(output[1], 1);
    // The child must not hold the other ends, or its input would never end.
    for (int fd : {input[0], input[1], output[0], output[1]}) ::close(fd);
    char* args[] = {const_cast<char*>(QUILL_MCP_BINARY), nullptr};
    ::execve(args[0], args, envp.data());
    ::_exit(127);
  }
  ::close(input[0]);
  ::close(output[1]);
  ::usleep(200000);  // let the shim meet the empty pipe first
  const std::string request = "{\"id\":1,\"method\":\"ping\"}\n";
  ASSERT_EQ(::write(input[1], request.data(), request.size()), static_cast<ssize_t>(request.size()));
  ::close(input[1]);
  std::string answer;
  char buffer[256];
  for (ssize_t n; (n = ::read(output[0], buffer, sizeof buffer)) > 0;) answer.append(buffer, n);
  ::close(output[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(answer, "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
