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
#include <sstream>
#include <thread>

#include "Diagnosis.h"
#include "FileDescriptor.h"
#include "JSONValue.h"
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
        "Verdict: Quill answers. First, register quill-mcp with your client (no client's file was "
        "found); for Claude Code, run:",
        "      claude mcp add --scope user quill -e QUILL_MCP_SOCKET=<socket> -e "
        "QUILL_MCP_STATUS=<status> -- " +
            shimPath() + " --client claude-code"},
       JSONValue()},
      {{"--disabled"},
       1,
       {"  enabled: false (agent access is off)", "  Quill is running but refused the tool list.",
        "  Then, turn on agent access in Quill → Settings → Agents."},
       "disabled"},
      {{"--signed-out"},
       1,
       {"  signedIn: false (nobody is signed in)",
        "  Quill answered \"signedOut\": " + std::string(MCPErrors::signedOut),
        "  Then, sign in to Quill."},
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
    EXPECT_EQ(at(at(report.json, {"registration", "clients"}).arrayValue()->at(2), {"kind"}),
              JSONValue("cursor"));
  }
}

// Writes `contents` at `path`, making the folders above it.
void put(const std::string& path, std::string_view contents) {
  for (auto slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0700);
  }
  testing::writeFile(path, contents);
}

// The kinds of what the verdict says to do, in order.
JSONValue actionKinds(const Report& report) {
  JSONValue::Array kinds;
  for (const JSONValue& action : *at(report.json, {"verdict", "actions"}).arrayValue()) {
    kinds.push_back(at(action, {"kind"}));
  }
  return JSONValue(std::move(kinds));
}

// A registration the client cannot start comes first, in the client's own commands.
TEST(QuillMCPDoctorTests, PutsABrokenRegistrationBeforeQuill) {
  TemporaryDirectory home, directory;
  const std::string claude = home.file(".claude.json");
  testing::writeFile(claude,
                     R"({"mcpServers":{"quill":{"type":"stdio","command":"/nowhere/quill-mcp",)"
                     R"("args":["--client","claude-code"],"env":{"QUILL_MCP_NO_LAUNCH":"1"}}}})");
  const std::string socket = directory.file("s"), status = directory.file("status.json");
  const std::string add =
      "      claude mcp add --scope user quill -e QUILL_MCP_NO_LAUNCH=1 -e "
      "QUILL_MCP_SOCKET=" +
      socket + " -e QUILL_MCP_STATUS=" + status + " -- " + shimPath() + " --client claude-code";
  const Report closed = runDoctor(environmentFor(socket, status, home.path()));
  EXPECT_EQ(closed.text.exitStatus, 3);
  expectLines(
      closed.text.out,
      {"  Claude Code (user), \"quill\" in " + claude + ":",
       "    command: /nowhere/quill-mcp --client claude-code", "    env: QUILL_MCP_NO_LAUNCH=1",
       "    broken: /nowhere/quill-mcp does not exist",
       "Verdict: an agent cannot reach Quill. First, fix the registration \"quill\" of Claude "
       "Code (user) in " +
           claude + ", as /nowhere/quill-mcp does not exist; run:",
       "      claude mcp remove --scope user quill", add, "  Then, open Quill."});
  EXPECT_EQ(actionKinds(closed), JSONValue::array({"fixRegistration", "openQuill"}));

  PeerProcess peer(socket, status, {});
  EXPECT_EQ(runDoctor(environmentFor(socket, status, home.path())).text.exitStatus, 3);
  testing::writeFile(claude, "{}");
  const Report fixed = runDoctor(environmentFor(socket, status, home.path()));
  EXPECT_EQ(fixed.text.exitStatus, 0);
  EXPECT_EQ(actionKinds(fixed), JSONValue::array({"register"}));
}

