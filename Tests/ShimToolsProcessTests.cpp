// End-to-end tests of the shim's tool list and tool calls: the real `quill-mcp` process talks to a
// scripted socket peer or to the stand-in application `quill-peer`, and the tests read its
// standard output, standard error and exit status byte for byte.
//
// They run `quill-mcp-launch-test`, the same shim whose launcher is Tests/Support/launch-peer:
// every launch is logged in the sandbox's launch log, so "no launch" is checked by that log
// staying absent, and the real application is never started.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FileDescriptor.h"
#include "MCPErrors.h"
#include "SocketPeer.h"
#include "Subprocess.h"
#include "ToolDefinition.h"
#include "UnixSocket.h"

namespace quill {
namespace {

using namespace std::chrono_literals;
using testing::EnvironmentMap;
using testing::PeerScript;
using testing::ProcessResult;
using testing::SocketPeer;
using testing::Subprocess;
using testing::TemporaryDirectory;
namespace PeerScripts = testing::PeerScripts;

// ---- What the agent sees -------------------------------------------------------------------

// Which text was chosen; the texts themselves are MCPErrors's.
const std::string_view kAppNotRunning = MCPErrors::appNotRunning;
const std::string_view kDisabled = MCPErrors::disabled;
const std::string_view kSignedOut = MCPErrors::signedOut;
const std::string_view kNoProjects = MCPErrors::noProjects;
const std::string_view kInternalError = MCPErrors::internalError;

// The launch line, then what Tests/Support/launch-peer prints on its standard output.
constexpr std::string_view kLaunchOutput =
    "quill-mcp: app not reachable — launching Quill in the background\n"
    "launcher output on stdout\n";
#if defined(__APPLE__)
constexpr std::string_view kLaunchLogLine = "launch -g -b app.quill.desktop.test\n";
#else
constexpr std::string_view kLaunchLogLine = "launch app.quill.desktop.test\n";
#endif

// A tool list whose description names `projects`, as the application builds it.
std::string toolList(std::vector<std::string> projects = {}) {
  return std::get<std::string>(ToolDefinition::listResult(projects).encodedData());
}

// The shim's own tool list, without project names.
const std::string kFallbackList = toolList();

std::string resultLine(std::string_view id, std::string_view result) {
  return R"({"id":)" + std::string(id) + R"(,"jsonrpc":"2.0","result":)" + std::string(result) +
         "}\n";
}

// A tool result with isError true carrying `text`, which must need no JSON escaping.
std::string errorResult(std::string_view text) {
  return R"({"content":[{"text":")" + std::string(text) + R"(","type":"text"}],"isError":true})";
}

std::string errorTextLine(std::string_view id, std::string_view text) {
  return resultLine(id, errorResult(text));
}

// ---- What the agent sends ------------------------------------------------------------------

std::string toolsList(std::string_view id) {
  return R"({"jsonrpc":"2.0","id":)" + std::string(id) + R"(,"method":"tools/list"})" + "\n";
}

std::string toolsCall(std::string_view id, std::string_view arguments) {
  return R"({"jsonrpc":"2.0","id":)" + std::string(id) +
         R"(,"method":"tools/call","params":{"name":"get_context_packet","arguments":)" +
         std::string(arguments) + "}}\n";
}

std::string initialize(std::string_view id, std::string_view clientName) {
  return R"({"jsonrpc":"2.0","id":)" + std::string(id) +
         R"(,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},)"
         R"("clientInfo":{"name":")" +
         std::string(clientName) + R"(","version":"1"}}})" + "\n";
}

// What the application writes back: `text` as one line, then it closes.
PeerScript answer(std::string_view text) {
  return PeerScripts::replyAndClose(std::string(text) + "\n");
}

// ---- Status files --------------------------------------------------------------------------

std::string statusJSON(bool enabled, bool signedIn) {
  return std::string(R"({"enabled":)") + (enabled ? "true" : "false") + R"(,"signedIn":)" +
         (signedIn ? "true" : "false") +
         R"(,"listening":false,"version":"1.0","updatedAt":"2025-01-01T00:00:00Z"})";
}

