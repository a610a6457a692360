// quill-mcp-doctor driven from outside: started against quill-peer, a scripted peer, or whatever
// lies at the socket path, with its exit status, the key lines of its report and its --json
// output read back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "FileDescriptor.h"
#include "JSONValue.h"
#include "LineFraming.h"
#include "MCPErrors.h"
#include "MCPStatus.h"
#include "QuillPeerProcess.h"
#include "SocketPeer.h"
#include "Subprocess.h"
#include "ToolDefinition.h"

namespace quill {
namespace {

using namespace std::chrono_literals;
using testing::leaveStaleSocket;
using testing::ProcessResult;
using testing::TemporaryDirectory;

struct Report {
  ProcessResult text;
  JSONValue json;  // null when --json gave no JSON
};

// The environment of a user whose Quill uses `socket` and `status`, and whose home folder is
// `home` (by default an empty one: no client has registered anything).
testing::EnvironmentMap environmentFor(const std::string& socket, const std::string& status,
                                       const std::string& home = {}) {
  static const TemporaryDirectory emptyHome;
  auto environment = testing::currentEnvironment();
  environment.erase("QUILL_MCP_NO_LAUNCH");
  environment.erase("XDG_CONFIG_HOME");
  environment["QUILL_MCP_SOCKET"] = socket;
  environment["QUILL_MCP_STATUS"] = status;
  environment["HOME"] = home.empty() ? emptyHome.path() : home;
  return environment;
}

// Runs the doctor twice with the same options: for its text, and for its --json report.
Report runDoctor(const testing::EnvironmentMap& environment,
                 std::vector<std::string> options = {}) {
  std::vector<std::string> argv{QUILL_MCP_DOCTOR_BINARY};
  argv.insert(argv.end(), options.begin(), options.end());
  Report report{testing::runProcess(argv, environment, ""), JSONValue()};
  argv.push_back("--json");
  const ProcessResult json = testing::runProcess(argv, environment, "");
  EXPECT_EQ(json.exitStatus, report.text.exitStatus);
  EXPECT_TRUE(json.out.ends_with("\n"));
  if (auto decoded = JSONValue::decode(json.out); auto* value = std::get_if<JSONValue>(&decoded)) {
    report.json = *value;
  } else {
    ADD_FAILURE() << "not JSON: " << json.out;
  }
  return report;
}

JSONValue at(const JSONValue& value, std::initializer_list<std::string_view> keys) {
  JSONValue found = value;
  for (std::string_view key : keys) found = found[key].value_or(JSONValue("<missing>"));
  return found;
}

void expectLines(const std::string& text, std::initializer_list<std::string> lines) {
  for (const std::string& line : lines) {
    EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << "no line: " << line << "\n"
                                                                << text;
  }
}

// quill-peer serving two projects on its own socket and status file until destroyed.
class PeerProcess {
 public:
  PeerProcess(const std::string& socket, const std::string& status,
              std::vector<std::string> options) {
    const std::string projects = directory_.file("projects.json");
    testing::writeFile(projects, R"({"projects":[{"name":"Atlas","facts":[]},
                                                 {"name":"Zephyr Labs","facts":[]}]})");
    options.insert(options.begin(),
                   {"--socket", socket, "--status", status, "--projects", projects});
    testing::startListeningPeer(process_, std::move(options), status);
  }
  ~PeerProcess() { testing::stopPeer(*process_); }

 private:
  TemporaryDirectory directory_;
  std::optional<testing::Subprocess> process_;
};

std::string shimPath() {
  char resolved[PATH_MAX];
  return ::realpath(QUILL_MCP_BINARY, resolved) ? resolved : QUILL_MCP_BINARY;
}