// Registered with each of the ten clients, in each one's own format, with Quill running.
TEST(QuillMCPDoctorTests, SeesTheTenClientsPeopleUse) {
  TemporaryDirectory home, directory;
  const std::string shim = shimPath();
  const std::string entry = R"({"quill":{"command":")" + shim + R"(","args":["--client","x"]}})";
  const std::string settings =
#if defined(__APPLE__)
      "Library/Application Support/";
#else
      ".config/";
#endif
  const std::pair<std::string, std::string> files[] = {
      {settings + "Claude/claude_desktop_config.json", R"({"mcpServers":)" + entry + "}"},
      {".claude.json", R"({"mcpServers":)" + entry + "}"},
      {".cursor/mcp.json", R"({"mcpServers":)" + entry + "}"},
      {settings + "Code/User/mcp.json",
       "// VS Code's own\n{\"servers\": {\"quill\": {\"type\": \"stdio\", \"command\": \"" + shim +
           "\",},},}"},
      {".codeium/windsurf/mcp_config.json", R"({"mcpServers":)" + entry + "}"},
      {".gemini/settings.json", R"({"mcpServers":)" + entry + "}"},
      {".qwen/settings.json", R"({"mcpServers":)" + entry + "}"},
      {".codex/config.toml", "[mcp_servers.quill]\ncommand = \"" + shim + "\"\n"},
      {".copilot/mcp-config.json", R"({"mcpServers":)" + entry + "}"},
      {".config/opencode/opencode.json",
       R"({"mcp":{"quill":{"type":"local","command":[")" + shim + R"("]}}})"},
  };
  for (const auto& [path, contents] : files) put(home.file(path), contents);
  const std::string socket = directory.file("s"), status = directory.file("status.json");
  PeerProcess peer(socket, status, {});
  const Report report = runDoctor(environmentFor(socket, status, home.path()));
  EXPECT_EQ(report.text.exitStatus, 0);
  const char* clients[] = {"Claude Desktop", "Claude Code", "Cursor", "VS Code",     "Windsurf",
                           "Gemini CLI",     "Qwen Code",   "Codex",  "Copilot CLI", "opencode"};
  const JSONValue registered = at(report.json, {"registered"});
  ASSERT_EQ(registered.arrayValue()->size(), std::size(clients));
  for (std::size_t i = 0; i < std::size(clients); ++i) {
    expectLines(report.text.out, {"  " + std::string(clients[i]) + " (user), \"quill\" in " +
                                  home.file(files[i].first) + ":"});
    EXPECT_EQ(at(registered.arrayValue()->at(i), {"version"}), JSONValue("1.0")) << clients[i];
  }
  expectLines(report.text.out, {"Verdict: an agent can reach Quill."});
  EXPECT_EQ(at(report.json, {"verdict", "action"}), JSONValue("none"));
}

// ---- The clients' files, read in-process
// ---------------------------------------------------------

// A home folder with a project folder two levels down, where the doctor looks; "~/" in a path
// stands for the home folder, "@/" for where applications keep settings, "./" for the project
// and "{cwd}" in contents for the project's path.
class Home {
 public:
  Home() : project_(home_.path() + "/work/project") {
    put(project_ + "/.keep", "");
    environment_ = {{"HOME", home_.path()}, {"XDG_CONFIG_HOME", home_.path() + "/.config"}};
    if (!::getcwd(previous_, sizeof previous_) || ::chdir(project_.c_str()) != 0) ADD_FAILURE();
  }
  ~Home() { (void)::chdir(previous_); }

  std::string path(std::string_view relative) const {
#if defined(__APPLE__)
    const std::string settings = home_.path() + "/Library/Application Support/";
#else
    const std::string settings = home_.path() + "/.config/";
#endif
    std::string out(relative);
    if (relative.starts_with("~/")) out = home_.path() + out.substr(1);
    if (relative.starts_with("@/")) out = settings + out.substr(2);
    if (relative.starts_with("./")) out = project_ + out.substr(1);
    return out;
  }
  void put(std::string_view relative, std::string contents) const {
    for (auto at = contents.find("{cwd}"); at != std::string::npos; at = contents.find("{cwd}")) {
      contents.replace(at, 5, project_);
    }
    quill::put(path(relative), contents);
  }
  // Each registration as "client (scope) name: command arguments", with what is wrong with it;
  // each file that cannot be used as "client: file problem".
  std::vector<std::string> findings(double askSeconds = -1) const {
    doctor::Diagnosis diagnosis;
    diagnosis.shimPath = "/opt/quill-mcp";
    doctor::findRegistrations(environment_, diagnosis);
    if (askSeconds > 0) doctor::checkRegistrations("1.0", askSeconds, diagnosis);
    std::vector<std::string> lines;
    for (const auto& entry : diagnosis.registrations) {
      std::string line =
          entry.client + " (" + entry.scope + ") " + entry.name + ": " + entry.command;
      for (const auto& argument : entry.arguments) line += " " + argument;
      for (const auto& [key, value] : entry.environment) line += ", " + key + "=" + value;
      if (entry.remote) line += ", remote";
      if (entry.version) line += ", version " + *entry.version;
      if (entry.broken) line += ", broken: " + *entry.broken;
      if (entry.notRun) line += ", not run: " + *entry.notRun;
      for (const auto& warning : entry.warnings) line += " | " + warning;
      lines.push_back(line);
    }
    for (const auto& file : diagnosis.files) {
      if (file.problem) lines.push_back(file.client + ": " + file.file + " " + *file.problem);
    }
    return lines;
  }

