// End-to-end tests of the shim's tool list and tool calls: the real `quill-mcp` process talks to a
// scripted socket peer or to the stand-in application `quill-peer`, and the tests read its
// standard output, standard error and exit status byte for byte.
//
// `quill-mcp-launch-test` is the same shim whose launcher is Tests/Support/launch-peer: every
// launch is logged in the sandbox's launch log, so "no launch" is checked by that log staying
// absent. The plain `quill-mcp` is only ever run with QUILL_MCP_NO_LAUNCH=1, because its launcher
// is the system's.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "JSONValue.h"
#include "ScriptedPeer.h"
#include "Subprocess.h"

namespace quill {
namespace {

using namespace std::chrono_literals;
using testing::EnvironmentMap;
using testing::ProcessResult;
using testing::ScriptedPeer;
using testing::Subprocess;
using testing::TemporaryDirectory;

// ---- What the agent sees -------------------------------------------------------------------

constexpr std::string_view kAppNotRunning =
    "Quill isn't running — open Quill on this Mac, then try again.";
constexpr std::string_view kDisabled =
    "Agent access is turned off in Quill. Ask the user to enable it in Quill → Settings → Agents.";
constexpr std::string_view kSignedOut =
    "Quill is open but no one is signed in. Ask the user to sign in to Quill first.";
constexpr std::string_view kNoProjects =
    "Quill has no projects yet. Ask the user to create a project in Quill first.";
constexpr std::string_view kInternalError =
    "Quill hit an internal error building the briefing. Try again in a moment.";

constexpr std::string_view kLaunchLine =
    "quill-mcp: app not reachable — launching Quill in the background\n";
// What Tests/Support/launch-peer prints on its standard output.
constexpr std::string_view kLauncherOutput = "launcher output on stdout\n";
#if defined(__APPLE__)
constexpr std::string_view kLaunchLogLine = "launch -g -b app.quill.desktop.test\n";
#else
constexpr std::string_view kLaunchLogLine = "launch app.quill.desktop.test\n";
#endif

// A tool list whose description names `projects` (a text such as "Alpha, Beta"), or none.
std::string toolList(std::string_view projects = "") {
  std::string list =
      R"({"tools":[{"annotations":{"openWorldHint":false,"readOnlyHint":true},)"
      R"("description":"Returns Quill's cited briefing for one of the user's projects: known )"
      R"(facts with sources and match %, uncertain items to verify, hard do-NOT rules, what was )"
      R"(deliberately withheld, and what changed since this client last asked. Call before doing )"
      R"(work on a user's project.)";
  if (!projects.empty()) list += " Current projects: " + std::string(projects) + ".";
  list += R"(","inputSchema":{"properties":{"project":{"description":"Project name as shown in )"
          R"(Quill (fuzzy-matched). Omit if the user has only one project.","type":"string"},)"
          R"("task":{"description":"What you're about to do — selects the most relevant facts. )"
          R"(Optional.","type":"string"}},"required":[],"type":"object"},"name":)"
          R"("get_context_packet","title":"Get Quill context packet"}]})";
  return list;
}

// The shim's own tool list, without project names.
const std::string kFallbackList = toolList();

std::string resultLine(std::string_view id, std::string_view result) {
  return R"({"id":)" + std::string(id) + R"(,"jsonrpc":"2.0","result":)" + std::string(result) +
         "}\n";
}

// A tool result carrying `text` (which must need no JSON escaping) with isError true.
std::string errorTextLine(std::string_view id, std::string_view text) {
  return resultLine(
      id, R"({"content":[{"text":")" + std::string(text) + R"(","type":"text"}],"isError":true})");
}

std::string unknownToolLine(std::string_view id) {
  return R"({"error":{"code":-32602,"message":"Unknown tool"},"id":)" + std::string(id) +
         R"(,"jsonrpc":"2.0"})" + "\n";
}

// ---- What the agent sends ------------------------------------------------------------------

// One message line: the text and its line feed.
std::string line(std::string_view text) {
  return std::string(text) + "\n";
}

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

enum class Binary { plain, launchTest };

// A temporary folder holding the socket, the status file and the launch helper's files, and the
// environment that points the shim at them. Kills any application the launch helper started.
class Sandbox {
 public:
  Sandbox() = default;
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  ~Sandbox() {
    if (auto pid = testing::readFile(peerPidFile)) {
      const int number = std::atoi(pid->c_str());
      if (number > 0) ::kill(number, SIGKILL);
    }
  }