// Replaces the file in one step, so the shim never reads half of it.
void replaceFile(const std::string& path, std::string_view contents) {
  const std::string temporary = path + ".new";
  testing::writeFile(temporary, contents);
  ASSERT_EQ(std::rename(temporary.c_str(), path.c_str()), 0);
}

// ---- The sandbox ---------------------------------------------------------------------------

// A temporary folder holding the socket, the status file and the launch helper's files, and the
// environment that points the shim at them. Kills any application the launch helper started.
class Sandbox {
 public:
  ~Sandbox() {
    if (auto pid = testing::readFile(peerPidFile); pid && std::atoi(pid->c_str()) > 0) {
      ::kill(std::atoi(pid->c_str()), SIGKILL);
    }
  }

  // `noLaunch` is the value of QUILL_MCP_NO_LAUNCH; absent leaves it unset.
  EnvironmentMap environment(std::optional<std::string> noLaunch = "1") const {
    EnvironmentMap env = testing::currentEnvironment();
    std::erase_if(env, [](const auto& entry) {
      return entry.first.starts_with("QUILL_MCP_") || entry.first.starts_with("QUILL_TEST_");
    });
    env["QUILL_MCP_SOCKET"] = socket;
    env["QUILL_MCP_STATUS"] = status;
    env["QUILL_TEST_LAUNCH_LOG"] = launchLog;
    env["QUILL_TEST_PEER_PIDFILE"] = peerPidFile;
    env["QUILL_TEST_PEER_LOG"] = peerLog;
    if (noLaunch) env["QUILL_MCP_NO_LAUNCH"] = *noLaunch;
    return env;
  }

  // Nothing was launched: the launch helper never ran.
  void expectNoLaunch() const { EXPECT_EQ(testing::readFile(launchLog), std::nullopt); }

  TemporaryDirectory dir;
  std::string socket = dir.file("s.sock");
  std::string status = dir.file("status.json");
  std::string launchLog = dir.file("launch.log");
  std::string peerPidFile = dir.file("peer.pid");
  std::string peerLog = dir.file("peer.log");
};

std::vector<std::string> shimCommand(std::vector<std::string> arguments = {}) {
  arguments.insert(arguments.begin(), QUILL_MCP_LAUNCH_TEST_BINARY);
  return arguments;
}

// Runs the shim over the whole `input` until it exits at the end of input.
ProcessResult runShim(const EnvironmentMap& env, std::string_view input,
                      std::vector<std::string> arguments = {}) {
  return testing::runProcess(shimCommand(std::move(arguments)), env, input, 120s);
}

// The process ended normally at the end of its input, with exactly these bytes on its two
// outputs. Comparing the whole of standard output also proves that nothing but the answers, in
// request order, reached it.
void expectRun(const ProcessResult& result, std::string_view out, std::string_view err = "") {
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, out);
  EXPECT_EQ(result.err, err);
}

// Reads answers from a running shim until standard error holds `text`. Fails on any answer.
void waitForError(Subprocess& process, std::string_view text) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (process.errorOutput().find(text) == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline)
        << "still waiting for: " << text << "\nstandard error so far: " << process.errorOutput();
    auto line = process.readLine(100ms);
    ASSERT_FALSE(line) << "unexpected output: " << *line;
    // readLine returns at once when standard output has closed.
    std::this_thread::sleep_for(10ms);
  }
}

// ---- What the application answers --------------------------------------------------------