 private:
  TemporaryDirectory home_;
  std::string project_;
  Environment environment_;
  char previous_[PATH_MAX] = "/";
};

// Each line of `expected` starts one finding, in order.
void expectFindings(const std::vector<std::string>& found,
                    const std::vector<std::string>& expected) {
  EXPECT_EQ(found.size(), expected.size()) << ::testing::PrintToString(found);
  for (std::size_t i = 0; i < std::min(found.size(), expected.size()); ++i) {
    EXPECT_TRUE(found[i].starts_with(expected[i])) << found[i] << "\nexpected: " << expected[i];
  }
}

TEST(QuillMCPDoctorTests, ReadsEachClientsFilesAsThatClientDoes) {
  const std::string plain =
      R"({"mcpServers":{"quill":{"command":"/q/quill-mcp"},"x":{"command":"/bin/true"}}})";
  const struct {
    std::string_view name;
    std::vector<std::pair<std::string_view, std::string>> files;
    std::vector<std::string> findings;
  } cases[] = {
      {"strict JSON",
       {{"@/Claude/claude_desktop_config.json",
         R"({"mcpServers":{"quill":{"command":"/q/quill-mcp","args":["--client","claude-desktop"]}}})"}},
       {"Claude Desktop (user) quill: /q/quill-mcp --client claude-desktop"}},
      {"a comment where only strict JSON is read",
       {{"@/Claude/claude_desktop_config.json", "{\n  // mine\n}"}},
       {"Claude Desktop: {file} holds a comment at line 2, column 3, which stops Claude Desktop "
        "from "
        "reading the file: it reads strict JSON"}},
      {"Claude Code: the user's, this folder's, and a project's in a parent folder",
       {{"~/.claude.json",
         R"({"mcpServers":{"quill":{"command":"/q/quill-mcp","args":["--client","claude-code"]}},)"
         R"("projects":{"{cwd}":{"mcpServers":{"local":{"command":"/q/quill-mcp"}}}}})"},
        {"~/work/.mcp.json", plain}},
       {"Claude Code (user) quill: /q/quill-mcp --client claude-code",
        "Claude Code (local) local: /q/quill-mcp | It has no --client claude-code",
        "Claude Code (project) quill: /q/quill-mcp, not run: it is named in a project's file"}},
      {"JSON with comments, trailing commas and a byte order mark",
       {{"./.vscode/mcp.json",
         "\xEF\xBB\xBF// mine\n{\"servers\": {\"quill\": {\"type\": \"stdio\", /* here */ "
         "\"command\": \"/q/quill-mcp\",},},}"},
        {"@/Code/User/mcp.json", R"({"servers":{"quill":{"command":"/q/quill-mcp"}}})"},
        {"~/.gemini/settings.json",
         "{\"mcpServers\": {\"quill\": {\"command\": \"/q/quill-mcp\"} // ours\n}}"},
        {"./.qwen/settings.json", plain},
        {"~/.config/opencode/opencode.jsonc",
         R"({"mcp":{"quill":{"type":"local","command":["/q/quill-mcp","-v"],"environment":{"A":"1"}}}})"}},
       {"VS Code (user) quill: /q/quill-mcp, broken: it lacks \"type\": \"stdio\"",
        "VS Code (workspace) quill: /q/quill-mcp, not run", "Gemini CLI (user) quill: /q/quill-mcp",
        "Qwen Code (project) quill: /q/quill-mcp, not run",
        "opencode (user) quill: /q/quill-mcp -v, A=1"}},
      {"lenient JSON, TOML, and what cannot be read",
       {{"~/.cursor/mcp.json", R"({"mcpServers":{"quill":{"url":"https://q.example/mcp"},},})"},
        {"~/.copilot/mcp-config.json",
         R"({"mcpServers":{"quill":{"type":"local","command":"/q/quill-mcp","env":{"B":"2"}}}})"},
        {"~/.codex/config.toml",
         "model = \"o4\"\n[mcp_servers.quill]\ncommand = \"/q/quill-mcp\"\nargs = [\"-v\"]\n"},
        {"~/.codeium/windsurf/mcp_config.json", "{\"mcpServers\":\n  {\"quill\" ]"}},
       {"Cursor (user) quill: https://q.example/mcp, remote | It is a remote server, not "
        "quill-mcp.",
        "Codex (user) quill: /q/quill-mcp -v", "Copilot CLI (user) quill: /q/quill-mcp, B=2",
        "Windsurf: {file} is not JSON: "}},
      {"a command array that names no program",
       {{"~/.config/opencode/opencode.json", R"({"mcp":{"quill":{"type":"local","command":[]}}})"}},
       {"opencode (user) quill: "}},
      {"TOML that is not",
       {{"~/.codex/config.toml", "[mcp_servers.quill\n"}},
       {"Codex: {file} is not TOML: "}},
      {"an extension installed from a bundle, turned off",
       {{"@/Claude/Claude Extensions/ant.quill/manifest.json",
         R"({"server":{"mcp_config":{"command":"${__dirname}/server/quill-mcp","args":["--client","claude-desktop"]}}})"},
        {"@/Claude/Claude Extensions Settings/ant.quill.json", R"({"isEnabled":false})"}},
       {"Claude Desktop (bundle) ant.quill: @/Claude/Claude Extensions/ant.quill/server/quill-mcp "
        "--client claude-desktop | It is turned off in Claude Desktop → Settings → Extensions."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Home home;
    for (const auto& [path, contents] : c.files) home.put(path, contents);
    std::vector<std::string> expected = c.findings;
    for (std::string& line : expected) {
      // "{file}" stands for the case's last file, "@/" for the settings folder.
      if (const auto at = line.find("{file}"); at != std::string::npos) {
        line.replace(at, 6, home.path(c.files.back().first));
      }
      if (const auto at = line.find("@/"); at != std::string::npos)
        line.replace(at, 2, home.path("@/"));
    }
    expectFindings(home.findings(), expected);
  }
}

// Nothing a project's file names is run, nor anything but a quill-mcp that only its user can
// change; and never through a shell.
TEST(QuillMCPDoctorTests, RunsOnlyTheUsersOwnQuillMCP) {
  Home home;
  const std::string marker = home.path("./MARKER"), asked = home.path("~/ASKED");
  const std::string answers =
      "#!/bin/sh\necho asked >> " + asked +
      "\nread line\necho '{\"result\":{\"serverInfo\":{\"version\":\"0.9\"}}}'\n";
  home.put("./tools/quill-mcp", "#!/bin/sh\necho ran > " + marker + "\n");
  home.put("~/bin/quill-mcp", answers);
  home.put("~/open/quill-mcp", answers);
  ::chmod(home.path("./tools/quill-mcp").c_str(), 0755);
  ::chmod(home.path("~/bin/quill-mcp").c_str(), 0755);
  ::chmod(home.path("~/open/quill-mcp").c_str(), 0777);
  const std::string shell = R"("command":"/bin/sh","args":["-c","echo ran > )" + marker + "\"]";
  home.put("./.mcp.json", R"({"mcpServers":{"quill":{)" + shell + "}}}");
  home.put("./.vscode/mcp.json",
           R"({"servers":{"quill":{"type":"stdio","command":"./tools/quill-mcp"}}})");
  home.put("~/.cursor/mcp.json", R"({"mcpServers":{"quill":{)" + shell +
                                     R"(},"mine":{"command":")" + home.path("~/bin/quill-mcp") +
                                     R"("},"open":{"command":")" + home.path("~/open/quill-mcp") +
                                     R"("}}})");
  home.put("~/.gemini/settings.json", R"({"mcpServers":{"quill":{"command":"quill-mcp"}}})");
  expectFindings(
      home.findings(5),
      {"Claude Code (project) quill: /bin/sh -c echo ran > " + marker +
           ", not run: it is named in a project's file, which Claude Code trusts only once you "
           "approve it; this program runs nothing a project names",
       "Cursor (user) mine: " + home.path("~/bin/quill-mcp") +
           ", version 0.9 | It has no --client "
           "cursor: Quill then names the client after the name it gives itself, not Cursor. | It "
           "is quill-mcp 0.9, not 1.0 as this program is: another installation.",
       "Cursor (user) open: " + home.path("~/open/quill-mcp") +
           ", not run: others than its owner may change it",
       "Cursor (user) quill: /bin/sh -c echo ran > " + marker +
           ", not run: it is not quill-mcp, and this program runs no other",
       "VS Code (workspace) quill: ./tools/quill-mcp, not run: it is named in a project's file, "
       "which VS Code trusts only once you approve it; this program runs nothing a project "
       "names | It is relative: it depends on the folder the client starts it in. Write its "
       "full path.",
       "Gemini CLI (user) quill: quill-mcp, broken: quill-mcp is not on this PATH; write its full "
       "path | It is a bare name: a client started from the Dock looks for it only in "
       "/usr/bin:/bin:/usr/sbin:/sbin. Write its full path."});
  EXPECT_FALSE(testing::readFile(marker));
  EXPECT_EQ(testing::readFile(asked), "asked\n");
}