  // `noLaunch` is the value of QUILL_MCP_NO_LAUNCH; absent leaves it unset.
  EnvironmentMap environment(std::optional<std::string> noLaunch = "1") const {
    EnvironmentMap env = testing::currentEnvironment();
    for (auto it = env.begin(); it != env.end();) {
      const bool ours = it->first.starts_with("QUILL_MCP_") || it->first.starts_with("QUILL_TEST_");
      it = ours ? env.erase(it) : std::next(it);
    }
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

std::string binaryPath(Binary binary) {
  return binary == Binary::plain ? QUILL_MCP_BINARY : QUILL_MCP_LAUNCH_TEST_BINARY;
}

// Runs the shim over the whole `input` until it exits at the end of input.
ProcessResult runShim(Binary binary, const EnvironmentMap& env, std::string_view input,
                      std::vector<std::string> extraArguments = {}) {
  if (binary == Binary::plain) {
    // The plain shim's launcher is the system's: it must never get that far.
    auto noLaunch = env.find("QUILL_MCP_NO_LAUNCH");
    if (noLaunch == env.end() || noLaunch->second != "1") {
      ADD_FAILURE() << "the plain shim runs only with QUILL_MCP_NO_LAUNCH=1";
      return {};
    }
  }
  std::vector<std::string> argv{binaryPath(binary)};
  argv.insert(argv.end(), extraArguments.begin(), extraArguments.end());
  return testing::runProcess(argv, env, input, 120s);
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

// ---- tools/list ----------------------------------------------------------------------------

TEST(ShimToolsList, AppNotRunningGivesTheFallbackListWithoutLaunchingOrLogging) {
  struct Case {
    const char* name;
    void (*prepare)(const Sandbox&);
  };
  const Case cases[] = {
      {"no socket file", [](const Sandbox&) {}},
      {"a plain file at the socket path",
       [](const Sandbox& box) { testing::writeFile(box.socket, "not a socket"); }},
      {"a socket nobody listens on",
       [](const Sandbox& box) {
         const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         std::strcpy(address.sun_path, box.socket.c_str());
         ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
         ::close(fd);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    c.prepare(box);
    // A status file saying agent access is off changes nothing: the list never reads it.
    testing::writeFile(box.status, statusJSON(false, false));
    auto result = runShim(Binary::launchTest, box.environment(std::nullopt),
                          toolsList("1") + toolsList("\"two\""));
    expectRun(result, resultLine("1", kFallbackList) + resultLine("\"two\"", kFallbackList));
    box.expectNoLaunch();
  }
}

TEST(ShimToolsList, SocketPathTooLongForAnAddressGivesTheFallbackList) {
  Sandbox box;
  auto env = box.environment(std::nullopt);
  env["QUILL_MCP_SOCKET"] = box.dir.path() + "/" + std::string(120, 'x') + ".sock";
  auto result = runShim(Binary::launchTest, env, toolsList("1"));
  expectRun(result, resultLine("1", kFallbackList));
  box.expectNoLaunch();
}

TEST(ShimToolsList, ApplicationAnswersDecideBetweenForwardingAndTheFallback) {
  using Step = ScriptedPeer::Step;
  using Action = ScriptedPeer::Action;
  struct Case {
    const char* name;
    Step step;
    std::string_view expectedResult;
  };
  const Case cases[] = {
      {"a list is forwarded with every member, written in key order",
       {Action::reply,
        line(
            R"({"v":1,"id":1,"ok":true,"result":{"tools":[{"name":"x","b":2,"a":"p/q"}],"nextCursor":null}})")},
       R"({"nextCursor":null,"tools":[{"a":"p/q","b":2,"name":"x"}]})"},
      {"a \"tools\" member that is not an array is forwarded unchanged",
       {Action::reply, line(R"({"ok":true,"result":{"tools":"none"},"v":1})")},
       R"({"tools":"none"})"},
      {"\"tools\" null is still a member",
       {Action::reply, line(R"({"ok":true,"result":{"tools":null},"v":1})")},
       R"({"tools":null})"},
      {"a response ending in CR LF, followed by more lines",
       {Action::reply, std::string(R"({"ok":true,"result":{"tools":[]},"v":1})") + "\r\ngarbage\n"},
       R"({"tools":[]})"},
      {"a result without \"tools\"",
       {Action::reply, line(R"({"ok":true,"result":{"tool":[]},"v":1})")},
       kFallbackList},
      {"a result that is not an object",
       {Action::reply, line(R"({"ok":true,"result":[{"tools":[]}],"v":1})")},
       kFallbackList},
      {"ok true without a result", {Action::reply, line(R"({"ok":true,"v":1})")}, kFallbackList},
      {"ok false with a list",
       {Action::reply, line(R"({"ok":false,"result":{"tools":[]},"v":1})")},
       kFallbackList},
      {"agent access off",
       {Action::reply,
        line(
            R"({"error":{"code":"disabled","message":"Agent access is off"},"id":1,"ok":false,"v":1})")},
       kFallbackList},
      {"garbage", {Action::reply, "HTTP/1.1 400 Bad Request\r\n\r\n"}, kFallbackList},
      {"an unknown error code",
       {Action::reply,
        line(R"({"error":{"code":"internalError","message":"x"},"ok":false,"v":1})")},
       kFallbackList},
      {"a complete response without its line feed",
       {Action::reply, R"({"ok":true,"result":{"tools":[]},"v":1})"},
       kFallbackList},
      {"closed before answering", {Action::closeAtOnce, ""}, kFallbackList},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    testing::writeFile(box.status, statusJSON(false, false));
    ScriptedPeer peer(box.socket, {c.step});
    auto result = runShim(Binary::launchTest, box.environment(std::nullopt), toolsList("1"));
    peer.stop();
    expectRun(result, resultLine("1", c.expectedResult));
    EXPECT_EQ(peer.connections(), 1);
    box.expectNoLaunch();
  }
}

TEST(ShimToolsList, SilentApplicationGivesTheFallbackListAfterTheListTimeOut) {
  Sandbox box;
  ScriptedPeer peer(box.socket, {{ScriptedPeer::Action::staySilent, ""}});
  auto result = runShim(Binary::plain, box.environment(), toolsList("1"));
  peer.stop();
  expectRun(result, resultLine("1", kFallbackList));
  EXPECT_EQ(peer.requests(), std::vector<std::string>{R"({"id":1,"method":"tools/list","v":1})"});
}

TEST(ShimToolsList, WireRequestCarriesTheClientSlugAndTheNameFromTheLatestInitialize) {
  const std::string list = line(R"({"ok":true,"result":{"tools":[]},"v":1})");
  const std::string input =
      toolsList("1") + initialize("2", "Zed") + toolsList("3") + toolsList("\"a/b\"") +
      // A notification does not change the recorded name.
      line(R"({"jsonrpc":"2.0","method":"initialize","params":{"clientInfo":{"name":"Ghost"}}})") +
      toolsList("4") +
      // An initialize without a client name forgets the one recorded before.
      line(R"({"jsonrpc":"2.0","id":5,"method":"initialize","params":{}})") + toolsList("6");
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> expectedRequests;
  };
  const Case cases[] = {
      {{},
       {R"({"id":1,"method":"tools/list","v":1})",
        R"({"clientName":"Zed","id":3,"method":"tools/list","v":1})",
        R"({"clientName":"Zed","id":"a/b","method":"tools/list","v":1})",
        R"({"clientName":"Zed","id":4,"method":"tools/list","v":1})",
        R"({"id":6,"method":"tools/list","v":1})"}},
      {{"--client", "cursor"},
       {R"({"client":"cursor","id":1,"method":"tools/list","v":1})",
        R"({"client":"cursor","clientName":"Zed","id":3,"method":"tools/list","v":1})",
        R"({"client":"cursor","clientName":"Zed","id":"a/b","method":"tools/list","v":1})",
        R"({"client":"cursor","clientName":"Zed","id":4,"method":"tools/list","v":1})",
        R"({"client":"cursor","id":6,"method":"tools/list","v":1})"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.empty() ? "without --client" : "with --client");
    Sandbox box;
    ScriptedPeer peer(box.socket, list);
    auto result = runShim(Binary::plain, box.environment(), input, c.arguments);
    peer.stop();
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(peer.requests(), c.expectedRequests);
  }
}

// ---- tools/call: the name check ------------------------------------------------------------

TEST(ShimToolsCall, InvalidToolNamesAreRefusedWithoutContactingTheApplication) {
  Sandbox box;
  ScriptedPeer peer(box.socket, line(R"({"ok":true,"result":{},"v":1})"));
  const std::string input =
      // A valid call without an id is a notification: no answer, no connection.
      line(R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"get_context_packet"}})") +
      line(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"other_tool"}})") +
      line(R"({"jsonrpc":"2.0","id":2,"method":"tools/call"})") +
      line(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{}})") +
      line(R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":5}})") +
      line(
          R"({"jsonrpc":"2.0","id":"five","method":"tools/call","params":{"name":"Get_Context_Packet"}})") +
      line(R"({"jsonrpc":"2.0","id":6,"method":"tools/call","params":["get_context_packet"]})") +
      line(
          R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"get_context_packet "}})") +
      line(
          R"({"jsonrpc":"2.0","id":8,"method":"tools/call","params":{"arguments":{"project":"x"}}})") +
      line(R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":null})");
  auto result = runShim(Binary::launchTest, box.environment(std::nullopt), input);
  peer.stop();
  expectRun(result, unknownToolLine("1") + unknownToolLine("2") + unknownToolLine("3") +
                        unknownToolLine("4") + unknownToolLine("\"five\"") + unknownToolLine("6") +
                        unknownToolLine("7") + unknownToolLine("8") + unknownToolLine("9"));
  EXPECT_EQ(peer.connections(), 0);
  box.expectNoLaunch();
}

