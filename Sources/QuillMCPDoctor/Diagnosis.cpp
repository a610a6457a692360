#include "Diagnosis.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <thread>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include "ISOTime.h"
#include "MCPCommandLine.h"
#include "ToolResultShapes.h"
#include "UnixSocket.h"

namespace quill::doctor {

namespace {

// The shim's own time-out for a tool list, in seconds: it bounds the whole exchange.
constexpr double kTimeoutSeconds = 5;
// How long the registered programs have to answer, side by side with the tool list.
constexpr double kAskSeconds = 4;

// What is at the location, following a final link as quill-mcp does, and the warnings every path
// gets.
PathFacts lookAt(MCPPaths::Location location) {
  PathFacts facts{std::move(location), "none", std::nullopt, {}};
  const std::string& path = facts.location.path;
  if (path.starts_with("~")) {
    facts.warnings.push_back(
        "It starts with \"~\", which nobody expands here: it names a folder "
        "called \"~\" in the working directory. Write the full path.");
  } else if (!path.starts_with("/")) {
    facts.warnings.push_back(
        "It is relative: it depends on the working directory of whatever "
        "starts quill-mcp. Write the full path.");
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) {
      facts.kind = ::lstat(path.c_str(), &info) == 0 ? "link" : "none";
    } else {
      facts.kind = "unknown";
      facts.warnings.push_back(std::string("It cannot be examined: ") + std::strerror(error) + ".");
    }
    return facts;
  }
  facts.kind = S_ISSOCK(info.st_mode)   ? "socket"
               : S_ISREG(info.st_mode)  ? "file"
               : S_ISDIR(info.st_mode)  ? "folder"
               : S_ISFIFO(info.st_mode) ? "FIFO"
                                        : "device";
  if (info.st_uid != ::geteuid()) {
    facts.foreignOwner = static_cast<unsigned>(info.st_uid);
    facts.warnings.push_back("It belongs to another user (uid " + std::to_string(info.st_uid) +
                             "): a Quill of another account, or a leftover of one.");
  }
  return facts;
}

PathFacts socketFacts(const Environment& environment) {
  PathFacts facts = lookAt(MCPPaths::socketLocation(environment));
  const std::string& path = facts.location.path;
  if (path.size() > MCPPaths::maxSocketPathBytes) {
    facts.warnings.push_back("It is " + std::to_string(path.size()) +
                             " bytes long; a socket path may have at most " +
                             std::to_string(MCPPaths::maxSocketPathBytes) + ".");
  }
  if (facts.kind == "none" || facts.kind == "link") {
    facts.warnings.push_back(
        std::string(facts.kind == "link" ? "It is a link to nothing" : "Nothing is there") +
        ": Quill is not running, or it listens elsewhere.");
  } else if (facts.kind != "socket" && facts.kind != "unknown") {
    facts.warnings.push_back("It is a " + facts.kind +
                             ", not a socket: Quill cannot listen there.");
  }
  return facts;
}

StatusFacts statusFacts(const Environment& environment) {
  const auto location = MCPPaths::statusFileLocation(environment);
  StatusFacts facts{lookAt(location), MCPStatus::readFile(location.path), std::nullopt};
  if (const auto* record = std::get_if<MCPStatus>(&facts.read)) {
    if (const auto when = ISOTime::secondsSinceEpoch(record->updatedAt)) {
      facts.ageSeconds = static_cast<long long>(std::time(nullptr)) - *when;
    }
  }
  return facts;
}

ConnectionFacts connectionFacts(const std::string& socketPath, const Settings& settings) {
  using Reason = MCPSocketClient::Reason;
  const MCPWireRequest request{
      1, JSONValue(1), "tools/list", settings.clientSlug, std::nullopt, std::nullopt};
  auto result = MCPSocketClient::roundTrip(socketPath, request, kTimeoutSeconds);
  ConnectionFacts facts;
  if (const auto* failure = std::get_if<MCPSocketClient::Failure>(&result)) {
    facts.failure = *failure;
    // A connection turned away while the listener's lock is held is a Quill too busy to take
    // it, not one that has gone.
    facts.busy = failure->reason == Reason::notAccepted ||
                 (failure->reason == Reason::refused &&
                  ListenerLock::probe(socketPath) == ListenerLock::State::held);
    return facts;
  }
  auto& response = std::get<MCPWireResponse>(result);
  if (!response.ok) facts.quillError = response.error;
  if (response.ok && response.result && isAcceptedToolListResult(*response.result)) {
    facts.toolList = std::move(response.result);
  }
  return facts;
}

// What Quill needs, if anything, before an agent can reach it.
std::optional<Action> quillAction(const Diagnosis& d) {
  using Reason = MCPSocketClient::Reason;
  const ConnectionFacts& connection = d.connection;
  const auto reason = connection.failure ? std::optional(connection.failure->reason) : std::nullopt;
  if (reason && MCPSocketClient::kindOf(*reason) == MCPSocketClient::Kind::connect &&
      !connection.busy) {
    const std::string& kind = d.socket.kind;
    if ((reason == Reason::nothingThere || reason == Reason::refused) &&
        (kind == "socket" || kind == "none" || kind == "link")) {
      return Action{"openQuill", "open Quill"};
    }
    return Action{"fixSocketPath",
                  "give quill-mcp a socket path where Quill of this user can listen (see Socket "
                  "above)"};
  }
  const auto code =
      connection.quillError ? std::optional(connection.quillError->code) : std::nullopt;
  if (code == MCPWireErrorCode::disabled) {
    return Action{"enableAccess", "turn on agent access in Quill \u2192 Settings \u2192 Agents"};
  }
  if (code == MCPWireErrorCode::signedOut) return Action{"signIn", "sign in to Quill"};
  if (!connection.toolList) return Action{"restartQuill", "quit Quill and open it again"};
  return std::nullopt;
}

// In the order that unblocks the next: a client must be able to start quill-mcp before Quill's
// state matters to it.
std::vector<Action> actions(const Diagnosis& d) {
  std::vector<Action> all;
  for (const Registration& entry : d.registrations) {
    if (entry.broken) all.push_back(fixFor(entry, d));
  }
  std::string read;
  for (const ClientFile& file : d.files) {
    read += (read.empty() ? "" : ", ") + file.file;
    if (file.problem) {
      all.push_back(
          {"fixFile", "fix " + file.file + " for " + file.client + ": it " + *file.problem});
    }
  }
  if (d.registrations.empty()) {
    const auto claudeCode =
        std::find_if(d.registering.begin(), d.registering.end(),
                     [](const Action& how) { return how.kind == "claude-code"; });
    all.push_back({"register",
                   "register quill-mcp with your client (" +
                       (read.empty() ? std::string("no client's file was found")
                                     : "none of the files read names it: " + read) +
                       "); for Claude Code, run:",
                   claudeCode->lines});
  }
  if (auto quill = quillAction(d)) all.push_back(std::move(*quill));
  return all;
}

// ---- Platform: the path of this program. ----------------------------------------------------
std::string ownPath() {
#if defined(__APPLE__)
  std::uint32_t size = 0;
  (void)_NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) != 0) return {};
  path.resize(std::strlen(path.c_str()));
  return path;