// A list is forwarded, or replaced by the shim's own; a tool result is forwarded, or turned into a
// text for the agent. One attempt each, whatever the answer, and neither a look at the status
// file (which says access is off) nor a launch.
TEST(ShimTools, ApplicationAnswersBecomeTheAgentsAnswersWithoutStatusOrLaunch) {
  auto failure = [](std::string_view code, std::string_view message) {
    return answer(R"({"error":{"code":")" + std::string(code) + R"(","message":")" +
                  std::string(message) + R"("},"id":1,"ok":false,"v":1})");
  };
  enum Method { list, call };
  const struct {
    const char* name;
    Method method;
    PeerScript script;
    std::string expectedResult;
  } cases[] = {
      {"a list is forwarded with every member, written in key order", list,
       answer(R"({"v":1,"id":1,"ok":true,"result":{"tools":[{"name":"x","b":2,"a":"p/q",)"
              R"("inputSchema":{"type":"object"}}],"_meta":{"k":null}}})"),
       R"({"_meta":{"k":null},"tools":[{"a":"p/q","b":2,"inputSchema":{"type":"object"},)"
       R"("name":"x"}]})"},
      // A client would refuse the whole list for one tool it cannot read.
      {"a tool without an input schema", list,
       answer(R"({"ok":true,"result":{"tools":[{"name":"x","inputSchema":{"type":"object"}},)"
              R"({"name":"y"}]},"v":1})"),
       kFallbackList},
      // A client would refuse a list whose tools are not an array, and the agent see no tool.
      {"tools that is not an array", list, answer(R"({"ok":true,"result":{"tools":"none"},"v":1})"),
       kFallbackList},
      {"tools null", list, answer(R"({"ok":true,"result":{"tools":null},"v":1})"), kFallbackList},
      {"a result without tools", list, answer(R"({"ok":true,"result":{"tool":[]},"v":1})"),
       kFallbackList},
      {"a result that is not an object", list,
       answer(R"({"ok":true,"result":[{"tools":[]}],"v":1})"), kFallbackList},
      {"a list without a result", list, answer(R"({"ok":true,"v":1})"), kFallbackList},
      {"ok false with a list", list, answer(R"({"ok":false,"result":{"tools":[]},"v":1})"),
       kFallbackList},
      // Any failed exchange: the socket client's tests tell the kinds apart.
      {"a list answered with garbage", list,
       PeerScripts::replyAndClose("HTTP/1.1 400 Bad Request\r\n\r\n"), kFallbackList},

      {"a briefing is forwarded whole", call,
       answer(R"({"ok":true,"result":{"content":[{"type":"text","text":"Brief"}],)"
              R"("isError":false,"_meta":{"k":[null]}},"v":1})"),
       R"({"_meta":{"k":[null]},"content":[{"text":"Brief","type":"text"}],"isError":false})"},
      // A client would refuse a tool result that is not an object, and the agent see no text.
      {"a result that is not an object", call, answer(R"({"ok":true,"result":"plain","v":1})"),
       errorResult(kInternalError)},
      {"a result that is an array", call, answer(R"({"ok":true,"result":[{}],"v":1})"),
       errorResult(kInternalError)},
      {"a result without content", call, answer(R"({"ok":true,"result":{},"v":1})"),
       errorResult(kInternalError)},
      {"unknownProject: its message", call, failure("unknownProject", "No such project here."),
       errorResult("No such project here.")},
      {"unknownProject with an empty message", call, failure("unknownProject", ""),
       errorResult(kInternalError)},
      {"ambiguousProject with an empty message", call, failure("ambiguousProject", ""),
       errorResult(kInternalError)},
      {"internal: its message", call, failure("internal", "Index is rebuilding — wait."),
       errorResult("Index is rebuilding — wait.")},
      {"internal with an empty message", call, failure("internal", ""),
       errorResult(kInternalError)},
      {"disabled: the fixed text, not the message", call, failure("disabled", "off"),
       errorResult(kDisabled)},
      {"signedOut: the fixed text", call, failure("signedOut", "nobody"), errorResult(kSignedOut)},
      {"noProjects: the fixed text", call, failure("noProjects", ""), errorResult(kNoProjects)},
      {"ok true without a result", call, answer(R"({"ok":true,"v":1})"),
       errorResult(kInternalError)},
      {"ok true without a result but with an error", call,
       answer(R"({"error":{"code":"signedOut","message":""},"ok":true,"v":1})"),
       errorResult(kSignedOut)},
      {"ok false without an error", call, answer(R"({"ok":false,"v":1})"),
       errorResult(kInternalError)},
      {"ok false with a result", call,
       answer(R"({"error":{"code":"ambiguousProject","message":"Which one?"},"ok":false,)"
              R"("result":{},"v":1})"),
       errorResult("Which one?")},
      // A broken exchange, of any kind, is not retried.
      {"a call answered with garbage", call, answer("<html>quill</html>"),
       errorResult(kInternalError)},
      {"closed at once", call, PeerScripts::closeAtOnce(), errorResult(kInternalError)},
  };
  Sandbox box;
  testing::writeFile(box.status, statusJSON(false, false));
  std::vector<PeerScript> scripts;
  std::string input, expected;
  for (const auto& c : cases) {
    scripts.push_back(c.script);
    const std::string id = "\"" + std::string(c.name) + "\"";  // names the case in a failure
    input += c.method == list ? toolsList(id) : toolsCall(id, R"({"project":"P"})");
    expected += resultLine(id, c.expectedResult);
  }
  SocketPeer peer(box.socket, PeerScripts::inTurn(scripts));
  auto result = runShim(box.environment(std::nullopt), input);
  peer.stop();
  expectRun(result, expected);
  EXPECT_EQ(peer.transcripts().size(), std::size(cases));
  box.expectNoLaunch();
}