TEST(QuillMCPDoctorTests, ReportsWhatQuillAnswersToAToolList) {
  const struct {
    std::vector<std::string> peerOptions;
    int exitStatus;
    std::vector<std::string> lines;
    JSONValue quillError;
  } cases[] = {
      {{},
       0,
       {"  a tool list came back",
        "  get_context_packet: " +
            ToolDefinition::getContextPacket({"Atlas", "Zephyr Labs"}).description,
        "  enabled: true (agent access is on)",
        "Verdict: Quill answers. First, register quill-mcp with your client; for Claude Code: "
        "claude mcp add --scope user quill -e QUILL_MCP_SOCKET=<socket> -e "
        "QUILL_MCP_STATUS=<status> -- " +
            shimPath() + " --client claude-code."},
       JSONValue()},
      {{"--disabled"},
       1,
       {"  enabled: false (agent access is off)", "  Quill is running but refused the tool list.",
        "Verdict: an agent cannot reach Quill. First, turn on agent access in Quill → Settings → "
        "Agents."},
       "disabled"},
      {{"--signed-out"},
       1,
       {"  signedIn: false (nobody is signed in)",
        "  Quill answered \"signedOut\": " + std::string(MCPErrors::signedOut),
        "Verdict: an agent cannot reach Quill. First, sign in to Quill."},
       "signedOut"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.peerOptions.empty() ? "reachable" : c.peerOptions[0]);
    TemporaryDirectory directory;
    const std::string socket = directory.file("s"), status = directory.file("status.json");
    PeerProcess peer(socket, status, c.peerOptions);
    const Report report = runDoctor(environmentFor(socket, status));
    EXPECT_EQ(report.text.exitStatus, c.exitStatus);
    EXPECT_EQ(report.text.err, "");
    expectLines(report.text.out, {"  path: " + socket, "  from: QUILL_MCP_SOCKET",
                                  "  path: " + status, "  from: QUILL_MCP_STATUS"});
    for (std::string line : c.lines) {
      for (const auto& [name, path] : {std::pair{"<socket>", socket}, {"<status>", status}}) {
        if (const auto at = line.find(name); at != std::string::npos) line.replace(at, 8, path);
      }
      expectLines(report.text.out, {line});
    }
    EXPECT_EQ(report.json["toolList"], JSONValue(c.exitStatus == 0));
    EXPECT_EQ(at(report.json, {"connection", "quillError", "code"}),
              c.quillError.isNull() ? JSONValue("<missing>") : c.quillError);
    EXPECT_EQ(at(report.json, {"socket", "kind"}), JSONValue("socket"));
    EXPECT_EQ(at(report.json, {"status", "record", "listening"}), JSONValue(true));
    if (c.exitStatus == 0) {
      EXPECT_EQ(at(report.json, {"connection", "tools"}),
                ToolDefinition::listResult({"Atlas", "Zephyr Labs"})["tools"]);
    }
  }
}

// The lines carry the overrides in force, so that the registered quill-mcp finds the same Quill.
TEST(QuillMCPDoctorTests, PrintsTheExactRegistrationOfTheQuillMCPBesideIt) {
  TemporaryDirectory directory;
  const std::string shim = shimPath(), socket = directory.file("s"), status = directory.file("st");
  const std::string env =
      R"("env":{"QUILL_MCP_SOCKET":")" + socket + R"(","QUILL_MCP_STATUS":")" + status + "\"}";
  for (bool overrides : {false, true}) {
    SCOPED_TRACE(overrides ? "with overrides" : "without");
    auto environment = overrides ? environmentFor(socket, status) : environmentFor("", "");
    const Report report = runDoctor(environment);
    const std::string more = overrides ? "," + env : "";
    const std::string options =
        overrides ? " -e QUILL_MCP_SOCKET=" + socket + " -e QUILL_MCP_STATUS=" + status : "";
    expectLines(report.text.out,
                {"Registration of " + shim,
                 "    \"quill\": {\"args\":[\"--client\",\"claude-desktop\"],\"command\":\"" +
                     shim + "\"" + more + "}",
                 "    claude mcp add --scope user quill" + options + " -- " + shim +
                     " --client claude-code",
                 "    \"quill\": {\"args\":[\"--client\",\"cursor\"],\"command\":\"" + shim + "\"" +
                     more + "}",
                 "    \"quill\": {\"args\":[],\"command\":\"" + shim + "\"" + more +
                     ",\"type\":\"stdio\"}"});
    EXPECT_EQ(at(report.json, {"registration", "shim"}), JSONValue(shim));
    EXPECT_EQ(at(report.json, {"registration", "problem"}), JSONValue());
    EXPECT_EQ(at(report.json, {"registration", "cursor", "command"}), JSONValue(shim));
  }
}

