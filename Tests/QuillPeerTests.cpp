// quill-peer driven from outside: started as a process on a private socket and status file,
// asked over the wire like quill-mcp asks the desktop application, and stopped with signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "JSONValue.h"
#include "JSONRPC.h"
#include "LineFraming.h"
#include "MCPErrors.h"
#include "MCPSocketClient.h"
#include "MCPStatus.h"
#include "MCPWire.h"
#include "QuillPeerProcess.h"
#include "Subprocess.h"
#include "ToolDefinition.h"
#include "UnixSocket.h"

namespace quill {
namespace {

using namespace std::chrono_literals;
using testing::ProcessResult;
using testing::Subprocess;
using testing::TemporaryDirectory;

const std::string kExamples = std::string(QUILL_SOURCE_DIR) + "/examples/projects.json";
const std::string kTime = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ";  // a pattern
// The status file's time, to the millisecond.
const std::string kStatusTime = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z";

// A small projects file whose fact order is easy to reason about.
constexpr std::string_view kReleaseProjects = R"({"projects": [{
  "name": "Atlas",
  "facts": [
    {"text": "Invoices are sent monthly.", "source": "Finance wiki", "match": 80},
    {"text": "The release branch is frozen on Fridays.", "source": "Team handbook", "match": 95},
    {"text": "Release notes live in the wiki.", "source": "Onboarding doc", "match": 70},
    {"text": "Release tags are signed.", "source": "CI config", "match": 100}
  ],
  "uncertain": ["Whether the staging server is still used."],
  "rules": ["Do NOT push to main directly."]
}]})";

// Waits until the process's standard error holds `text` `times` times; fails after a minute.
void waitForError(Subprocess& process, std::string_view text, std::size_t times = 1) {
  auto count = [&] {
    std::size_t found = 0;
    for (auto at = process.errorOutput().find(text); at != std::string::npos;
         at = process.errorOutput().find(text, at + 1)) {
      ++found;
    }
    return found;
  };
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (count() < times) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline)
        << "still waiting for: " << text << "\nstandard error so far: " << process.errorOutput();
    process.readLine(20ms);  // collects standard error meanwhile
  }
}

struct Asker {
  std::optional<std::string> client;
  std::optional<std::string> clientName;
};

// One quill-peer process with its own socket, status file and projects file, listening once the
// constructor has returned. `prepare` may put something at its paths first.
class Peer {
 public:
  explicit Peer(std::vector<std::string> options, std::string_view projects = {},
                const std::function<void(const Peer&)>& prepare = {}) {
    if (prepare) prepare(*this);
    std::vector<std::string> arguments{"--socket", socket, "--status", status};
    if (!projects.empty()) {
      testing::writeFile(projectsFile, projects);
      arguments.insert(arguments.end(), {"--projects", projectsFile});
    }
    arguments.insert(arguments.end(), options.begin(), options.end());
    testing::startListeningPeer(process, std::move(arguments), status);
  }

  ~Peer() { testing::stopPeer(*process); }

  std::optional<MCPStatus> readStatus() const { return testing::statusIn(status); }

  // Waits until the status file holds these flags, and returns it; fails after a minute.
  MCPStatus waitForStatus(bool enabled, bool signedIn, bool listening) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (;;) {
      auto current = readStatus();
      if (current && current->enabled == enabled && current->signedIn == signedIn &&
          current->listening == listening) {
        return *current;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the status file does not change: " << process->errorOutput();
        return current.value_or(MCPStatus{!enabled, !signedIn, !listening, "", ""});
      }
      std::this_thread::sleep_for(10ms);
    }
  }

  MCPWireResponse ask(std::string method, std::optional<JSONValue> arguments = std::nullopt,
                      const Asker& asker = {}) {
    MCPWireRequest request{1, JSONValue(7), std::move(method), asker.client, asker.clientName, {}};
    if (request.method == "tools/call") {
      request.params = MCPWireRequest::Params{"get_context_packet", std::move(arguments)};
    }
    auto result = MCPSocketClient::roundTrip(socket, request, 60);
    auto* response = std::get_if<MCPWireResponse>(&result);
    if (!response) {
      ADD_FAILURE() << "exchange failed: reason " << static_cast<int>(std::get<1>(result).reason)
                    << ", errno " << std::get<1>(result).error;
      return MCPWireResponse::failure(std::nullopt, MCPWireErrorCode::internalError, "no answer");
    }
    EXPECT_EQ(response->id, JSONValue(7));
    return *response;
  }

  MCPWireResponse call(JSONValue arguments, const Asker& asker = {}) {
    return ask("tools/call", std::move(arguments), asker);
  }

  TemporaryDirectory directory;
  std::string socket = directory.file("s");
  std::string status = directory.file("status.json");
  std::string projectsFile = directory.file("projects.json");
  std::optional<Subprocess> process;
};