// ---- The request the application receives --------------------------------------------------

// Arguments go as they are; the client's name comes from the latest initialize and its slug from
// the command line.
TEST(ShimTools, WireRequestsCarryTheArgumentsClientSlugAndName) {
  const struct {
    std::string params;
    std::string expectedParams;
  } arguments[] = {
      // No arguments: params hold only the name.
      {R"({"name":"get_context_packet"})", R"({"name":"get_context_packet"})"},
      {R"({"name":"get_context_packet","arguments":null})",
       R"({"arguments":null,"name":"get_context_packet"})"},
      {R"({"name":"get_context_packet","arguments":["Orchard",7]})",
       R"({"arguments":["Orchard",7],"name":"get_context_packet"})"},
      // Nested values, escapes, Unicode and unknown names; other params members are dropped.
      {R"({"arguments":{"task":{"deep":[1,2.5,{"y":false,"x":null}],"empty":{},"path":"a\/b"},)"
       R"("project":"Caf\u00e9 ☕ \"Q\"\n","projekt":""},"name":"get_context_packet","extra":0})",
       R"({"arguments":{"project":"Café ☕ \"Q\"\n","projekt":"",)"
       R"("task":{"deep":[1,2.5,{"x":null,"y":false}],"empty":{},"path":"a/b"}},)"
       R"("name":"get_context_packet"})"},
      // Long strings in a line far longer than one read, with and without escapes.
      {R"({"name":"get_context_packet","arguments":{"task":")" + std::string(300000, 't') +
           R"(","notes":")" + std::string(100000, 'n') + R"(\u0041"}})",
       R"({"arguments":{"notes":")" + std::string(100000, 'n') + R"(A","task":")" +
           std::string(300000, 't') + R"("},"name":"get_context_packet"})"},
  };
  std::string input;
  std::vector<std::string> requests;  // as sent without --client
  for (std::size_t i = 0; i < std::size(arguments); ++i) {
    const std::string id = std::to_string(i + 10);
    input += R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"tools/call","params":)" +
             arguments[i].params + "}\n";
    requests.push_back(R"({"id":)" + id + R"(,"method":"tools/call","params":)" +
                       arguments[i].expectedParams + ",\"v\":1}\n");
  }
  input += toolsList("1") + initialize("2", "Zed") + toolsList("3") + toolsCall("\"req/4\"", "{}");
  requests.insert(
      requests.end(),
      {"{\"id\":1,\"method\":\"tools/list\",\"v\":1}\n",
       "{\"clientName\":\"Zed\",\"id\":3,\"method\":\"tools/list\",\"v\":1}\n",
       R"({"clientName":"Zed","id":"req/4","method":"tools/call","params":{"arguments":{},)"
       R"("name":"get_context_packet"},"v":1})"
       "\n"});
  for (bool withClient : {false, true}) {
    SCOPED_TRACE(withClient ? "with --client" : "without --client");
    Sandbox box;
    SocketPeer peer(box.socket, answer(R"({"ok":true,"result":{"tools":[]},"v":1})"));
    auto result =
        runShim(box.environment(), input,
                withClient ? std::vector<std::string>{"--client", "x", "--client", "claude-code"}
                           : std::vector<std::string>{});
    peer.stop();
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    std::vector<std::string> expected = requests;
    // "client" sorts before every other member.
    for (auto& request : expected) {
      if (withClient) request.insert(1, R"("client":"claude-code",)");
    }
    EXPECT_EQ(peer.transcripts(), expected);
  }
}