// The clients' own files: which quill-mcp each starts, and whether it is there and answers.
TEST(QuillMCPDoctorTests, ChecksTheRegistrationsInTheClientsFiles) {
  TemporaryDirectory home;
  ::mkdir(home.file(".cursor").c_str(), 0700);
  ::mkdir(home.file(".codeium").c_str(), 0700);
  ::mkdir(home.file(".codeium/windsurf").c_str(), 0700);
  const std::string claude = home.file(".claude.json"), cursor = home.file(".cursor/mcp.json");
  const std::string windsurf = home.file(".codeium/windsurf/mcp_config.json");
  testing::writeFile(claude,
                     R"({"mcpServers":{"quill":{"type":"stdio","command":"/nowhere/quill-mcp",)"
                     R"("args":["--client","claude-code"],"env":{"QUILL_MCP_NO_LAUNCH":"1"}},)"
                     R"("other":{"command":"/bin/true"}}})");
  testing::writeFile(cursor, R"({"mcpServers":{"q":{"command":")" + shimPath() +
                                 R"(","args":["--client","cursor"]}}})");
  testing::writeFile(windsurf, "{not json");
  TemporaryDirectory directory;
  const std::string socket = directory.file("s"), status = directory.file("status.json");
  PeerProcess peer(socket, status, {});
  const Report report = runDoctor(environmentFor(socket, status, home.path()));
  EXPECT_EQ(report.text.exitStatus, 0);
  expectLines(report.text.out,
              {"  Claude Code (user), \"quill\" in " + claude + ":",
               "    command: /nowhere/quill-mcp", "    --client claude-code",
               "    env: QUILL_MCP_NO_LAUNCH=1", "    warning: /nowhere/quill-mcp does not exist.",
               "  Cursor (user), \"q\" in " + cursor + ":", "    command: " + shimPath(),
               "    answers as quill-mcp 1.0, as this program is",
               "Verdict: Quill answers. First, fix the path in " + claude +
                   ": /nowhere/quill-mcp does not exist."});
  EXPECT_NE(report.text.out.find("  Windsurf: " + windsurf + " is not JSON: "), std::string::npos)
      << report.text.out;
  const JSONValue registered = report.json["registered"].value_or(JSONValue());
  ASSERT_EQ(registered.arrayValue() ? registered.arrayValue()->size() : 0u, 2u);
  const JSONValue::Array& entries = *registered.arrayValue();
  EXPECT_EQ(entries[0],
            JSONValue::object({{"client", "Claude Code"},
                               {"scope", "user"},
                               {"file", claude},
                               {"name", "quill"},
                               {"command", "/nowhere/quill-mcp"},
                               {"commandProblem", "/nowhere/quill-mcp does not exist"},
                               {"slug", "claude-code"},
                               {"environment", JSONValue::object({{"QUILL_MCP_NO_LAUNCH", "1"}})},
                               {"version", JSONValue()},
                               {"problem", JSONValue()}}));
  EXPECT_EQ(at(entries[1], {"version"}), JSONValue("1.0"));
  EXPECT_EQ(at(entries[1], {"commandProblem"}), JSONValue());
  const JSONValue unusable = at(report.json, {"unusableFiles"});
  ASSERT_TRUE(unusable.arrayValue() && !unusable.arrayValue()->empty());
  EXPECT_EQ(at(unusable.arrayValue()->front(), {"file"}), JSONValue(windsurf));
  EXPECT_EQ(at(report.json, {"verdict", "action"}), JSONValue("fixPath"));

  // Once the path is right, nothing is left to do.
  testing::writeFile(claude, "{}");
  ::unlink(windsurf.c_str());
  const Report fixed = runDoctor(environmentFor(socket, status, home.path()));
  expectLines(fixed.text.out, {"Verdict: an agent can reach Quill."});
  EXPECT_EQ(at(fixed.json, {"verdict", "action"}), JSONValue("none"));
}