JSONValue projectArgument(JSONValue project) {
  return JSONValue::object({{"project", project}});
}

std::string briefingOf(const MCPWireResponse& response) {
  EXPECT_TRUE(response.ok);
  EXPECT_FALSE(response.error.has_value());
  if (!response.result) return "<no result>";
  EXPECT_EQ((*response.result)["isError"], JSONValue(false));
  const JSONValue* content = response.result->member("content");
  const auto* blocks = content ? content->arrayValue() : nullptr;
  const JSONValue* text = blocks && !blocks->empty() ? blocks->front().member("text") : nullptr;
  return std::string(text ? text->stringValue().value_or("<no text>") : "<no text>");
}

// A failure with `code`, and with `message` unless that is empty.
void expectFailure(const MCPWireResponse& response, MCPWireErrorCode code,
                   std::string_view message = "") {
  EXPECT_FALSE(response.ok);
  EXPECT_FALSE(response.result.has_value());
  ASSERT_TRUE(response.error.has_value());
  EXPECT_EQ(rawValue(response.error->code), rawValue(code));
  if (!message.empty()) {
    EXPECT_EQ(response.error->message, message);
  }
}

// The fact lines of the "Known facts" section, in order.
std::vector<std::string> factLines(const std::string& briefing) {
  std::vector<std::string> lines;
  auto at = briefing.find("\nKnown facts\n");
  if (at == std::string::npos) return lines;
  for (at += std::strlen("\nKnown facts\n"); briefing.compare(at, 2, "- ") == 0;) {
    const auto end = briefing.find('\n', at);
    lines.push_back(briefing.substr(at + 2, end - at - 2));
    at = end + 1;
  }
  return lines;
}