// ---- The application cannot be reached ------------------------------------------------------

// The list falls back to the shim's own at once, whatever the status file says; a call is
// explained from the status file.
TEST(ShimTools, UnreachableApplicationIsExplainedFromTheStatusFileWithoutALaunch) {
  struct Case {
    const char* name;
    std::optional<std::string> status;  // no status file when absent
    std::string_view expectedText;
  };
  // Launching is allowed: a status that explains the outage stops it.
  const std::vector<Case> explained = {
      {"agent access off", statusJSON(false, true), kDisabled},
      {"nobody signed in", statusJSON(true, false), kSignedOut},
      {"access off is told before signed out", statusJSON(false, false), kDisabled},
  };
  // QUILL_MCP_NO_LAUNCH=1: the shim says the application is not running, and logs nothing.
  const std::vector<Case> unexplained = {
      {"no status file", std::nullopt, kAppNotRunning},
      {"everything on, but not listening", statusJSON(true, true), kAppNotRunning},
      {"a malformed status file",
       R"({"enabled":"false","signedIn":false,"listening":true,"version":"1","updatedAt":""})",
       kAppNotRunning},
  };
  for (const auto& [cases, noLaunch] : {std::pair{explained, std::optional<std::string>()},
                                        std::pair{unexplained, std::optional<std::string>("1")}}) {
    Sandbox box;
    Subprocess shim(shimCommand(), box.environment(noLaunch));
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      if (c.status) {
        ASSERT_NO_FATAL_FAILURE(replaceFile(box.status, *c.status));
      }
      ASSERT_TRUE(shim.write(toolsCall("1", "{}") + toolsList("2")));
      EXPECT_EQ(shim.readLine(60s).value_or("<none>") + "\n", errorTextLine("1", c.expectedText));
      EXPECT_EQ(shim.readLine(60s).value_or("<none>") + "\n", resultLine("2", kFallbackList));
    }
    expectRun(shim.finish(60s), "");
    box.expectNoLaunch();
  }
}

// Two full retry windows, of two seconds each in the launch-test build.
TEST(ShimToolsCallLaunch, OneLaunchPerProcessAndTheStatusIsReadAgainWhenTheWindowCloses) {
  Sandbox box;
  // Not a complete status record, so it does not stop the launch although it says "off".
  testing::writeFile(box.status, R"({"enabled":false,"signedIn":true,"listening":false})");
  // Any value but "1" allows the launch.
  Subprocess shim(shimCommand(), box.environment("0"));
  ASSERT_TRUE(shim.write(toolsCall("1", "{}")));
  ASSERT_NO_FATAL_FAILURE(waitForError(shim, "launching Quill"));
  // The first status read lies behind: the application now reports that access is off.
  ASSERT_NO_FATAL_FAILURE(replaceFile(box.status, statusJSON(false, true)));
  EXPECT_EQ(shim.readLine(60s).value_or("<none>") + "\n", errorTextLine("1", kDisabled));
  // Still unreachable, with nothing to explain it: the whole window again, without a new launch.
  ASSERT_NO_FATAL_FAILURE(replaceFile(box.status, statusJSON(true, true)));
  ASSERT_TRUE(shim.write(toolsCall("2", R"({"project":"Orchard CRM"})")));
  // The launcher's own output goes to standard error, never among the answers.
  expectRun(shim.finish(120s), errorTextLine("2", kAppNotRunning), kLaunchOutput);
  EXPECT_EQ(testing::readFile(box.launchLog), std::string(kLaunchLogLine));
}