TEST(QuillMCPDoctorTests, SaysWhyNothingAnswersAtTheSocketPath) {
  const struct {
    std::string_view name;
    void (*prepare)(const std::string& socket);
    std::string kind;
    std::vector<std::string> lines;
  } cases[] = {
      {"nothing",
       [](const std::string&) {},
       "none",
       {"  warning: Nothing is there: Quill is not running, or it listens elsewhere.",
        "  reason: ENOENT"}},
      {"stale socket",
       leaveStaleSocket,
       "socket",
       {"  reason: ECONNREFUSED",
        "  Nobody listens there: a socket file left behind by a Quill that stopped, or a file "
        "that is not a socket."}},
      {"regular file",
       [](const std::string& path) { testing::writeFile(path, "x"); },
       "file",
       {"  warning: It is a file, not a socket: Quill cannot listen there."}},
      {"a FIFO",
       [](const std::string& path) { ::mkfifo(path.c_str(), 0600); },
       "FIFO",
       {"  warning: It is a FIFO, not a socket: Quill cannot listen there."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TemporaryDirectory directory;
    const std::string socket = directory.file("s");
    c.prepare(socket);
    const Report report = runDoctor(environmentFor(socket, directory.file("status.json")));
    EXPECT_EQ(report.text.exitStatus, 1);
    expectLines(report.text.out,
                {"  failure: connect", "  not read: There is no file at this path.",
                 c.kind == "file" || c.kind == "FIFO"
                     ? "Verdict: an agent cannot reach Quill. First, give quill-mcp a socket path "
                       "where Quill of this user can listen (see Socket above)."
                     : "Verdict: an agent cannot reach Quill. First, open Quill."});
    for (const std::string& line : c.lines) expectLines(report.text.out, {line});
    EXPECT_EQ(report.json["toolList"], JSONValue(false));
    EXPECT_EQ(at(report.json, {"socket", "kind"}), JSONValue(c.kind));
    EXPECT_EQ(at(report.json, {"connection", "failure"}), JSONValue("connect"));
    EXPECT_EQ(at(report.json, {"connection", "projects"}), JSONValue());
  }
}

// Followed as quill-mcp follows it: a link to a socket is the socket.
TEST(QuillMCPDoctorTests, ALinkToALiveSocketIsFollowed) {
  TemporaryDirectory directory;
  const std::string socket = directory.file("s"), link = directory.file("link");
  PeerProcess peer(socket, directory.file("status.json"), {});
  ASSERT_EQ(::symlink(socket.c_str(), link.c_str()), 0);
  const Report report = runDoctor(environmentFor(link, directory.file("status.json")));
  EXPECT_EQ(report.text.exitStatus, 0);
  EXPECT_EQ(at(report.json, {"socket", "kind"}), JSONValue("socket"));
  EXPECT_EQ(at(report.json, {"socket", "warnings"}), JSONValue::array({}));
}

// A Quill that listens but takes no connection is busy or stuck, not gone: it holds its lock.
TEST(QuillMCPDoctorTests, TellsABusyQuillFromOneThatHasGone) {
  TemporaryDirectory directory;
  const std::string socket = directory.file("s"), status = directory.file("status.json");
  std::optional<testing::Subprocess> peer;
  testing::startListeningPeer(peer, {"--socket", socket, "--status", status}, status);
  peer->signal(SIGSTOP);
  const auto queued = testing::fillListenQueue(socket);
  const ProcessResult text =
      testing::runProcess({QUILL_MCP_DOCTOR_BINARY}, environmentFor(socket, status), "");
  peer->signal(SIGCONT);
  testing::stopPeer(*peer);
  EXPECT_EQ(text.exitStatus, 1);
#if defined(__linux__)
  expectLines(text.out,
              {"  failure: timeout", "  reason: ETIMEDOUT",
               "  Quill did not take the connection within 5 seconds: it is busy or stuck."});
#else
  expectLines(text.out, {"  reason: ECONNREFUSED", "  Quill runs (it holds " + socket +
                                                       ".lock) but turns the connection away: it "
                                                       "is busy or stuck."});
#endif
  expectLines(text.out,
              {"Verdict: an agent cannot reach Quill. First, quit Quill and open it again."});
}

// A folder on the way that this user may not read: nothing more can be said.
TEST(QuillMCPDoctorTests, AFolderItMayNotReadCannotBeExamined) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder";
  TemporaryDirectory directory;
  ASSERT_EQ(::mkdir(directory.file("closed").c_str(), 0), 0);
  const Report report =
      runDoctor(environmentFor(directory.file("closed/s"), directory.file("status.json")));
  EXPECT_EQ(report.text.exitStatus, 1);
  expectLines(report.text.out, {"  warning: It cannot be examined: Permission denied."});
  EXPECT_EQ(report.text.out.find("Nothing is there"), std::string::npos) << report.text.out;
}

TEST(QuillMCPDoctorTests, WarnsOfASocketOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  TemporaryDirectory directory;
  const std::string socket = directory.file("s"), status = directory.file("status.json");
  PeerProcess peer(socket, status, {});
  ASSERT_EQ(::chown(socket.c_str(), 65534, 65534), 0);
  const Report report = runDoctor(environmentFor(socket, status));
  // Root may connect to anybody's socket; another user would be refused (EACCES).
  EXPECT_EQ(report.text.exitStatus, 0);
  expectLines(report.text.out, {"  warning: It belongs to another user (uid 65534): a Quill of "
                                "another account, or a leftover of one."});
  EXPECT_EQ(at(report.json, {"socket", "foreignOwner"}), JSONValue(65534));
  EXPECT_EQ(at(report.json, {"status", "foreignOwner"}), JSONValue());
}

// quill-mcp would not talk to it, and the doctor says why.
TEST(QuillMCPDoctorTests, SaysWhenTheListenerRunsAsAnotherUser) {
  if (!testing::ForeignListener::canRunAsAnotherUser()) GTEST_SKIP() << "needs root";
  TemporaryDirectory directory;
  const std::string socket = directory.file("s");
  testing::ForeignListener listener(socket, 65534);
  const Report report = runDoctor(environmentFor(socket, directory.file("status.json")));
  EXPECT_EQ(report.text.exitStatus, 1);
  expectLines(report.text.out, {"  failure: connect", "  reason: another user",
                                "  The listener there runs as another user (uid 65534): "
                                "quill-mcp talks only to a Quill of its own user."});
  EXPECT_EQ(listener.received(), "");
}

TEST(QuillMCPDoctorTests, NamesTheFailedStepWhenQuillAnswersBadly) {
  const struct {
    testing::PeerScript script;
    JSONValue failure;
    std::string line;
  } cases[] = {
      {testing::PeerScripts::replyAndClose(""), "io",
       "  The connection stood, but Quill closed it before answering."},
      {testing::PeerScripts::replyAndClose(std::string(LineFraming::maxLineBytes + 3 * 65536, 'x') +
                                           "\n"),
       "io", "  Quill answered with a line longer than the 16 MiB that quill-mcp reads."},
      {testing::PeerScripts::reply("not json\n"), "decode",
       "  Quill answered with a line that is not a response of its protocol."},
      {testing::PeerScripts::reply("{\"v\":1,\"id\":1,\"ok\":true,\"result\":{}}\n"), JSONValue(),
       "  Quill answered, but not with a tool list that a client accepts."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    TemporaryDirectory directory;
    testing::SocketPeer peer(directory.file("s"), c.script);
    const Report report =
        runDoctor(environmentFor(peer.path(), directory.file("st")), {"--client", "cursor"});
    peer.stop();
    EXPECT_EQ(report.text.exitStatus, 1);
    expectLines(report.text.out, {c.line});
    EXPECT_EQ(at(report.json, {"connection", "failure"}), c.failure);
    // Asked exactly as quill-mcp asks, with the client's slug.
    const auto transcripts = peer.transcripts();
    ASSERT_EQ(transcripts.size(), 2u);
    EXPECT_EQ(transcripts[0],
              "{\"client\":\"cursor\",\"id\":1,\"method\":\"tools/list\",\"v\":1}\n");
  }
}

TEST(QuillMCPDoctorTests, WarnsOfPathsThatCannotWork) {
  TemporaryDirectory directory;
  const std::string longPath = directory.path() + "/" + std::string(120, 'x');
  const struct {
    std::string socket;
    std::string line;
  } cases[] = {
      {"~/quill.sock",
       "  warning: It starts with \"~\", which nobody expands here: it names a folder called "
       "\"~\" in the working directory. Write the full path."},
      {"quill.sock",
       "  warning: It is relative: it depends on the working directory of whatever starts "
       "quill-mcp. Write the full path."},
      {longPath, "  warning: It is " + std::to_string(longPath.size()) +
                     " bytes long; a socket path may have at most 103."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.socket);
    const Report report = runDoctor(environmentFor(c.socket, directory.file("st")));
    EXPECT_EQ(report.text.exitStatus, 1);
    expectLines(report.text.out, {"  path: " + c.socket, c.line});
  }
}

TEST(QuillMCPDoctorTests, TellsWhereTheDefaultSocketPathComesFrom) {
  TemporaryDirectory directory;
  const std::string longHome = directory.path() + "/" + std::string(100, 'h');
  const struct {
    std::string home;
    std::string path;
    std::string from;
  } cases[] = {
    {directory.path(), "", "  from: the default in Quill's support folder"},
#if defined(__APPLE__)
    {longHome, directory.file("quill-mcp.sock"),
#else
    {longHome, directory.file("quill-mcp-" + std::to_string(::geteuid()) + ".sock"),
#endif
     "  from: the temporary folder, as the path in Quill's support folder would be longer "
     "than 103 bytes"},
  };
  for (const auto& c : cases) {
    auto environment = environmentFor("", "");
    environment["HOME"] = c.home;
    environment["TMPDIR"] = directory.path();
    environment.erase("XDG_DATA_HOME");
    const Report report = runDoctor(environment);
    expectLines(report.text.out, {c.from});
    if (!c.path.empty()) expectLines(report.text.out, {"  path: " + c.path});
  }
#if !defined(__APPLE__)
  // Without TMPDIR the user's runtime folder holds the socket, unless others may write there.
  const std::string open = directory.file("run");
  ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(open.c_str(), 01777), 0);
  auto environment = environmentFor("", "", longHome);
  environment.erase("TMPDIR");
  environment.erase("XDG_DATA_HOME");
  environment["XDG_RUNTIME_DIR"] = open;
  const Report report = runDoctor(environment);
  expectLines(report.text.out,
              {"  path: /tmp/quill-mcp-" + std::to_string(::geteuid()) + ".sock",
               "  not in the user's runtime folder: XDG_RUNTIME_DIR is writable by others"});
  EXPECT_EQ(at(report.json, {"socket", "source"}), JSONValue("temporaryFolder"));
#endif
}

TEST(QuillMCPDoctorTests, ReadsTheStatusFileWithItsAge) {
  const struct {
    std::string updatedAt;
    std::string age;
  } cases[] = {
      {"2000-01-01T00:00:00Z", "days ago"},
      {"2000-01-01T01:00:00.250+01:00", "days ago"},
      {"2999-01-01T00:00:00Z", "in the future: the clocks disagree"},
      {"yesterday", "not a time this program reads"},
      {"9999-99-99T99:99:99Z", "not a time this program reads"},
      {"2023-02-29T00:00:00Z", "not a time this program reads"},
  };
  std::optional<JSONValue> firstAge;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.updatedAt);
    TemporaryDirectory directory;
    const std::string status = directory.file("status.json");
    testing::writeFile(status,
                       "{\"enabled\":true,\"signedIn\":false,\"listening\":true,"
                       "\"version\":\"2.1\",\"updatedAt\":\"" +
                           c.updatedAt + "\"}");
    leaveStaleSocket(directory.file("s"));
    auto environment = environmentFor(directory.file("s"), status);
    environment["QUILL_MCP_NO_LAUNCH"] = "1";
    const Report report = runDoctor(environment);
    EXPECT_EQ(report.text.exitStatus, 1);
    const std::string text = report.text.out;
    expectLines(text,
                {"  signedIn: false (nobody is signed in)", "  version: 2.1",
                 "  warning: It says Quill listens, but nobody does at the socket path: the "
                 "file is stale, or Quill and quill-mcp use different paths.",
                 "  QUILL_MCP_NO_LAUNCH: 1: quill-mcp never starts Quill; start it yourself"});
    const std::string ageLine = "  updatedAt: " + c.updatedAt + " (";
    const auto where = text.find(ageLine);
    ASSERT_NE(where, std::string::npos) << text;
    EXPECT_NE(text.find(c.age + ")\n", where), std::string::npos) << text;
    // The same moment in two notations is equally old.
    const JSONValue age = at(report.json, {"status", "ageSeconds"});
    if (c.updatedAt.starts_with("2000")) {
      if (!firstAge) firstAge = age;
      EXPECT_LE(std::abs(*age.numberValue() - *firstAge->numberValue()), 2);
    }
  }
}

TEST(QuillMCPDoctorTests, AnswersItsOwnOptions) {
  const std::string doctor = QUILL_MCP_DOCTOR_BINARY;
  const auto environment = testing::currentEnvironment();
  const struct {
    std::vector<std::string> argv;
    int exitStatus;
    std::string out;  // a prefix of standard output
    std::string err;
  } cases[] = {
      {{doctor, "--version"}, 0, "quill-mcp-doctor 1.0\n", ""},
      {{doctor, "--help"}, 0, "Usage: quill-mcp-doctor [--client SLUG] [--json]\n", ""},
      {{doctor, "--bogus"}, 2, "", "quill-mcp-doctor: unknown option \"--bogus\" (see --help)\n"},
      {{doctor, "--json", "--client"},
       2,
       "",
       "quill-mcp-doctor: --client needs a slug (see --help)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv.back());
    const ProcessResult result = testing::runProcess(c.argv, environment, "");
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_TRUE(result.out.starts_with(c.out)) << result.out;
    if (c.out.empty() || c.argv.back() == "--version") {
      EXPECT_EQ(result.out, c.out);
    }
    EXPECT_EQ(result.err, c.err);
  }
}

}  // namespace
}  // namespace quill