// A connected socket with a generous receive time-out, or -1.
int connectTo(const std::string& path) {
  ::signal(SIGPIPE, SIG_IGN);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  timeval timeout{60, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Connects, sends `bytes` as they are (then ends its output when asked to), and collects
// everything the peer sends until it closes.
std::string rawExchange(const std::string& path, std::string_view bytes, bool endOutput = false) {
  const int fd = connectTo(path);
  if (fd < 0) return "<connect failed>";
  // The peer may answer and close before taking all of an oversized request.
  for (ssize_t n; !bytes.empty() && (n = ::send(fd, bytes.data(), bytes.size(), 0)) > 0;) {
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (endOutput) ::shutdown(fd, SHUT_WR);
  std::string received;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
    received.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return received;
}

// Sends all of `bytes` unless the peer stops taking them; the number of bytes sent.
std::size_t sendAll(int fd, std::string_view bytes) {
  std::size_t sent = 0;
  for (ssize_t n;
       sent < bytes.size() && (n = ::send(fd, bytes.data() + sent, bytes.size() - sent, 0)) > 0;) {
    sent += static_cast<std::size_t>(n);
  }
  return sent;
}

// Reads one answer line (with its line feed) or whatever arrives until the peer closes.
std::string readAnswer(int fd) {
  std::string received;
  char byte;
  while (!received.ends_with('\n') && ::read(fd, &byte, 1) == 1) received.push_back(byte);
  return received;
}

MCPWireResponse decodeAnswer(const std::string& line) {
  auto response = MCPWire::decodeResponse(std::string_view(line).substr(0, line.size() - 1));
  if (!line.ends_with('\n') || failed(response)) {
    ADD_FAILURE() << "not an answer line: " << line.substr(0, 200);
    return MCPWireResponse::failure(std::nullopt, MCPWireErrorCode::internalError, "no answer");
  }
  return std::get<MCPWireResponse>(response);
}

// Replaces a file in one step, so that a watcher never sees it half written.
void replaceFile(const std::string& path, std::string_view contents) {
  const std::string temporary = path + ".new";
  testing::writeFile(temporary, contents);
  ASSERT_EQ(std::rename(temporary.c_str(), path.c_str()), 0);
}

std::string toolCallLine(int id, std::string_view project) {
  return R"({"v":1,"id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":"get_context_packet","arguments":)"
         R"({"project":")" +
         std::string(project) + "\"}}}\n";
}

// The list's project names are checked with the shim in front (ShimToolsProcessTests).
TEST(QuillPeerTests, MatchesProjectNamesLooselyAndBriefsWithEverySection) {
  Peer peer({}, testing::readFile(kExamples).value_or(""));
  const struct {
    std::optional<JSONValue> project;
    std::string_view expected;  // the briefed project, or the whole error message
    std::optional<MCPWireErrorCode> code;
  } cases[] = {
      {JSONValue("light"), "Lighthouse Mobile App", {}},
      {JSONValue("crm"), "Orchard CRM", {}},
      {JSONValue("\tHARBOR ANALYTICS "), "Harbor Analytics", {}},
      // A prefix of Orchard CRM outranks the substrings of both Harbor names.
      {JSONValue("or"), "Orchard CRM", {}},
      {JSONValue("harbor"),
       "The user has several Quill projects: Harbor Renovation, Harbor Analytics. Ask the user "
       "which one they mean, then retry with that name.",
       MCPWireErrorCode::ambiguousProject},
      {std::nullopt,
       "The user has several Quill projects: Harbor Renovation, Harbor Analytics, Lighthouse "
       "Mobile App, Orchard CRM. Ask the user which one they mean, then retry with that name.",
       MCPWireErrorCode::ambiguousProject},
      // A blank name is no name: ambiguous among all, not a prefix that matches every name.
      {JSONValue(""),
       "The user has several Quill projects: Harbor Renovation, Harbor Analytics, Lighthouse "
       "Mobile App, Orchard CRM. Ask the user which one they mean, then retry with that name.",
       MCPWireErrorCode::ambiguousProject},
      {JSONValue(" \t "),
       "The user has several Quill projects: Harbor Renovation, Harbor Analytics, Lighthouse "
       "Mobile App, Orchard CRM. Ask the user which one they mean, then retry with that name.",
       MCPWireErrorCode::ambiguousProject},
      {JSONValue("zebra"),
       "No Quill project matches \"zebra\". The user's projects are: Harbor Renovation, Harbor "
       "Analytics, Lighthouse Mobile App, Orchard CRM. Retry with one of those names.",
       MCPWireErrorCode::unknownProject},
      {JSONValue(42),
       "No Quill project matches \"42\". The user's projects are: Harbor Renovation, Harbor "
       "Analytics, Lighthouse Mobile App, Orchard CRM. Retry with one of those names.",
       MCPWireErrorCode::unknownProject},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.project ? valueOr(c.project->encodedData(), "?") : "omitted");
    const MCPWireResponse response =
        peer.call(c.project ? projectArgument(*c.project) : JSONValue::object({}));
    if (c.code) {
      expectFailure(response, *c.code, c.expected);
    } else {
      EXPECT_TRUE(
          briefingOf(response).starts_with("Quill briefing: " + std::string(c.expected) + "\n"));
    }
  }

  const std::string briefing = briefingOf(
      peer.call(projectArgument("  LIGHTHOUSE mobile app "), Asker{"claude-code", std::nullopt}));
  EXPECT_TRUE(briefing.starts_with(
      "Quill briefing: Lighthouse Mobile App\nAsked by Claude Code via Claude Code.\n"))
      << briefing;
  for (std::string_view piece : {
           "\nKnown facts\n- The app targets iOS 17 and Android 13 and later. (source: Product "
           "requirements, v3; match 97%)\n",
           "\nUncertain \u2014 verify before relying on it\n- Whether the App Store review needs "
           "a new privacy label for location use.\n",
           "\nHard rules \u2014 do NOT\n- Do NOT publish builds",
           "\nDeliberately withheld\n- Crash reports that contain user locations.\n",
           "\nWhat changed since this client last asked\n",
       }) {
    EXPECT_NE(briefing.find(piece), std::string::npos) << piece << "\nin:\n" << briefing;
  }
}

TEST(QuillPeerTests, TheOnlyProjectNeedsNoNameAndATaskOrdersItsFacts) {
  Peer peer({}, kReleaseProjects);
  // Arguments left out altogether count as empty, and a null project as none.
  EXPECT_TRUE(briefingOf(peer.ask("tools/call")).starts_with("Quill briefing: Atlas\n"));
  const std::vector<std::string> fileOrder{
      "Invoices are sent monthly. (source: Finance wiki; match 80%)",
      "The release branch is frozen on Fridays. (source: Team handbook; match 95%)",
      "Release notes live in the wiki. (source: Onboarding doc; match 70%)",
      "Release tags are signed. (source: CI config; match 100%)"};
  EXPECT_EQ(factLines(briefingOf(peer.call(projectArgument(nullptr)))), fileOrder);
  // A blank name asks for the only project too.
  for (const char* blank : {"", "  ", "\t\n"}) {
    EXPECT_EQ(factLines(briefingOf(peer.call(projectArgument(blank)))), fileOrder) << blank;
  }
  // "release" and "notes" for the third fact, "release" alone for the second and fourth, which
  // keep their order.
  const std::string ranked =
      briefingOf(peer.call(JSONValue::object({{"task", "Write the RELEASE notes, please"}})));
  EXPECT_EQ(factLines(ranked),
            (std::vector<std::string>{fileOrder[2], fileOrder[1], fileOrder[3], fileOrder[0]}));
  EXPECT_NE(ranked.find("\nTask: Write the RELEASE notes, please"), std::string::npos);
}

TEST(QuillPeerTests, WhatChangedIsRememberedPerClient) {
  Peer peer({}, kReleaseProjects);
  const Asker code{"claude-code", std::nullopt};
  // The section's body; the section is the last of the briefing.
  auto changes = [&](const Asker& asker) {
    constexpr std::string_view heading = "\nWhat changed since this client last asked\n";
    const std::string briefing = briefingOf(peer.call(JSONValue::object({}), asker));
    const auto at = briefing.find(heading);
    return at == std::string::npos ? briefing : briefing.substr(at + heading.size());
  };
  const std::regex nothingChanged("Nothing changed since Claude Code last asked at " + kTime +
                                  "\\.\n");

  EXPECT_EQ(changes(code),
            "This is the first briefing for Claude Code on this project; everything above is new "
            "to it.\n");
  EXPECT_TRUE(std::regex_match(changes(code), nothingChanged));
  EXPECT_EQ(changes(Asker{std::nullopt, " Zed "}),
            "This is the first briefing for MCP agent (Zed) on this project; everything above is "
            "new to it.\n");

  // An edited projects file is picked up on the next request.
  std::string edited(kReleaseProjects);
  edited.replace(edited.find("\"match\": 70"), 11, "\"match\": 75");
  edited.replace(edited.find("Invoices are sent monthly."), 26, "Invoices are sent weekly.");
  testing::writeFile(peer.projectsFile, edited);
  const std::string since = changes(code);
  EXPECT_TRUE(since.starts_with("Since Claude Code last asked at ")) << since;
  EXPECT_TRUE(since.ends_with(
      ":\n- New: Invoices are sent weekly. (source: Finance wiki; match 80%)\n"
      "- Changed: Release notes live in the wiki. (source: Onboarding doc; match 75%), was "
      "source: Onboarding doc; match 70%\n"
      "- No longer listed: Invoices are sent monthly.\n"))
      << since;
  EXPECT_TRUE(std::regex_match(changes(code), nothingChanged));
  EXPECT_EQ(changes(Asker{"cursor", std::nullopt}),
            "This is the first briefing for Cursor on this project; everything above is new to "
            "it.\n");
}

TEST(QuillPeerTests, RefusalsAnswerEveryRequestWithTheirCode) {
  for (const auto& [option, code] : {std::pair{"--disabled", MCPWireErrorCode::disabled},
                                     std::pair{"--signed-out", MCPWireErrorCode::signedOut}}) {
    SCOPED_TRACE(option);
    Peer peer({option}, kReleaseProjects);
    const auto status = peer.readStatus();
    ASSERT_TRUE(status);
    EXPECT_EQ(*status,
              (MCPStatus{code != MCPWireErrorCode::disabled, code != MCPWireErrorCode::signedOut,
                         true, "1.0-peer", status->updatedAt}));
    expectFailure(peer.ask("tools/list"), code);
    expectFailure(peer.call(projectArgument("Atlas")), code);
  }
  // Without projects the list names none, and calls are answered noProjects.
  Peer peer({});
  const MCPWireResponse list = peer.ask("tools/list");
  ASSERT_TRUE(list.ok && list.result);
  EXPECT_EQ(valueOr(list.result->encodedData(), "").find("Current projects"), std::string::npos);
  expectFailure(peer.call(projectArgument("anything")), MCPWireErrorCode::noProjects,
                std::string(MCPErrors::noProjects));
}

TEST(QuillPeerTests, BadRequestsGetInternalErrorsAndThePeerKeepsServing) {
  Peer peer({}, kReleaseProjects);
  const std::string requests[] = {
      "garbage\n",
      R"({"v":1,"method":"tools/call","params":{"name":"other"}})"
      "\n",
      R"({"v":1,"method":"tools/call","params":{"name":"get_context_packet","arguments":[1]}})"
      "\n",
  };
  for (const std::string& request : requests) {
    SCOPED_TRACE(request.substr(0, 80));
    const std::string answer = rawExchange(peer.socket, request);
    ASSERT_TRUE(answer.ends_with("\n")) << answer;
    EXPECT_EQ(answer.find('\n'), answer.size() - 1) << "one line only";
    auto decoded = MCPWire::decodeResponse(answer.substr(0, answer.size() - 1));
    ASSERT_FALSE(failed(decoded)) << answer;
    const auto& response = std::get<MCPWireResponse>(decoded);
    expectFailure(response, MCPWireErrorCode::internalError);
    EXPECT_FALSE(response.error->message.empty());
  }
  // A line longer than the limit is read to its end and refused; nothing of it is kept.
  EXPECT_EQ(rawExchange(peer.socket, std::string(LineFraming::maxLineBytes + 1, 'x') + "\n"),
            R"({"error":{"code":"internal","message":"The request is too large for Quill )"
            R"((over 16 MiB)."},"ok":false,"v":1})"
            "\n");
  // A request whose client ends its output instead of ending the line is answered all the same.
  EXPECT_EQ(rawExchange(peer.socket, R"({"v":1,"id":"x","method":"tools/frobnicate"})", true),
            R"({"error":{"code":"internal","message":"Quill does not know the method )"
            R"(\"tools/frobnicate\"."},"id":"x","ok":false,"v":1})"
            "\n");

  // A client that leaves without waiting for its answer.
  const int leaving = connectTo(peer.socket);
  ASSERT_GE(leaving, 0);
  const std::string_view list = "{\"v\":1,\"method\":\"tools/list\"}\n";
  EXPECT_EQ(::send(leaving, list.data(), list.size(), 0), static_cast<ssize_t>(list.size()));
  ::close(leaving);

  EXPECT_TRUE(briefingOf(peer.call(projectArgument("atlas"))).starts_with("Quill briefing: "));
}