// ---- tools/call: the request the application receives --------------------------------------

TEST(ShimToolsCall, ArgumentsReachTheApplicationUnchanged) {
  struct Case {
    const char* name;
    std::string params;
    std::string expectedRequest;
  };
  const Case cases[] = {
      {"no arguments: params hold only the name", R"({"name":"get_context_packet"})",
       R"({"id":1,"method":"tools/call","params":{"name":"get_context_packet"},"v":1})"},
      {"null arguments stay null", R"({"name":"get_context_packet","arguments":null})",
       R"({"id":1,"method":"tools/call","params":{"arguments":null,"name":"get_context_packet"},"v":1})"},
      {"nested values, escapes and Unicode; other params members are dropped",
       R"({"arguments":{"task":{"deep":[1,2.5,{"y":false,"x":null}],"empty":{},"path":"a\/b"},)"
       R"("project":"Caf\u00e9 ☕ \"Q\"\n"},"name":"get_context_packet","extra":"dropped"})",
       R"({"id":1,"method":"tools/call","params":{"arguments":{"project":"Café ☕ \"Q\"\n",)"
       R"("task":{"deep":[1,2.5,{"x":null,"y":false}],"empty":{},"path":"a/b"}},)"
       R"("name":"get_context_packet"},"v":1})"},
      {"arguments of any kind", R"({"name":"get_context_packet","arguments":["Orchard",7]})",
       R"({"id":1,"method":"tools/call","params":{"arguments":["Orchard",7],"name":"get_context_packet"},"v":1})"},
      {"unknown argument names", R"({"name":"get_context_packet","arguments":{"projekt":""}})",
       R"({"id":1,"method":"tools/call","params":{"arguments":{"projekt":""},"name":"get_context_packet"},"v":1})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    ScriptedPeer peer(box.socket,
                      line(R"({"ok":true,"result":{"content":[],"isError":false},"v":1})"));
    auto result =
        runShim(Binary::plain, box.environment(),
                R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":)" + c.params + "}\n");
    peer.stop();
    expectRun(result, resultLine("1", R"({"content":[],"isError":false})"));
    EXPECT_EQ(peer.requests(), std::vector<std::string>{c.expectedRequest});
  }
}