// The application comes up within the window but cannot answer: it is running, so the agent is
// told of an internal error, not asked to open it.
TEST(ShimToolsCallLaunch, AnApplicationReachedButFailingWithinTheWindowIsNotCalledNotRunning) {
  Sandbox box;
  Subprocess shim(shimCommand(), box.environment(std::nullopt));
  ASSERT_TRUE(shim.write(toolsCall("1", "{}")));
  ASSERT_NO_FATAL_FAILURE(waitForError(shim, "launching Quill"));
  // It reads the request and closes, every time.
  SocketPeer peer(box.socket, PeerScripts::replyAndClose(""));
  EXPECT_EQ(shim.readLine(60s).value_or("<none>") + "\n", errorTextLine("1", kInternalError));
  expectRun(shim.finish(60s), "", kLaunchOutput);
  EXPECT_GE(peer.transcripts().size(), 1u);
}

// A launcher that does not return keeps no call from its answer: it is waited for at most one
// window, then left to finish on its own, and reaped once it has; it is never killed.
TEST(ShimToolsCallLaunch, ALauncherThatHangsIsLeftToFinishAndThenReaped) {
  Sandbox box;
  auto env = box.environment(std::nullopt);
  const std::string release = box.dir.file("release");
  env["QUILL_TEST_LAUNCHER_RELEASE"] = release;
  Subprocess shim(shimCommand(), env);
  ASSERT_TRUE(shim.write(toolsCall("1", "{}")));
  // The launcher's window and the retries' window, of two seconds each in this build.
  EXPECT_EQ(shim.readLine(15s).value_or("<none>") + "\n", errorTextLine("1", kAppNotRunning));
  const pid_t launcher = std::atoi(testing::readFile(release + ".pid").value_or("0").c_str());
  ASSERT_GT(launcher, 0);
  EXPECT_EQ(::kill(launcher, 0), 0) << "the launcher is gone before it finished";

  testing::writeFile(release, "");
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  bool reaped = false;
  while (!reaped && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
    // Each request gives the shim a moment to collect the launcher that has ended.
    ASSERT_TRUE(shim.write(R"({"jsonrpc":"2.0","id":2,"method":"ping"})"
                           "\n"));
    EXPECT_EQ(shim.readLine(60s), R"({"id":2,"jsonrpc":"2.0","result":{}})");
    reaped = ::kill(launcher, 0) != 0 && errno == ESRCH;
  }
  EXPECT_TRUE(reaped) << "left a zombie";
  EXPECT_EQ(testing::readFile(release + ".done"), "finished\n") << "killed";
  expectRun(shim.finish(60s), "", kLaunchOutput);
}

// A client started us with standard error closed: the launcher still runs, writing into nothing,
// and the application it starts answers.
TEST(ShimToolsCallLaunch, TheApplicationIsLaunchedWhenStandardErrorIsClosed) {
  Sandbox box;
  auto env = box.environment(std::nullopt);
  env["QUILL_TEST_PEER_BINARY"] = QUILL_PEER_BINARY;
  env["QUILL_TEST_PEER_ARGS"] =
      "--projects " + std::string(QUILL_SOURCE_DIR) + "/examples/projects.json";
  auto result =
      testing::runProcess({"/bin/sh", "-c", "exec \"$0\" 2>&-", QUILL_MCP_LAUNCH_TEST_BINARY}, env,
                          toolsCall("1", R"({"project":"light"})"), 120s);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(testing::readFile(box.launchLog), std::string(kLaunchLogLine));
  EXPECT_TRUE(result.out.starts_with(
      R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"Quill briefing: Lighthouse)"))
      << result.out;
}