TEST(QuillPeerTests, SilentClientIsAnsweredWithAnErrorWhenItsTimeIsUp) {
  Peer peer({"--request-timeout", "1"}, kReleaseProjects);
  const int silent = connectTo(peer.socket);
  ASSERT_GE(silent, 0);
  char buffer[512];
  const ssize_t n = ::read(silent, buffer, sizeof buffer);
  ::close(silent);
  EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0),
            R"({"error":{"code":"internal","message":"No complete request line arrived within 1 )"
            R"(second."},"ok":false,"v":1})"
            "\n");
}

TEST(QuillPeerTests, ClientsAreServedSideBySide) {
  // A time-out longer than a client's wait for its answer: a peer that served one connection at
  // a time would leave the clients below unanswered.
  Peer peer({"--request-timeout", "300"}, kReleaseProjects);
  const int silent = connectTo(peer.socket);
  const int slow = connectTo(peer.socket);
  ASSERT_GE(silent, 0);
  ASSERT_GE(slow, 0);
  const std::string slowRequest = toolCallLine(100, "atlas");
  ASSERT_EQ(sendAll(slow, slowRequest.substr(0, 20)), 20u);

  // Several clients at once, answered in any order: here read last to first.
  std::vector<int> clients;
  for (int id = 0; id < 6; ++id) {
    clients.push_back(connectTo(peer.socket));
    ASSERT_GE(clients.back(), 0);
    const std::string request = toolCallLine(id, "atlas");
    ASSERT_EQ(sendAll(clients.back(), request), request.size());
  }
  for (int id = 5; id >= 0; --id) {
    const MCPWireResponse response = decodeAnswer(readAnswer(clients[id]));
    EXPECT_EQ(response.id, JSONValue(id));
    EXPECT_TRUE(briefingOf(response).starts_with("Quill briefing: Atlas\n"));
    ::close(clients[id]);
  }
  EXPECT_TRUE(briefingOf(peer.ask("tools/call")).starts_with("Quill briefing: Atlas\n"));

  // The slow one finishes its line and is answered too; the silent one is still waited for.
  ASSERT_EQ(sendAll(slow, slowRequest.substr(20)), slowRequest.size() - 20);
  EXPECT_EQ(decodeAnswer(readAnswer(slow)).id, JSONValue(100));
  char byte;
  EXPECT_EQ(::recv(silent, &byte, 1, MSG_DONTWAIT), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
  ::close(slow);
  ::close(silent);
}

TEST(QuillPeerTests, HangupReReadsTheProjectsFileAndKeepsTheOldProjectsWhenItIsBad) {
  Peer peer({}, kReleaseProjects);
  const std::string kept = "; keeping the projects read before\n";
  // Reported on every hang-up, not only once: each is a request to read the file.
  replaceFile(peer.projectsFile, "{\"projects\": [");
  const std::string bad =
      "quill-peer: the projects file " + peer.projectsFile + " is malformed: not valid JSON";
  for (std::size_t hangups = 1; hangups <= 2; ++hangups) {
    peer.process->signal(SIGHUP);
    ASSERT_NO_FATAL_FAILURE(waitForError(*peer.process, bad, hangups));
  }
  EXPECT_TRUE(peer.process->errorOutput().ends_with(kept)) << peer.process->errorOutput();
  EXPECT_TRUE(briefingOf(peer.call(projectArgument("atlas"))).starts_with("Quill briefing: "));

  replaceFile(peer.projectsFile, R"({"projects": [{"name": "Atlas"}, {"name": "Boreal"}]})");
  peer.process->signal(SIGHUP);
  ASSERT_NO_FATAL_FAILURE(waitForError(*peer.process, "quill-peer: re-read the projects file " +
                                                          peer.projectsFile + ": 2 projects\n"));
  EXPECT_TRUE(briefingOf(peer.call(projectArgument("boreal"))).starts_with("Quill briefing: "));

  Peer withoutFile({});
  withoutFile.process->signal(SIGHUP);
  waitForError(*withoutFile.process, "quill-peer: there is no projects file to re-read\n");
}

// The environment that points quill-mcp at a peer's paths, without launching anything.
testing::EnvironmentMap shimEnvironment(const std::string& socket, const std::string& status) {
  auto environment = testing::currentEnvironment();
  environment["QUILL_MCP_SOCKET"] = socket;
  environment["QUILL_MCP_STATUS"] = status;
  environment["QUILL_MCP_NO_LAUNCH"] = "1";
  return environment;
}

std::string shimToolCall(int id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":"get_context_packet","arguments":{}}})"
         "\n";
}

TEST(QuillPeerTests, StateFileTurnsAccessAndSignInOverWhileRunning) {
  TemporaryDirectory control;
  const std::string state = control.file("state.json");
  testing::writeFile(state, R"({"enabled": true, "signedIn": true})");
  Peer peer({"--state", state}, kReleaseProjects);
  MCPStatus previous = peer.waitForStatus(true, true, true);
  const struct {
    std::string_view file;
    bool enabled;
    bool signedIn;
    std::optional<MCPWireErrorCode> code;  // absent: briefed
  } cases[] = {
      {R"({"enabled": false, "signedIn": true})", false, true, MCPWireErrorCode::disabled},
      {R"({"signedIn": false, "enabled": true, "note": "other members are ignored"})", true, false,
       MCPWireErrorCode::signedOut},
      {R"({"enabled": false, "signedIn": false})", false, false, MCPWireErrorCode::disabled},
      {R"({"enabled": true, "signedIn": true})", true, true, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    // The new record's time, to the millisecond, is then sure to differ from the last one's.
    std::this_thread::sleep_for(2ms);
    ASSERT_NO_FATAL_FAILURE(replaceFile(state, c.file));
    const MCPStatus status = peer.waitForStatus(c.enabled, c.signedIn, true);
    EXPECT_EQ(status.version, "1.0-peer");
    EXPECT_TRUE(std::regex_match(status.updatedAt, std::regex(kStatusTime))) << status.updatedAt;
    EXPECT_LT(previous.updatedAt, status.updatedAt) << "not written anew";
    previous = status;
    if (c.code) {
      expectFailure(peer.ask("tools/list"), *c.code);
      expectFailure(peer.call(projectArgument("atlas")), *c.code);
    } else {
      EXPECT_TRUE(briefingOf(peer.call(projectArgument("atlas"))).starts_with("Quill briefing: "));
    }
  }

  // A state file that cannot be used keeps the state read last, and says why once per change.
  const std::string kept = "; keeping the state read before\n";
  const std::pair<std::string_view, std::string> bad[] = {
      {R"({"enabled": "no", "signedIn": true})",
       "is malformed: it must be a JSON object with the booleans \"enabled\" and \"signedIn\""},
      {R"({"enabled": false)", "is malformed: not valid JSON ("},
      {"[true, true]",
       "is malformed: it must be a JSON object with the booleans \"enabled\" and \"signedIn\""},
  };
  for (std::size_t i = 0; i < std::size(bad); ++i) {
    SCOPED_TRACE(bad[i].first);
    ASSERT_NO_FATAL_FAILURE(replaceFile(state, bad[i].first));
    ASSERT_NO_FATAL_FAILURE(
        waitForError(*peer.process, "the state file " + state + " " + bad[i].second));
    ASSERT_NO_FATAL_FAILURE(waitForError(*peer.process, kept, i + 1));
  }
  ASSERT_EQ(std::remove(state.c_str()), 0);
  ASSERT_NO_FATAL_FAILURE(waitForError(
      *peer.process,
      "quill-peer: cannot read the state file " + state + ": " + std::strerror(ENOENT) + kept));
  EXPECT_TRUE(briefingOf(peer.call(projectArgument("atlas"))).starts_with("Quill briefing: "));
  EXPECT_EQ(peer.readStatus(), previous);

  // A shim that keeps running sees the change on its next call.
  ASSERT_NO_FATAL_FAILURE(replaceFile(state, R"({"enabled": true, "signedIn": true})"));
  Subprocess shim({QUILL_MCP_BINARY}, shimEnvironment(peer.socket, peer.status));
  ASSERT_TRUE(shim.write(shimToolCall(1)));
  EXPECT_NE(shim.readLine().value_or("").find("Quill briefing: Atlas"), std::string::npos);
  ASSERT_NO_FATAL_FAILURE(replaceFile(state, R"({"enabled": true, "signedIn": false})"));
  peer.waitForStatus(true, false, true);
  ASSERT_TRUE(shim.write(shimToolCall(2)));
  EXPECT_EQ(shim.readLine().value_or(""),
            R"({"id":2,"jsonrpc":"2.0","result":{"content":[{"text":"Quill is open but no one )"
            R"(is signed in. Ask the user to sign in to Quill first.","type":"text"}],)"
            R"("isError":true}})");
  EXPECT_EQ(shim.finish().exitStatus, 0);
}