TEST(ShimToolsCall, RequestCarriesTheClientSlugNameAndId) {
  Sandbox box;
  ScriptedPeer peer(box.socket,
                    line(R"({"ok":true,"result":{"content":[],"isError":false},"v":1})"));
  auto result = runShim(Binary::plain, box.environment(),
                        initialize("1", "Visual Studio Code") + toolsCall("\"req/2\"", "{}"),
                        {"--client", "x", "--client", "claude-code"});
  peer.stop();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(
      peer.requests(),
      std::vector<std::string>{
          R"({"client":"claude-code","clientName":"Visual Studio Code","id":"req/2",)"
          R"("method":"tools/call","params":{"arguments":{},"name":"get_context_packet"},"v":1})"});
}

// ---- tools/call: what the application answered ---------------------------------------------

TEST(ShimToolsCall, ApplicationAnswersBecomeToolResults) {
  using Step = ScriptedPeer::Step;
  using Action = ScriptedPeer::Action;
  auto failure = [](std::string_view code, std::string_view message) {
    return Step{Action::reply, R"({"error":{"code":")" + std::string(code) + R"(","message":")" +
                                   std::string(message) + R"("},"id":1,"ok":false,"v":1})" + "\n"};
  };
  auto toolText = [](std::string_view text) {
    return R"({"content":[{"text":")" + std::string(text) + R"(","type":"text"}],"isError":true})";
  };
  struct Case {
    const char* name;
    Step step;
    std::string expectedResult;
  };
  const Case cases[] = {
      {"a briefing is forwarded whole",
       {Action::reply,
        line(R"({"ok":true,"result":{"content":[{"type":"text","text":"Brief"}],"isError":false,)"
             R"("_meta":{"k":[null]}},"v":1})")},
       R"({"_meta":{"k":[null]},"content":[{"text":"Brief","type":"text"}],"isError":false})"},
      {"a result of another kind is forwarded too",
       {Action::reply, line(R"({"ok":true,"result":"plain","v":1})")},
       R"("plain")"},
      {"unknownProject with its message", failure("unknownProject", "No such project here."),
       toolText("No such project here.")},
      {"unknownProject with an empty message", failure("unknownProject", ""),
       toolText(kInternalError)},
      {"ambiguousProject with an empty message", failure("ambiguousProject", ""),
       toolText(kInternalError)},
      {"internal with its message", failure("internal", "Index is rebuilding — wait."),
       toolText("Index is rebuilding — wait.")},
      {"internal with an empty message", failure("internal", ""), toolText(kInternalError)},
      {"disabled: the fixed text, not the message", failure("disabled", "off"),
       toolText(kDisabled)},
      {"signedOut: the fixed text", failure("signedOut", "nobody"), toolText(kSignedOut)},
      {"noProjects: the fixed text", failure("noProjects", ""), toolText(kNoProjects)},
      {"ok true without a result",
       {Action::reply, line(R"({"ok":true,"v":1})")},
       toolText(kInternalError)},
      {"ok true with a null result",
       {Action::reply, line(R"({"ok":true,"result":null,"v":1})")},
       toolText(kInternalError)},
      {"ok true without a result but with an error",
       {Action::reply, line(R"({"error":{"code":"signedOut","message":""},"ok":true,"v":1})")},
       toolText(kSignedOut)},
      {"ok false without an error",
       {Action::reply, line(R"({"ok":false,"v":1})")},
       toolText(kInternalError)},
      {"ok false with a result",
       {Action::reply,
        line(
            R"({"error":{"code":"ambiguousProject","message":"Which one?"},"ok":false,"result":{},"v":1})")},
       toolText("Which one?")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    ScriptedPeer peer(box.socket, {c.step});
    auto result = runShim(Binary::plain, box.environment(), toolsCall("1", R"({"project":"P"})"));
    peer.stop();
    expectRun(result, resultLine("1", c.expectedResult));
    EXPECT_EQ(peer.connections(), 1);
  }
}