// A Quill that listens but takes no connection runs: the agent hears of an internal error once the
// call's time (five seconds in this build) is up, without a launch or a retry window.
TEST(ShimTools, AnApplicationThatTakesNoConnectionIsAnInternalErrorWithoutALaunch) {
#if !defined(__linux__)
  GTEST_SKIP() << "here a full queue refuses the connection at once, as where nobody listens";
#endif
  Sandbox box;
  sockaddr_un address;
  address = std::get<sockaddr_un>(socketAddress(box.socket));
  FileDescriptor listener(::socket(AF_UNIX, SOCK_STREAM, 0));
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 1), 0);
  const auto queued = testing::fillListenQueue(box.socket);
  auto result = runShim(box.environment(std::nullopt), toolsCall("1", "{}"));
  expectRun(result, errorTextLine("1", kInternalError));
  box.expectNoLaunch();
}

// ---- Stopped and continued ----------------------------------------------------------------

// Ctrl-Z and fg on a terminal client stop and continue the shim while it waits for the
// application; the wait goes on and the answer still arrives.
TEST(ShimTools, AShimStoppedAndContinuedWhileWaitingStillDeliversTheAnswer) {
  Sandbox box;
  // An answer that serves as a tool list and as a tool result.
  const std::string both = R"({"content":[],"tools":[]})";
  SocketPeer peer(box.socket, PeerScripts::replyAfter(600ms, R"({"ok":true,"result":)" + both +
                                                                 R"(,"v":1})"
                                                                 "\n"));
  for (const auto& request : {toolsList("1"), toolsCall("1", "{}")}) {
    SCOPED_TRACE(request);
    Subprocess shim(shimCommand(), box.environment());
    ASSERT_TRUE(shim.write(request));
    std::this_thread::sleep_for(200ms);
    shim.signal(SIGSTOP);
    std::this_thread::sleep_for(100ms);
    shim.signal(SIGCONT);
    EXPECT_EQ(shim.readLine(60s).value_or("<none>") + "\n", resultLine("1", both));
    expectRun(shim.finish(60s), "");
  }
}

// ---- Against the stand-in application ------------------------------------------------------

const std::string kProjectsFile = std::string(QUILL_SOURCE_DIR) + "/examples/projects.json";
const std::vector<std::string> kAllProjects = {"Harbor Renovation", "Harbor Analytics",
                                               "Lighthouse Mobile App", "Orchard CRM"};

TEST(ShimToolsCallLaunch, LaunchedApplicationThatStartsWithinTheWindowGivesTheBriefing) {
  Sandbox box;
  auto env = box.environment(std::nullopt);
  env["QUILL_TEST_PEER_BINARY"] = QUILL_PEER_BINARY;
  // The application takes a while to start listening, as a real one would: longer than the first
  // pause, well within the launch-test build's window of two seconds.
  env["QUILL_TEST_PEER_ARGS"] = "--projects " + kProjectsFile + " --delay 1";
  auto result = runShim(
      env,
      initialize("1", "Cursor IDE") + toolsCall("2", R"({"project":"light"})") + toolsList("3"),
      {"--client", "cursor"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, kLaunchOutput);
  EXPECT_EQ(testing::readFile(box.launchLog), std::string(kLaunchLogLine));
  // The briefing, for the client the shim names, and then the application's own list.
  EXPECT_TRUE(result.out.substr(result.out.find('\n') + 1)
                  .starts_with(R"({"id":2,"jsonrpc":"2.0","result":{"content":[{"text":"Quill )"
                               R"(briefing: Lighthouse Mobile App\nAsked by Cursor via Cursor.\n)"))
      << result.out << "\napplication log: " << testing::readFile(box.peerLog).value_or("");
  EXPECT_TRUE(result.out.ends_with(
      R"(This is the first briefing for Cursor on this project; everything above is new to )"
      R"(it.\n","type":"text"}],"isError":false}})"
      "\n" +
      resultLine("3", toolList(kAllProjects))))
      << result.out;
}

}  // namespace
}  // namespace quill