TEST(QuillPeerTests, AccessTurnedOffWhileStillStartingIsInTheStatusForTheShim) {
  TemporaryDirectory directory;
  const std::string state = directory.file("state.json");
  const std::string socket = directory.file("s");
  const std::string status = directory.file("status.json");
  testing::writeFile(state, R"({"enabled": true, "signedIn": true})");
  Subprocess peer({QUILL_PEER_BINARY, "--delay", "3600", "--state", state, "--socket", socket,
                   "--status", status},
                  testing::currentEnvironment());
  ASSERT_NO_FATAL_FAILURE(waitForError(peer, "waiting 3600 seconds before listening\n"));
  EXPECT_FALSE(testing::statusIn(status).has_value()) << "nothing to report yet";

  ASSERT_NO_FATAL_FAILURE(replaceFile(state, R"({"enabled": false, "signedIn": true})"));
  ASSERT_NO_FATAL_FAILURE(waitForError(peer, "state changed: enabled false, signedIn true\n"));
  const auto written = testing::statusIn(status);
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, (MCPStatus{false, true, false, "1.0-peer", written->updatedAt}));

  // A shim that finds no socket reads the status and tells the agent at once.
  const ProcessResult shim =
      testing::runProcess({QUILL_MCP_BINARY}, shimEnvironment(socket, status), shimToolCall(1));
  EXPECT_EQ(shim.out,
            std::get<std::string>(JSONRPC::encodeResponse(
                1, ToolCallResult{std::string(MCPErrors::disabled), true}.jsonValue())) +
                "\n");
  peer.signal(SIGTERM);
  EXPECT_EQ(peer.finish().exitStatus, 0);
}