TEST(ShimToolsCall, BrokenExchangeGivesTheInternalErrorAtOnceWithoutStatusOrLaunch) {
  using Step = ScriptedPeer::Step;
  using Action = ScriptedPeer::Action;
  struct Case {
    const char* name;
    Step step;
  };
  const Case cases[] = {
      {"garbage", {Action::reply, "<html>quill</html>\n"}},
      {"an empty line", {Action::reply, "\n"}},
      {"JSON without ok", {Action::reply, line(R"({"v":1,"result":{}})")}},
      {"an unknown error code",
       {Action::reply, line(R"({"error":{"code":"Disabled","message":""},"ok":false,"v":1})")}},
      {"closed at once", {Action::closeAtOnce, ""}},
      {"closed after half a response", {Action::reply, R"({"ok":true,"res)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    // Were the status file read, the answer would be the disabled text; were the application
    // launched, the launch log would say so.
    testing::writeFile(box.status, statusJSON(false, false));
    ScriptedPeer peer(box.socket, {c.step});
    auto result = runShim(Binary::launchTest, box.environment(std::nullopt),
                          toolsCall("1", "{}") + toolsCall("2", "{}"));
    peer.stop();
    expectRun(result, errorTextLine("1", kInternalError) + errorTextLine("2", kInternalError));
    EXPECT_EQ(peer.connections(), 2);
    box.expectNoLaunch();
  }
}

// ---- tools/call: the application cannot be reached -----------------------------------------

TEST(ShimToolsCall, UnreachableWithLaunchingForbiddenAnswersFromTheStatusFile) {
  struct Case {
    const char* name;
    void (*prepare)(const Sandbox&);
    std::string_view expectedText;
  };
  const Case cases[] = {
      {"no status file", [](const Sandbox&) {}, kAppNotRunning},
      {"agent access off",
       [](const Sandbox& box) { testing::writeFile(box.status, statusJSON(false, true)); },
       kDisabled},
      {"nobody signed in",
       [](const Sandbox& box) { testing::writeFile(box.status, statusJSON(true, false)); },
       kSignedOut},
      {"access off is told before signed out",
       [](const Sandbox& box) { testing::writeFile(box.status, statusJSON(false, false)); },
       kDisabled},
      {"everything on, but not listening",
       [](const Sandbox& box) { testing::writeFile(box.status, statusJSON(true, true)); },
       kAppNotRunning},
      {"extra members are ignored",
       [](const Sandbox& box) {
         testing::writeFile(box.status,
                            R"({"enabled":false,"signedIn":true,"listening":true,"version":"2",)"
                            R"("updatedAt":"","pid":1})");
       },
       kDisabled},
      {"a member missing",
       [](const Sandbox& box) {
         testing::writeFile(box.status,
                            R"({"enabled":false,"signedIn":false,"listening":true,"version":"1"})");
       },
       kAppNotRunning},
      {"a flag written as a string",
       [](const Sandbox& box) {
         testing::writeFile(box.status, R"({"enabled":"false","signedIn":false,"listening":true,)"
                                        R"("version":"1","updatedAt":""})");
       },
       kAppNotRunning},
      {"a text that is null",
       [](const Sandbox& box) {
         testing::writeFile(box.status, R"({"enabled":false,"signedIn":false,"listening":true,)"
                                        R"("version":null,"updatedAt":""})");
       },
       kAppNotRunning},
      {"not JSON", [](const Sandbox& box) { testing::writeFile(box.status, "enabled=false\n"); },
       kAppNotRunning},
      {"an empty file", [](const Sandbox& box) { testing::writeFile(box.status, ""); },
       kAppNotRunning},
      {"a directory", [](const Sandbox& box) { ASSERT_EQ(::mkdir(box.status.c_str(), 0700), 0); },
       kAppNotRunning},
      {"a FIFO nobody writes to",
       [](const Sandbox& box) { ASSERT_EQ(::mkfifo(box.status.c_str(), 0600), 0); },
       kAppNotRunning},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    c.prepare(box);
    auto result = runShim(Binary::launchTest, box.environment("1"),
                          toolsCall("1", "{}") + toolsCall("2", R"({"project":"x"})"));
    expectRun(result, errorTextLine("1", c.expectedText) + errorTextLine("2", c.expectedText));
    box.expectNoLaunch();
  }
}

TEST(ShimToolsCall, StatusFileThatExplainsTheOutageStopsTheLaunch) {
  struct Case {
    std::string status;
    std::string_view expectedText;
  };
  const Case cases[] = {{statusJSON(false, true), kDisabled},
                        {statusJSON(true, false), kSignedOut}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    Sandbox box;
    testing::writeFile(box.status, c.status);
    auto result = runShim(Binary::launchTest, box.environment(std::nullopt), toolsCall("1", "{}"));
    expectRun(result, errorTextLine("1", c.expectedText));
    box.expectNoLaunch();
  }
}

// Slow: two full retry windows of about ten seconds each.
TEST(ShimToolsCallLaunch, FirstUnreachableCallLaunchesOnceAndEveryCallWaitsTheWindow) {
  Sandbox box;
  // "0" does not forbid launching; only "1" does.
  auto result = runShim(Binary::launchTest, box.environment("0"),
                        toolsCall("1", "{}") + toolsCall("2", R"({"project":"Orchard CRM"})"));
  // One log line and one launch for the process; the launcher's own output goes to standard
  // error, never among the answers.
  expectRun(result, errorTextLine("1", kAppNotRunning) + errorTextLine("2", kAppNotRunning),
            std::string(kLaunchLine) + std::string(kLauncherOutput));
  EXPECT_EQ(testing::readFile(box.launchLog), std::string(kLaunchLogLine));
}

// Slow: one full retry window.
TEST(ShimToolsCallLaunch, StatusIsReadAgainWhenTheWindowCloses) {
  Sandbox box;
  // Not a complete status record, so it does not stop the launch although it says "off".
  testing::writeFile(box.status, R"({"enabled":false,"signedIn":true,"listening":false})");
  // Any value but "1" allows the launch.
  Subprocess shim({QUILL_MCP_LAUNCH_TEST_BINARY}, box.environment("true"));
  ASSERT_TRUE(shim.write(toolsCall("1", "{}")));
  waitForError(shim, kLaunchLine);
  // The first status read lies behind: the application now reports that access is off.
  replaceFile(box.status, statusJSON(false, true));
  auto result = shim.finish(120s);
  expectRun(result, errorTextLine("1", kDisabled),
            std::string(kLaunchLine) + std::string(kLauncherOutput));
  EXPECT_EQ(testing::readFile(box.launchLog), std::string(kLaunchLogLine));
}

TEST(ShimToolsCallLaunch, ApplicationThatStartsListeningDuringTheWindowAnswers) {
  Sandbox box;
  Subprocess shim({QUILL_MCP_LAUNCH_TEST_BINARY}, box.environment(std::nullopt));
  ASSERT_TRUE(shim.write(toolsCall("1", R"({"task":"t"})")));
  waitForError(shim, kLaunchLine);
  ScriptedPeer peer(box.socket,
                    line(R"({"ok":true,"result":{"content":[{"text":"Hi","type":"text"}],)"
                         R"("isError":false},"v":1})"));
  auto first = shim.readLine(60s);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first + "\n",
            resultLine("1", R"({"content":[{"text":"Hi","type":"text"}],"isError":false})"));
  // Now reachable: answered on the first attempt, no second launch.
  ASSERT_TRUE(shim.write(toolsCall("2", "{}")));
  auto result = shim.finish(120s);
  peer.stop();
  expectRun(result, resultLine("2", R"({"content":[{"text":"Hi","type":"text"}],"isError":false})"),
            std::string(kLaunchLine) + std::string(kLauncherOutput));
  EXPECT_EQ(testing::readFile(box.launchLog), std::string(kLaunchLogLine));
  EXPECT_EQ(
      peer.requests(),
      (std::vector<std::string>{
          R"({"id":1,"method":"tools/call","params":{"arguments":{"task":"t"},"name":"get_context_packet"},"v":1})",
          R"({"id":2,"method":"tools/call","params":{"arguments":{},"name":"get_context_packet"},"v":1})"}));
}