// The programs are asked side by side, under one deadline, and all they started is ended with them.
TEST(QuillMCPDoctorTests, TwentyProgramsThatHangEndTogetherAndLeaveNothingRunning) {
  Home home;
  const std::string pids = home.path("~/pids");
  std::string servers;
  for (int i = 0; i < 20; ++i) {
    const std::string program = home.path("~/p" + std::to_string(i) + "/quill-mcp");
    home.put(program, "#!/bin/sh\nsleep 300 &\necho $$ $! >> " + pids + "\nsleep 300\n");
    ::chmod(program.c_str(), 0755);
    servers +=
        (i ? "," : "") + ("\"q" + std::to_string(i) + "\":{\"command\":\"" + program + "\"}");
  }
  home.put("~/.cursor/mcp.json", "{\"mcpServers\":{" + servers + "}}");
  const auto start = std::chrono::steady_clock::now();
  const auto found = home.findings(1);
  // One after another, they would take 20 seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  ASSERT_EQ(found.size(), 20u);
  for (const std::string& line : found) {
    EXPECT_NE(line.find("does not answer initialize as quill-mcp does"), std::string::npos) << line;
  }
  std::istringstream started(testing::readFile(pids).value_or(""));
  int count = 0;
  // Killed with their groups; a kill takes effect a moment later.
  const auto patience = std::chrono::steady_clock::now() + 10s;
  for (pid_t pid; started >> pid; ++count) {
    while (testing::isRunning(pid) && std::chrono::steady_clock::now() < patience) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(testing::isRunning(pid)) << pid;
  }
  EXPECT_EQ(count, 40);
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
        "  reason: nothingThere"}},
      {"stale socket",
       leaveStaleSocket,
       "socket",
       {"  reason: refused",
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
                     ? "  Then, give quill-mcp a socket path where Quill of this user can listen "
                       "(see Socket above)."
                     : "  Then, open Quill."});
    for (const std::string& line : c.lines) expectLines(report.text.out, {line});
    EXPECT_EQ(report.json["toolList"], JSONValue(false));
    EXPECT_EQ(at(report.json, {"socket", "kind"}), JSONValue(c.kind));
    EXPECT_EQ(at(report.json, {"connection", "failure"}), JSONValue("connect"));
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
              {"  failure: timeout", "  reason: notAccepted",
               "  Quill did not take the connection within 5 seconds: it is busy or stuck."});
#else
  expectLines(text.out, {"  reason: refused", "  Quill runs (it holds " + socket +
                                                  ".lock) but turns the connection away: it "
                                                  "is busy or stuck."});
#endif
  expectLines(text.out, {"  Then, quit Quill and open it again."});
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
  expectLines(report.text.out, {"  failure: connect", "  reason: otherUser",
                                "  The listener there runs as another user: quill-mcp talks only "
                                "to a Quill of its own user."});
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