// ---- Where it listens, and when it stops ---------------------------------------------------

// What may stand at the socket path is the listener's to decide (MCPListenerTests); quill-peer
// says why it does not start, and writes no status.
TEST(QuillPeerTests, RefusesToStartWhenAnythingButItsOwnStaleSocketIsAtThePath) {
  TemporaryDirectory directory;
  const std::string path = directory.file("s");
  std::optional<Peer> running;
  const struct {
    std::function<std::string()> make;  // gives the path to listen on
    std::string reason;
  } cases[] = {
      {[&] { return ::symlink("target", path.c_str()) == 0 ? path : "<no link>"; },
       "a symbolic link is in the way (quill-peer does not follow it)"},
      {[&] { return ::mkdir(path.c_str(), 0700) == 0 ? path : "<no folder>"; },
       "a file that is not a socket is in the way"},
      {[&] { return running.emplace(std::vector<std::string>{}).socket; },
       "another process is already listening there"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(path);
    const std::string at = c.make();
    SCOPED_TRACE(c.reason);
    const ProcessResult result = testing::runProcess(
        {QUILL_PEER_BINARY, "--socket", at, "--status", directory.file("status")},
        testing::currentEnvironment(), "");
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.err, "quill-peer: cannot listen on " + at + ": " + c.reason + "\n");
    EXPECT_FALSE(testing::readFile(directory.file("status")).has_value());
  }
  EXPECT_TRUE(running->ask("tools/list").ok);
}

