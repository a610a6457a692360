#include "Diagnosis.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include "FileDescriptor.h"
#include "MCPSocketClient.h"
#include "SocketCredentials.h"
#include "ToolDefinition.h"

namespace quill::doctor {

namespace {

// The shim's own time-out for a tool list, in seconds.
constexpr int kTimeoutSeconds = 5;
constexpr std::string_view kNoLaunchEnvKey = "QUILL_MCP_NO_LAUNCH";

const std::string* lookup(const Environment& environment, std::string_view key) {
  auto found = environment.find(key);
  return found == environment.end() ? nullptr : &found->second;
}

bool isOverridden(const Environment& environment, std::string_view key) {
  const std::string* value = lookup(environment, key);
  return value && !value->empty();
}

// What is at `path`, without following a final symbolic link, and the warnings every path gets.
PathFacts lookAt(std::string path, std::string source) {
  PathFacts facts{std::move(path), std::move(source), "none", std::nullopt, {}};
  if (facts.path.starts_with("~")) {
    facts.warnings.push_back(
        "It starts with \"~\", which nobody expands here: it names a folder "
        "called \"~\" in the working directory. Write the full path.");
  } else if (!facts.path.starts_with("/")) {
    facts.warnings.push_back(
        "It is relative: it depends on the working directory of whatever "
        "starts quill-mcp. Write the full path.");
  }
  struct stat info {};
  if (::lstat(facts.path.c_str(), &info) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      facts.warnings.push_back(std::string("It cannot be examined: ") + std::strerror(errno) + ".");
    }
    return facts;
  }
  facts.kind = S_ISSOCK(info.st_mode)  ? "socket"
               : S_ISREG(info.st_mode) ? "file"
               : S_ISDIR(info.st_mode) ? "folder"
                                       : "other";
  if (info.st_uid != ::geteuid()) {
    facts.foreignOwner = static_cast<unsigned>(info.st_uid);
    facts.warnings.push_back("It belongs to another user (uid " + std::to_string(info.st_uid) +
                             "): a Quill of another account, or a leftover of one.");
  }
  return facts;
}

PathFacts socketFacts(const Environment& environment) {
  const std::string path = MCPPaths::socketPath(environment);
  std::string source(MCPPaths::socketEnvKey);
  if (!isOverridden(environment, MCPPaths::socketEnvKey)) {
    const bool inSupport =
        path.starts_with(MCPPaths::join(MCPPaths::supportDirectory(environment), ""));
    source = inSupport ? "supportFolder" : "temporaryFolder";
  }
  PathFacts facts = lookAt(path, source);
  if (path.size() > MCPPaths::maxSocketPathBytes) {
    facts.warnings.push_back("It is " + std::to_string(path.size()) +
                             " bytes long; a socket path may have at most " +
                             std::to_string(MCPPaths::maxSocketPathBytes) + ".");
  }
  if (facts.kind == "none") {
    facts.warnings.push_back("Nothing is there: Quill is not running, or it listens elsewhere.");
  } else if (facts.kind != "socket") {
    facts.warnings.push_back("It is a " + facts.kind +
                             ", not a socket: Quill cannot listen there.");
  }
  return facts;
}

// Seconds from `text`, an ISO 8601 time such as 2024-05-01T10:00:00Z (fraction and offset
// allowed), to `now`; absent for any other form.
std::optional<long long> secondsSince(const std::string& text, std::time_t now) {
  std::tm parts{};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &parts.tm_year, &parts.tm_mon,
                  &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &consumed) != 6 ||
      consumed != 19) {
    return std::nullopt;
  }
  std::string_view rest = std::string_view(text).substr(19);
  if (rest.starts_with(".")) {
    rest.remove_prefix(1);
    while (!rest.empty() && rest.front() >= '0' && rest.front() <= '9') rest.remove_prefix(1);
  }
  long long offset = 0;
  if (rest.size() == 6 && (rest[0] == '+' || rest[0] == '-') && rest[3] == ':') {
    int hours = 0, minutes = 0;
    if (std::sscanf(text.c_str() + text.size() - 5, "%2d:%2d", &hours, &minutes) != 2) {
      return std::nullopt;
    }
    offset = (rest[0] == '-' ? -1 : 1) * (hours * 3600LL + minutes * 60LL);
  } else if (rest != "Z") {
    return std::nullopt;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  return static_cast<long long>(now) - (static_cast<long long>(::timegm(&parts)) - offset);
}