// ---- Against the stand-in application ------------------------------------------------------

const std::string kProjectsFile = std::string(QUILL_SOURCE_DIR) + "/examples/projects.json";
constexpr std::string_view kAllProjects =
    "Harbor Renovation, Harbor Analytics, Lighthouse Mobile App, Orchard CRM";

// quill-peer listening at the sandbox's socket and keeping its status file.
class Peer {
 public:
  Peer(const Sandbox& box, std::vector<std::string> options) {
    std::vector<std::string> argv{QUILL_PEER_BINARY};
    argv.insert(argv.end(), options.begin(), options.end());
    process_.emplace(argv, box.environment());
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  ~Peer() { stop(); }

  void waitUntilListening() { waitForError(*process_, "quill-peer: listening on "); }

  // Stops it the way the system stops an application; it leaves its status file behind.
  void stop() {
    if (!process_) return;
    process_->signal(SIGTERM);
    auto result = process_->finish(60s);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    process_.reset();
  }

 private:
  std::optional<Subprocess> process_;
};

TEST(ShimWithPeer, ToolListComesFromTheApplication) {
  struct Case {
    std::vector<std::string> options;
    std::string expectedResult;
  };
  const Case cases[] = {
      {{"--projects", kProjectsFile}, toolList(kAllProjects)},
      {{}, kFallbackList},  // no projects: the application's list names none
      // An application refusing the list leaves the agent with the shim's own list.
      {{"--projects", kProjectsFile, "--disabled"}, kFallbackList},
      {{"--projects", kProjectsFile, "--signed-out"}, kFallbackList},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options.size());
    Sandbox box;
    Peer peer(box, c.options);
    ASSERT_NO_FATAL_FAILURE(peer.waitUntilListening());
    auto result = runShim(Binary::plain, box.environment(), toolsList("1"));
    expectRun(result, resultLine("1", c.expectedResult));
  }
}