TEST(QuillPeerTests, StopSignalsRemoveTheSocketAndRecordTheStop) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signal));
    Peer peer({});
    const auto started = peer.readStatus();
    ASSERT_TRUE(started);
    EXPECT_EQ(*started, (MCPStatus{true, true, true, "1.0-peer", started->updatedAt}));
    EXPECT_TRUE(std::regex_match(started->updatedAt, std::regex(kStatusTime)));
    struct stat info {};
    EXPECT_EQ(::lstat(peer.socket.c_str(), &info), 0);
    // Its lock shows that it lives, whether or not it takes connections, until it is gone.
    EXPECT_EQ(ListenerLock::probe(peer.socket), ListenerLock::State::held);

    peer.process->signal(signal);
    const ProcessResult result = peer.process->finish();
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "quill-peer: listening on " + peer.socket + "\nquill-peer: stopped\n");
    EXPECT_NE(::lstat(peer.socket.c_str(), &info), 0) << "the socket is left behind";
    EXPECT_EQ(ListenerLock::probe(peer.socket), ListenerLock::State::free);
    const auto stopped = peer.readStatus();
    ASSERT_TRUE(stopped);
    EXPECT_EQ(*stopped, (MCPStatus{true, true, false, "1.0-peer", stopped->updatedAt}));
  }
}