StatusFacts statusFacts(const Environment& environment) {
  const bool overridden = isOverridden(environment, MCPPaths::statusEnvKey);
  StatusFacts facts{lookAt(MCPPaths::statusFilePath(environment),
                           overridden ? std::string(MCPPaths::statusEnvKey) : "supportFolder"),
                    std::nullopt, "", std::nullopt};
  facts.record = MCPStatus::readFile(facts.file.path);
  if (facts.record) {
    facts.ageSeconds = secondsSince(facts.record->updatedAt, std::time(nullptr));
  } else if (facts.file.kind == "none") {
    facts.problem = "There is no file at this path.";
  } else if (facts.file.kind != "file") {
    facts.problem = "It is a " + facts.file.kind + ", not a file.";
  } else {
    facts.problem = "It is unreadable, larger than " +
                    std::to_string(MCPStatus::maxFileBytes / 1024) +
                    " KiB, or not a JSON object with the five members below.";
  }
  return facts;
}

// The project names that Quill folds into the tool's description, taken out by the rule that
// folds them in; empty when the description names none or has another form.
std::vector<std::string> projectNames(const JSONValue& toolList) {
  const std::string marker = "\x01";
  const std::string folded = ToolDefinition::getContextPacket({marker}).description;
  const std::string_view before = std::string_view(folded).substr(0, folded.find(marker));
  const std::string_view after = std::string_view(folded).substr(before.size() + marker.size());
  const JSONValue* tools = toolList.member("tools");
  for (const JSONValue& tool :
       tools && tools->arrayValue() ? *tools->arrayValue() : JSONValue::Array{}) {
    const JSONValue* name = tool.member("name");
    const JSONValue* description = tool.member("description");
    if (!name || name->stringValue() != ToolDefinition::getContextPacketName || !description) {
      continue;
    }
    const std::string_view text = description->stringValue().value_or("");
    if (text.size() <= before.size() + after.size() || !text.starts_with(before) ||
        !text.ends_with(after)) {
      return {};
    }
    std::string_view names = text.substr(before.size(), text.size() - before.size() - after.size());
    std::vector<std::string> found;
    for (std::size_t comma; (comma = names.find(", ")) != std::string_view::npos;) {
      found.emplace_back(names.substr(0, comma));
      names.remove_prefix(comma + 2);
    }
    found.emplace_back(names);
    return found;
  }
  return {};
}

// What a plain connection attempt to `path` came to: the errno of a failure, or 0 and the user id
// of the listener. A send time-out also bounds the connect where the system allows (Linux, with
// a full backlog).
struct Probe {
  int error = 0;
  std::optional<uid_t> listener;
};