TEST(ShimWithPeer, BriefingIsReturnedAsTheToolResult) {
  Sandbox box;
  Peer peer(box, {"--projects", kProjectsFile});
  ASSERT_NO_FATAL_FAILURE(peer.waitUntilListening());
  auto result = runShim(Binary::plain, box.environment(),
                        initialize("1", "Cursor IDE") + toolsCall("2", R"({"project":"orchard"})"),
                        {"--client", "cursor"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  const auto newline = result.out.find('\n');
  ASSERT_NE(newline, std::string::npos);
  const std::string answer = result.out.substr(newline + 1);
  ASSERT_TRUE(answer.ends_with("}\n")) << answer;
  EXPECT_EQ(answer.find('\n'), answer.size() - 1) << "one answer line";

  auto decoded = JSONValue::decode(answer);
  ASSERT_TRUE(std::holds_alternative<JSONValue>(decoded)) << answer;
  const JSONValue& response = std::get<JSONValue>(decoded);
  EXPECT_EQ(response["id"], JSONValue(2));
  auto toolResult = response["result"];
  ASSERT_TRUE(toolResult) << answer;
  EXPECT_EQ((*toolResult)["isError"], JSONValue(false));
  auto text = (*toolResult)["content"].value_or(JSONValue())[0].value_or(JSONValue())["text"];
  ASSERT_TRUE(text && text->stringValue()) << answer;
  const std::string_view briefing = *text->stringValue();
  EXPECT_TRUE(briefing.starts_with("Quill briefing: Orchard CRM\nAsked by Cursor via Cursor.\n"))
      << briefing;
  EXPECT_TRUE(briefing.ends_with(
      "This is the first briefing for Cursor on this project; everything above is new to it.\n"))
      << briefing;
}

TEST(ShimWithPeer, ApplicationErrorsReachTheAgentAsTexts) {
  struct Case {
    std::vector<std::string> options;
    std::string arguments;
    std::string expectedText;  // as written inside a JSON string
  };
  const Case cases[] = {
      {{"--projects", kProjectsFile},
       R"({"project":"Harbor"})",
       "The user has several Quill projects: Harbor Renovation, Harbor Analytics. Ask the user "
       "which one they mean, then retry with that name."},
      {{"--projects", kProjectsFile},
       "{}",
       "The user has several Quill projects: " + std::string(kAllProjects) +
           ". Ask the user which one they mean, then retry with that name."},
      {{"--projects", kProjectsFile},
       R"({"project":"Atlantis","task":"x"})",
       R"(No Quill project matches \"Atlantis\". The user's projects are: )" +
           std::string(kAllProjects) + ". Retry with one of those names."},
      {{"--projects", kProjectsFile, "--disabled"},
       R"({"project":"Orchard CRM"})",
       std::string(kDisabled)},
      {{"--projects", kProjectsFile, "--signed-out"},
       R"({"project":"Orchard CRM"})",
       std::string(kSignedOut)},
      {{}, R"({"project":"Orchard CRM"})", std::string(kNoProjects)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments + " " + std::to_string(c.options.size()));
    Sandbox box;
    Peer peer(box, c.options);
    ASSERT_NO_FATAL_FAILURE(peer.waitUntilListening());
    auto result = runShim(Binary::plain, box.environment(), toolsCall("1", c.arguments));
    expectRun(result, errorTextLine("1", c.expectedText));
  }
}

TEST(ShimWithPeer, ApplicationQuitWithAccessOffIsExplainedWithoutALaunch) {
  Sandbox box;
  {
    Peer peer(box, {"--projects", kProjectsFile, "--disabled"});
    ASSERT_NO_FATAL_FAILURE(peer.waitUntilListening());
  }
  auto result = runShim(Binary::launchTest, box.environment(std::nullopt),
                        toolsList("1") + toolsCall("2", "{}"));
  expectRun(result, resultLine("1", kFallbackList) + errorTextLine("2", kDisabled));
  box.expectNoLaunch();
}

TEST(ShimToolsCallLaunch, LaunchedApplicationThatStartsWithinTheWindowGivesTheBriefing) {
  Sandbox box;
  auto env = box.environment(std::nullopt);
  env["QUILL_TEST_PEER_BINARY"] = QUILL_PEER_BINARY;
  // The application takes a while to start listening, as a real one would.
  env["QUILL_TEST_PEER_ARGS"] = "--projects " + kProjectsFile + " --delay 2";
  auto result = runShim(Binary::launchTest, env,
                        toolsCall("1", R"({"project":"Lighthouse"})") + toolsList("2"));
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, std::string(kLaunchLine) + std::string(kLauncherOutput));
  EXPECT_EQ(testing::readFile(box.launchLog), std::string(kLaunchLogLine));
  EXPECT_TRUE(result.out.starts_with(
      R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"Quill briefing: Lighthouse Mobile App\n)"))
      << result.out << "\napplication log: " << testing::readFile(box.peerLog).value_or("");
  EXPECT_TRUE(result.out.ends_with(R"(","type":"text"}],"isError":false}})"
                                   "\n" +
                                   resultLine("2", toolList(kAllProjects))))
      << result.out;
}

}  // namespace
}  // namespace quill