TEST(QuillPeerTests, StopDuringTheStartDelayLeavesNothingBehind) {
  TemporaryDirectory directory;
  Subprocess process({QUILL_PEER_BINARY, "--delay", "3600", "--socket", directory.file("s"),
                      "--status", directory.file("status")},
                     testing::currentEnvironment());
  // The line comes once the stop signals are handled.
  for (auto deadline = std::chrono::steady_clock::now() + 60s;
       process.errorOutput().find("waiting 3600 seconds") == std::string::npos &&
       std::chrono::steady_clock::now() < deadline;) {
    process.readLine(10ms);
  }
  process.signal(SIGTERM);
  const ProcessResult result = process.finish();
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.err, "quill-peer: waiting 3600 seconds before listening\n");
  struct stat info {};
  EXPECT_NE(::lstat(directory.file("s").c_str(), &info), 0);
  EXPECT_NE(::lstat(directory.file("status").c_str(), &info), 0);
}

TEST(QuillPeerTests, BadStartUpExitsWithStatusTwoAndSaysWhy) {
  TemporaryDirectory directory;
  const std::string file = directory.file("p.json");
  // The arguments after the socket and status options; a projects file is written when given.
  const struct {
    std::vector<std::string> arguments;
    std::string_view projects;
    std::string_view reason;
  } cases[] = {
      {{"--projects", file}, "{\"projects\": [", "is malformed: not valid JSON"},
      {{"--projects", file},
       R"({"projects": [{"name": "A", "facts": [{"text": "t", "source": "s", "match": 101}]}]})",
       "is malformed: projects[0].facts[0].match must be a whole number from 0 to 100\n"},
      {{"--projects", file},
       R"({"projects": [{"name": "Atlas"}, {"name": " atlas"}]})",
       "is malformed: projects[1].name repeats the name of an earlier project (\" atlas\")\n"},
      {{"--projects", file},
       R"({"projects": [{"name": "A", "rule": []}]})",
       "is malformed: projects[0] has an unknown key \"rule\"\n"},
      {{"--projects", "/nonexistent/p.json"}, {}, "cannot read the projects file"},
      {{"--state", file},
       R"({"enabled": true})",
       "is malformed: it must be a JSON object with the booleans \"enabled\" and \"signedIn\"\n"},
      {{"--state", "/nonexistent/state.json"}, {}, "cannot read the state file"},
      {{"--delay", "soon"}, {}, "--delay needs a number of seconds"},
      {{"--socket"}, {}, "the option --socket needs a value"},
      {{"--verbose"}, {}, "unknown option \"--verbose\""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{QUILL_PEER_BINARY, "--socket", directory.file("s"), "--status",
                                  directory.file("st")};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    SCOPED_TRACE(c.reason);
    if (!c.projects.empty()) testing::writeFile(file, c.projects);
    const ProcessResult result = testing::runProcess(argv, testing::currentEnvironment(), "");
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with("quill-peer: ")) << result.err;
    EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
    EXPECT_FALSE(testing::readFile(directory.file("st")).has_value());
  }
  const ProcessResult help =
      testing::runProcess({QUILL_PEER_BINARY, "--help"}, testing::currentEnvironment(), "");
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: quill-peer")) << help.out;
}

}  // namespace
}  // namespace quill