Probe probeConnection(const std::string& path) {
  FileDescriptor connection(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!connection.valid()) return {errno, std::nullopt};
  const timeval timeout{kTimeoutSeconds, 0};
  (void)::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return {ENAMETOOLONG, std::nullopt};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  if (::connect(connection.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
      0) {
    return {errno, std::nullopt};
  }
  return {0, peerUserID(connection.get())};
}

struct ErrorMeaning {
  int number;
  std::string_view name;
  std::string_view meaning;
};
const ErrorMeaning kConnectErrors[] = {
    {ENOENT, "ENOENT",
     "Nothing is at the socket path: Quill is not running, or it listens elsewhere."},
    {ECONNREFUSED, "ECONNREFUSED",
     "Nobody listens there: a socket file left behind by a Quill that stopped, or a file that is "
     "not a socket."},
    {EACCES, "EACCES",
     "Permission denied: the socket, or a folder on its path, is another user's."},
    {EPERM, "EPERM", "Not permitted: the socket, or a folder on its path, is another user's."},
    {ENOTDIR, "ENOTDIR", "A part of the socket path is not a folder."},
    {EAGAIN, "EAGAIN", "Quill did not take the connection in time: it is busy or stuck."},
};

ConnectionFacts connectionFacts(const std::string& socketPath, const Settings& settings) {
  const MCPWireRequest request{
      1, JSONValue(1), "tools/list", settings.clientSlug, std::nullopt, std::nullopt};
  const auto result = MCPSocketClient::roundTrip(socketPath, request, kTimeoutSeconds);
  ConnectionFacts facts;
  if (const auto* response = std::get_if<MCPWireResponse>(&result)) {
    if (!response->ok) {
      facts.quillError = response->error;
      facts.explanation = "Quill is running but refused the tool list.";
    } else if (const JSONValue* tools = response->result ? response->result->member("tools")
                                                          : nullptr;
               tools && tools->arrayValue()) {
      facts.projects = projectNames(*response->result);
    } else {
      facts.explanation = "Quill answered, but not with a tool list.";
    }
    return facts;
  }
  switch (std::get<MCPSocketClient::Failure>(result)) {
    case MCPSocketClient::Failure::connect:
      facts.failure = "connect";
      break;
    case MCPSocketClient::Failure::io:
      facts.failure = "io";
      facts.explanation = "The connection stood, but Quill closed it before answering.";
      return facts;
    case MCPSocketClient::Failure::timeout:
      facts.failure = "timeout";
      facts.explanation = "The connection stood, but Quill did not answer within " +
                          std::to_string(kTimeoutSeconds) + " seconds.";
      return facts;
    case MCPSocketClient::Failure::decode:
      facts.failure = "decode";
      facts.explanation = "Quill answered with a line that is not a response of its protocol.";
      return facts;
  }
  if (socketPath.size() > MCPPaths::maxSocketPathBytes) {
    facts.reason = "ENAMETOOLONG";
    facts.explanation = "The socket path is too long: quill-mcp does not even try to connect.";
    return facts;
  }
  const Probe probe = probeConnection(socketPath);
  const int error = probe.error;
  if (error == 0 && probe.listener && *probe.listener != ::geteuid()) {
    facts.reason = "another user";
    facts.explanation = "The listener there runs as another user (uid " +
                        std::to_string(*probe.listener) +
                        "): quill-mcp talks only to a Quill of its own user.";
    return facts;
  }
  if (error == 0) {
    facts.explanation =
        "The first attempt failed and a second one connected: Quill may be "
        "starting just now. Run quill-mcp-doctor again.";
    return facts;
  }
  facts.reason = "errno " + std::to_string(error);
  facts.explanation = std::strerror(error);
  for (const ErrorMeaning& known : kConnectErrors) {
    if (known.number != error) continue;
    facts.reason = known.name;
    facts.explanation = known.meaning;
  }
  return facts;
}

LauncherFacts launcherFacts(const Environment& environment, const Settings& settings) {
  LauncherFacts facts{settings.launcherPath, settings.appIdentifier, false, "", std::nullopt};
  if (const std::string* value = lookup(environment, kNoLaunchEnvKey)) facts.noLaunch = *value;
  struct stat info {};
  if (::stat(facts.path.c_str(), &info) != 0) {
    facts.problem = "It does not exist.";
  } else if (!S_ISREG(info.st_mode) || ::access(facts.path.c_str(), X_OK) != 0) {
    facts.problem = "It is not an executable file.";
  } else {
    facts.executable = true;
  }
  return facts;
}

// ---- Platform: the path of this program. ----------------------------------------------------
#if defined(__APPLE__)
std::string ownPath() {
  std::uint32_t size = 0;
  (void)_NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) != 0) return {};
  path.resize(std::strlen(path.c_str()));
  return path;
}
#else
std::string ownPath() {
  return "/proc/self/exe";
}
#endif
// ---- End of platform ---------------------------------------------------------------------

}  // namespace

Diagnosis diagnose(const Environment& environment, Settings settings) {
  Diagnosis diagnosis;
  diagnosis.socket = socketFacts(environment);
  diagnosis.status = statusFacts(environment);
  diagnosis.connection = connectionFacts(diagnosis.socket.path, settings);
  if (diagnosis.status.record && diagnosis.status.record->listening &&
      diagnosis.connection.failure == "connect") {
    diagnosis.status.file.warnings.push_back(
        "It says Quill listens, but nobody does at the socket path: the file is stale, or Quill "
        "and quill-mcp use different paths.");
  }
  diagnosis.launcher = launcherFacts(environment, settings);

  const std::unique_ptr<char, decltype(&std::free)> self(::realpath(ownPath().c_str(), nullptr),
                                                         &std::free);
  const std::string_view selfPath = self ? self.get() : "";
  diagnosis.shimPath =
      MCPPaths::join(selfPath.substr(0, selfPath.rfind('/') + 1), QUILL_MCP_FILE_NAME);
  if (!self) {
    diagnosis.shimProblem = "This program cannot find its own folder.";
  } else if (::access(diagnosis.shimPath.c_str(), X_OK) != 0) {
    diagnosis.shimProblem =
        "There is no quill-mcp next to this program: use the path where it "
        "is installed instead.";
  }
  diagnosis.settings = std::move(settings);
  return diagnosis;
}

}  // namespace quill::doctor