#else
  return "/proc/self/exe";
#endif
}
// ---- End of platform ---------------------------------------------------------------------

}  // namespace

int Diagnosis::exitStatus() const {
  for (const Registration& entry : registrations) {
    if (entry.broken) return 3;
  }
  for (const ClientFile& file : files) {
    if (file.problem) return 3;
  }
  return toolListReceived() ? 0 : 1;
}

Diagnosis diagnose(const Environment& environment, Settings settings) {
  Diagnosis diagnosis;
  diagnosis.socket = socketFacts(environment);
  diagnosis.status = statusFacts(environment);
  if (auto launcher = runnableFile(settings.launcherPath); failed(launcher)) {
    diagnosis.launcherProblem = problemText(settings.launcherPath, *failed(launcher)) + ".";
  }
  if (auto found = environment.find(MCPCommandLine::noLaunchEnvKey); found != environment.end()) {
    diagnosis.noLaunch = found->second;
  }
  char self[PATH_MAX];
  const std::string_view selfPath = ::realpath(ownPath().c_str(), self) ? self : "";
  diagnosis.shimPath =
      MCPPaths::join(selfPath.substr(0, selfPath.rfind('/') + 1), QUILL_MCP_FILE_NAME);
  if (selfPath.empty()) {
    diagnosis.shimProblem = "This program cannot find its own folder.";
  } else if (failed(runnableFile(diagnosis.shimPath))) {
    diagnosis.shimProblem =
        "There is no quill-mcp next to this program: use the path where it is installed instead.";
  }
  for (std::string_view key :
       {MCPPaths::socketEnvKey, MCPPaths::statusEnvKey, MCPCommandLine::noLaunchEnvKey}) {
    if (auto found = environment.find(key); found != environment.end() && !found->second.empty()) {
      diagnosis.overrides.emplace_back(key, found->second);
    }
  }
  findRegistrations(environment, diagnosis);

  // Quill is asked while the registered programs are: the whole run takes as long as the longer.
  std::thread asking([&] { checkRegistrations(settings.version, kAskSeconds, diagnosis); });
  diagnosis.connection = connectionFacts(diagnosis.socket.location.path, settings);
  asking.join();

  const auto* record = std::get_if<MCPStatus>(&diagnosis.status.read);
  const auto& failure = diagnosis.connection.failure;
  if (record && record->listening && failure && !diagnosis.connection.busy &&
      MCPSocketClient::kindOf(failure->reason) == MCPSocketClient::Kind::connect) {
    diagnosis.status.file.warnings.push_back(
        "It says Quill listens, but nobody does at the socket path: the file is stale, or Quill "
        "and quill-mcp use different paths.");
  }
  diagnosis.settings = std::move(settings);
  diagnosis.actions = actions(diagnosis);
  return diagnosis;
}

}  // namespace quill::doctor
