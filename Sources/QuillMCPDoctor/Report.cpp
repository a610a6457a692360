// The doctor's two reports of one diagnosis: plain text for people, JSON for scripts.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "Diagnosis.h"
#include "LineFraming.h"
#include "MCPClientIdentity.h"
#include "UnixSocket.h"

namespace quill::doctor {

namespace {

using Failure = MCPSocketClient::Failure;

struct Client {
  std::string_view title, key, slug;  // no slug: the client names itself in `initialize`
  std::string_view where;             // empty for a command
};
// ---- Platform: where Claude Desktop keeps its registrations. --------------------------------
#if defined(__APPLE__)
#define QUILL_CLAUDE_DESKTOP "~/Library/Application Support/Claude/claude_desktop_config.json"
#else
#define QUILL_CLAUDE_DESKTOP "~/.config/Claude/claude_desktop_config.json"
#endif
// ---- End of platform ---------------------------------------------------------------------
constexpr Client kClients[] = {
    {"Claude Desktop", "claude-desktop", "claude-desktop",
     "under \"mcpServers\" in " QUILL_CLAUDE_DESKTOP ", then restart Claude Desktop"},
    {"Claude Code", "claude-code", "claude-code", ""},
    {"Cursor", "cursor", "cursor", "under \"mcpServers\" in ~/.cursor/mcp.json"},
    {"VS Code", "vscode", "", "under \"servers\" in .vscode/mcp.json of a workspace"},
};

// The names people look up for the errors an exchange meets.
constexpr std::pair<int, std::string_view> kErrorNames[] = {
    {ENOENT, "ENOENT"},   {ECONNREFUSED, "ECONNREFUSED"}, {EACCES, "EACCES"},
    {ENOTDIR, "ENOTDIR"}, {ENAMETOOLONG, "ENAMETOOLONG"}, {EINVAL, "EINVAL"},
    {EPERM, "EPERM"},     {ETIMEDOUT, "ETIMEDOUT"},       {EMSGSIZE, "EMSGSIZE"},
    {EPIPE, "EPIPE"},     {ECONNRESET, "ECONNRESET"},
};

// `text` with control characters shown as "?": texts from the environment, the status file or
// Quill must not break a line of the report or steer the terminal.
std::string shown(std::string_view text) {
  std::string safe(text);
  for (char& c : safe) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return safe;
}

// `text` as one word for a POSIX shell.
std::string shellWord(std::string_view text) {
  if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789/._-+:@%,=") == std::string_view::npos) {
    return std::string(text);
  }
  std::string word = "'";
  for (char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

// The registration of quill-mcp for `client`, carrying the overrides in force: the value of
// "quill" among the client's servers, or a command.
JSONValue registration(const Diagnosis& d, const Client& client) {
  if (client.where.empty()) {
    std::string line = "claude mcp add --scope user quill";
    for (const auto& [key, value] : d.overrides) line += " -e " + shellWord(key + "=" + value);
    return line + " -- " + shellWord(d.shimPath) + " --client " + std::string(client.slug);
  }
  std::vector<std::pair<std::string, JSONValue>> entry{{"command", d.shimPath}};
  entry.emplace_back("args", client.slug.empty() ? JSONValue::array({})
                                                 : JSONValue::array({"--client", client.slug}));
  if (client.slug.empty()) entry.emplace_back("type", "stdio");
  if (!d.overrides.empty()) {
    entry.emplace_back("env", JSONValue::object({d.overrides.begin(), d.overrides.end()}));
  }
  return JSONValue::object(std::move(entry));
}

// Where a path came from: for scripts, and for people.
std::string source(const PathFacts& facts, std::string_view overrideKey, bool forPeople) {
  switch (facts.location.rule) {
    case MCPPaths::Rule::override:
      return std::string(overrideKey);
    case MCPPaths::Rule::supportFolder:
      return forPeople ? "the default in Quill's support folder" : "supportFolder";
    case MCPPaths::Rule::fallback:
      break;
  }
  if (!forPeople) return "temporaryFolder";
  return "the temporary folder, as the path in Quill's support folder would be longer than " +
         std::to_string(MCPPaths::maxSocketPathBytes) + " bytes";
}

std::string runtimeFolderText(const PathFacts& facts) {
  constexpr std::string_view kTexts[] = {"not set",        "not an absolute path",
                                         "not there",      "not a folder",
                                         "another user's", "writable by others"};
  const auto& problem = facts.location.runtimeFolderProblem;
  return problem ? "XDG_RUNTIME_DIR is " + std::string(kTexts[static_cast<int>(*problem)]) : "";
}

void addPath(std::string& out, const PathFacts& facts, std::string_view overrideKey) {
  out += "  path: " + shown(facts.location.path) + "\n  from: " + source(facts, overrideKey, true) +
         "\n";
  if (const std::string text = runtimeFolderText(facts); !text.empty()) {
    out += "  not in the user's runtime folder: " + text + "\n";
  }
  for (const std::string& warning : facts.warnings) out += "  warning: " + warning + "\n";
}

std::string statusProblem(const StatusFacts& status) {
  const auto* failure = std::get_if<MCPStatus::ReadFailure>(&status.read);
  if (!failure) return {};
  switch (failure->reason) {
    using enum MCPStatus::ReadFailure::Reason;
    case absent:
      return "There is no file at this path.";
    case unreadable:
      return std::string("It cannot be read: ") + std::strerror(failure->error) + ".";
    case notRegularFile:
      return "It is a " + status.file.kind + ", not a file.";
    case tooLarge:
      return "It is larger than 64 KiB, as no status file is.";
    case notJSON:
      return "It is not JSON.";
    case wrongMembers:
      break;
  }
  return "It is not an object with the members enabled, signedIn and listening (true or false), "
         "and version and updatedAt (texts).";
}

// Why no tool list came back, for people; empty when one did.
std::string explanation(const Diagnosis& d) {
  const ConnectionFacts& c = d.connection;
  if (c.toolList) return {};
  if (c.quillError) return "Quill is running but refused the tool list.";
  if (c.answeredOther) return "Quill answered, but not with a tool list that a client accepts.";
  const Failure& f = *c.failure;
  // How it ended: " within 5 seconds.", or ": " and the system's words.
  const std::string why = f.error == ETIMEDOUT ? std::string(" within 5 seconds.")
                                               : ": " + std::string(std::strerror(f.error)) + ".";
  if (c.busy) {
    const std::string lock = shown(ListenerLock::lockPath(d.socket.location.path));
    return "Quill " +
           (f.error == ETIMEDOUT ? "did not take the connection within 5 seconds"
                                 : "runs (it holds " + lock + ") but turns the connection away") +
           ": it is busy or stuck.";
  }
  switch (f.step) {
    case Failure::Step::connect:
      if (f.listenerUser) {
        return "The listener there runs as another user (uid " + std::to_string(*f.listenerUser) +
               "): quill-mcp talks only to a Quill of its own user.";
      }
      if (f.error == ECONNREFUSED) {
        return "Nobody listens there: a socket file left behind by a Quill that stopped, or a "
               "file that is not a socket.";
      }
      return std::string(std::strerror(f.error)) + ".";
    case Failure::Step::send:
      return "Quill took the connection but not the request" + why;
    case Failure::Step::receive:
      if (f.error == 0) return "The connection stood, but Quill closed it before answering.";
      if (f.error == EMSGSIZE) {
        return "Quill answered with a line longer than the " +
               std::to_string(LineFraming::maxLineBytes >> 20) + " MiB that quill-mcp reads.";
      }
      return "The connection stood, but Quill did not answer" + why;
    case Failure::Step::decode:
      break;
  }
  return "Quill answered with a line that is not a response of its protocol.";
}

// The system's reason: the errno's name, or "another user" for a listener of another user.
std::string reason(const ConnectionFacts& c) {
  if (!c.failure || c.failure->error == 0) return {};
  if (c.failure->listenerUser) return "another user";
  for (const auto& [number, name] : kErrorNames) {
    if (number == c.failure->error) return std::string(name);
  }
  return "errno " + std::to_string(c.failure->error);
}

std::string kindName(const Failure& failure) {
  constexpr std::string_view kNames[] = {"connect", "io", "timeout", "decode"};
  return std::string(kNames[static_cast<int>(failure.kind())]);
}

std::string flag(std::string_view name, bool value, std::string_view yes, std::string_view no) {
  return "  " + std::string(name) + ": " + (value ? "true (" : "false (") +
         std::string(value ? yes : no) + ")\n";
}

std::string age(std::optional<long long> seconds) {
  if (!seconds) return "not a time this program reads";
  if (*seconds < 0) return "in the future: the clocks disagree";
  constexpr std::pair<long long, std::string_view> kUnits[] = {
      {86400, "day"}, {3600, "hour"}, {60, "minute"}, {1, "second"}};
  const auto& [size, name] =
      *std::find_if(std::begin(kUnits), std::end(kUnits),
                    [&](const auto& unit) { return *seconds >= unit.first || unit.first == 1; });
  const long long count = *seconds / size;
  return std::to_string(count) + " " + std::string(name) + (count == 1 ? "" : "s") + " ago";
}

std::string noLaunchText(const std::optional<std::string>& value) {
  if (value == "1") return "1: quill-mcp never starts Quill; start it yourself";
  const std::string starts = "quill-mcp starts Quill once when it cannot reach it";
  return value ? "\"" + *value + "\" (only 1 forbids starting): " + starts : "not set: " + starts;
}

std::string verdict(const Diagnosis& d) {
  if (d.action.first == "none") return "an agent can reach Quill.";
  std::string action = d.action.second;
  if (d.action.first == "register") {
    action += "; for Claude Code: " + std::string(*registration(d, kClients[1]).stringValue());
  }
  return std::string(d.toolListReceived() ? "Quill answers." : "an agent cannot reach Quill.") +
         " First, " + action + ".";
}

template <typename Value>
JSONValue orNull(const std::optional<Value>& value) {
  return value ? JSONValue(*value) : JSONValue();
}
JSONValue orNull(const std::string& text) {
  return text.empty() ? JSONValue() : JSONValue(text);
}

JSONValue pathJSON(const PathFacts& facts, std::string_view overrideKey,
                   std::vector<std::pair<std::string, JSONValue>> more) {
  more.insert(
      more.end(),
      {{"path", facts.location.path},
       {"source", source(facts, overrideKey, false)},
       {"runtimeFolderProblem", orNull(runtimeFolderText(facts))},
       {"kind", facts.kind},
       {"foreignOwner", orNull(facts.foreignOwner)},
       {"warnings", JSONValue(JSONValue::Array(facts.warnings.begin(), facts.warnings.end()))}});
  return JSONValue::object(std::move(more));
}

}  // namespace

std::string textReport(const Diagnosis& d) {
  std::string out = "quill-mcp-doctor " + d.settings.version + "\n\nSocket\n";
  addPath(out, d.socket, MCPPaths::socketEnvKey);

  out += "\nStatus file\n";
  addPath(out, d.status.file, MCPPaths::statusEnvKey);
  if (const auto* record = std::get_if<MCPStatus>(&d.status.read)) {
    out += flag("enabled", record->enabled, "agent access is on", "agent access is off");
    out += flag("signedIn", record->signedIn, "someone is signed in", "nobody is signed in");
    out += flag("listening", record->listening, "Quill says it listens on its socket",
                "Quill says it does not listen");
    out += "  version: " + shown(record->version) + "\n";
    out += "  updatedAt: " + shown(record->updatedAt) + " (" + age(d.status.ageSeconds) + ")\n";
  } else {
    out += "  not read: " + statusProblem(d.status) + "\n";
  }

  out += "\nConnection (a tool list, asked for as quill-mcp asks)\n";
  const ConnectionFacts& connection = d.connection;
  if (connection.failure) out += "  failure: " + kindName(*connection.failure) + "\n";
  if (const std::string why = reason(connection); !why.empty()) out += "  reason: " + why + "\n";
  if (connection.quillError) {
    out += "  Quill answered \"" + std::string(rawValue(connection.quillError->code)) +
           "\": " + shown(connection.quillError->message) + "\n";
  }
  if (const std::string text = explanation(d); !text.empty()) out += "  " + text + "\n";
  if (connection.toolList) {
    out += "  a tool list came back\n";
    for (const JSONValue& tool : *connection.toolList->member("tools")->arrayValue()) {
      const JSONValue* description = tool.member("description");
      out += "  " + shown(*tool.member("name")->stringValue()) + ": " +
             shown(description ? *description->stringValue() : "(no description)") + "\n";
    }
  }

  out += "\nLauncher (never started by this program)\n  path: " + d.settings.launcherPath + "\n";
  if (!d.launcherProblem.empty()) out += "  warning: " + d.launcherProblem + "\n";
  out += "  identifier: " + d.settings.appIdentifier + "\n";
  out += "  QUILL_MCP_NO_LAUNCH: " + noLaunchText(d.noLaunch) + "\n";

  if (const auto& slug = d.settings.clientSlug) {
    const MCPClientIdentity identity = MCPClientIdentity::resolve(*slug, std::nullopt);
    out += "\nClient\n  --client " + shown(*slug) + ": Quill shows \"" + shown(identity.actor) +
           "\" working in \"" + shown(identity.surface) + "\"\n";
  }

  out += "\nRegistered with clients\n";
  for (const Registration& entry : d.registrations) {
    out += "  " + entry.client + " (" + entry.scope + "), \"" + shown(entry.name) + "\" in " +
           shown(entry.file) + ":\n    command: " + shown(entry.command) + "\n";
    if (entry.slug) out += "    --client " + shown(*entry.slug) + "\n";
    for (const auto& [key, value] : entry.environment) {
      out += "    env: " + shown(key + "=" + value) + "\n";
    }
    if (entry.commandProblem.empty() && entry.version) {
      out += "    answers as quill-mcp " + shown(*entry.version) + ", as this program is\n";
    }
    for (const std::string* problem : {&entry.commandProblem, &entry.problem}) {
      if (!problem->empty()) out += "    warning: " + shown(*problem) + ".\n";
    }
  }
  for (const UnusableFile& file : d.unusableFiles) {
    out += "  " + file.client + ": " + shown(file.file) + " " + shown(file.problem) + "\n";
  }
  if (d.registrations.empty() && d.unusableFiles.empty()) {
    out += "  none, in the files of Claude Desktop, Claude Code, Cursor, VS Code and Windsurf\n";
  }

  out += "\nRegistration of " + shown(d.shimPath) + "\n";
  if (!d.shimProblem.empty()) out += "  warning: " + d.shimProblem + "\n";
  for (const Client& client : kClients) {
    const JSONValue entry = registration(d, client);
    out += "  " + std::string(client.title) +
           (client.where.empty() ? "" : ", " + std::string(client.where)) + ":\n    " +
           (entry.stringValue() ? std::string(*entry.stringValue())
                                : "\"quill\": " + entry.encodedData().value_or("{}")) +
           "\n";
  }

  return out + "\nVerdict: " + verdict(d) + "\n";
}

JSONValue jsonReport(const Diagnosis& d) {
  const ConnectionFacts& connection = d.connection;
  JSONValue quillError, identity;
  if (connection.quillError) {
    quillError = JSONValue::object({{"code", rawValue(connection.quillError->code)},
                                    {"message", connection.quillError->message}});
  }
  if (const auto& slug = d.settings.clientSlug) {
    const MCPClientIdentity resolved = MCPClientIdentity::resolve(*slug, std::nullopt);
    identity = JSONValue::object(
        {{"slug", *slug}, {"actor", resolved.actor}, {"surface", resolved.surface}});
  }
  std::vector<std::pair<std::string, JSONValue>> lines{{"shim", d.shimPath},
                                                       {"problem", orNull(d.shimProblem)}};
  for (const Client& client : kClients) lines.emplace_back(client.key, registration(d, client));
  JSONValue::Array registered, unusable;
  for (const Registration& entry : d.registrations) {
    registered.push_back(JSONValue::object(
        {{"client", entry.client},
         {"scope", entry.scope},
         {"file", entry.file},
         {"name", entry.name},
         {"command", entry.command},
         {"commandProblem", orNull(entry.commandProblem)},
         {"slug", orNull(entry.slug)},
         {"environment", JSONValue::object({entry.environment.begin(), entry.environment.end()})},
         {"version", orNull(entry.version)},
         {"problem", orNull(entry.problem)}}));
  }
  for (const UnusableFile& file : d.unusableFiles) {
    unusable.push_back(JSONValue::object(
        {{"client", file.client}, {"file", file.file}, {"problem", file.problem}}));
  }
  const auto* record = std::get_if<MCPStatus>(&d.status.read);
  constexpr std::string_view kSteps[] = {"connect", "send", "receive", "decode"};
  return JSONValue::object({
      {"version", d.settings.version},
      {"toolList", d.toolListReceived()},
      {"socket", pathJSON(d.socket, MCPPaths::socketEnvKey, {})},
      {"status", pathJSON(d.status.file, MCPPaths::statusEnvKey,
                          {{"record", record ? record->jsonValue() : JSONValue()},
                           {"problem", orNull(statusProblem(d.status))},
                           {"ageSeconds", orNull(d.status.ageSeconds)}})},
      {"connection",
       JSONValue::object({
           {"failure", connection.failure ? JSONValue(kindName(*connection.failure)) : JSONValue()},
           {"step", connection.failure
                        ? JSONValue(kSteps[static_cast<int>(connection.failure->step)])
                        : JSONValue()},
           {"reason", orNull(reason(connection))},
           {"busy", connection.busy},
           {"explanation", orNull(explanation(d))},
           {"quillError", quillError},
           // No longer read out of the tool's description, which may hold any name: see "tools".
           {"projects", JSONValue()},
           {"tools", connection.toolList ? *connection.toolList->member("tools") : JSONValue()},
       })},
      {"launcher", JSONValue::object({{"path", d.settings.launcherPath},
                                      {"identifier", d.settings.appIdentifier},
                                      {"executable", d.launcherProblem.empty()},
                                      {"problem", orNull(d.launcherProblem)},
                                      {"noLaunch", orNull(d.noLaunch)}})},
      {"client", identity},
      {"registration", JSONValue::object(std::move(lines))},
      {"registered", JSONValue(std::move(registered))},
      {"unusableFiles", JSONValue(std::move(unusable))},
      {"verdict", JSONValue::object({{"action", d.action.first}, {"text", verdict(d)}})},
  });
}

}  // namespace quill::doctor
