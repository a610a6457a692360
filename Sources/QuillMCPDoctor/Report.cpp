// The findings as one JSON object, and the text for people read from it.
#include <algorithm>
#include <cstring>
#include <string>

#include "Diagnosis.h"
#include "MCPClientIdentity.h"
#include "UnixSocket.h"

namespace quill::doctor {

namespace {

using Reason = MCPSocketClient::Reason;

// Every reason an exchange with Quill may fail for: its name for scripts, and what it means.
struct ReasonText {
  Reason reason;
  std::string_view name, meaning;
};
constexpr ReasonText kReasons[] = {
    {Reason::badPath, "badPath", "The path cannot name a socket file (see Socket above)."},
    {Reason::nothingThere, "nothingThere", "There is no socket file at the path."},
    {Reason::refused, "refused",
     "Nobody listens there: a socket file left behind by a Quill that stopped, or a file that is "
     "not a socket."},
    {Reason::connectFailed, "connectFailed", "quill-mcp cannot connect there"},
    {Reason::otherUser, "otherUser",
     "The listener there runs as another user: quill-mcp talks only to a Quill of its own user."},
    {Reason::notAccepted, "notAccepted",
     "Quill did not take the connection within 5 seconds: it is busy or stuck."},
    {Reason::sendFailed, "sendFailed", "Quill took the connection but not the request"},
    {Reason::closedEarly, "closedEarly",
     "The connection stood, but Quill closed it before answering"},
    {Reason::timedOut, "timedOut",
     "The connection stood, but Quill did not answer within 5 seconds."},
    {Reason::lineTooLong, "lineTooLong",
     "Quill answered with a line longer than the 16 MiB that quill-mcp reads."},
    {Reason::notAResponse, "notAResponse",
     "Quill answered with a line that is not a response of its protocol."},
};

const ReasonText& textOf(Reason reason) {
  return *std::find_if(std::begin(kReasons), std::end(kReasons),
                       [&](const ReasonText& text) { return text.reason == reason; });
}

// Why no tool list came back, for people; empty when one did.
std::string explanation(const Diagnosis& d) {
  const ConnectionFacts& c = d.connection;
  if (c.toolList) return {};
  if (c.quillError) return "Quill is running but refused the tool list.";
  if (!c.failure) return "Quill answered, but not with a tool list that a client accepts.";
  if (c.busy && c.failure->reason == Reason::refused) {
    return "Quill runs (it holds " + ListenerLock::lockPath(d.socket.location.path) +
           ") but turns the connection away: it is busy or stuck.";
  }
  std::string meaning(textOf(c.failure->reason).meaning);
  if (meaning.ends_with(".")) return meaning;
  if (c.failure->error == ETIMEDOUT) return meaning + " within 5 seconds.";
  if (c.failure->error == 0) return meaning + ".";
  return meaning + ": " + std::strerror(c.failure->error) + ".";
}

std::string runtimeFolderText(const PathFacts& facts) {
  constexpr std::string_view kTexts[] = {"not set",        "not an absolute path",
                                         "not there",      "not a folder",
                                         "another user's", "writable by others"};
  const auto& problem = facts.location.runtimeFolderProblem;
  return problem ? "XDG_RUNTIME_DIR is " + std::string(kTexts[static_cast<int>(*problem)]) : "";
}

std::string statusProblem(const StatusFacts& status) {
  const auto* failure = failed(status.read);
  if (!failure) return {};
  switch (failure->reason) {
    using enum MCPStatus::Reason;
    case absent:
      return "There is no file at this path.";
    case unreadable:
      return std::string("It cannot be read: ") + std::strerror(failure->error) + ".";
    case notRegularFile:
      return "It is a " + status.file.kind + ", not a file.";
    case tooLarge:
      return "It is larger than 64 KiB, as no status file is.";
    case notJSON:
      return "It is not JSON: " + failure->detail + ".";
    case wrongMembers:
      break;
  }
  return "It is not an object with the members enabled, signedIn and listening (true or false), "
         "and version and updatedAt (texts).";
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

template <typename Value>
JSONValue orNull(const std::optional<Value>& value) {
  return value ? JSONValue(*value) : JSONValue();
}
JSONValue orNull(const std::string& text) {
  return text.empty() ? JSONValue() : JSONValue(text);
}
JSONValue list(const std::vector<std::string>& texts) {
  return JSONValue(JSONValue::Array(texts.begin(), texts.end()));
}
JSONValue variables(const Variables& pairs) {
  return JSONValue(JSONValue::Object::collect({pairs.begin(), pairs.end()}));
}

JSONValue pathJSON(const PathFacts& facts, std::vector<std::pair<std::string, JSONValue>> more) {
  constexpr std::string_view kSources[] = {"override", "supportFolder", "temporaryFolder"};
  more.insert(more.end(), {{"path", facts.location.path},
                           {"source", kSources[static_cast<int>(facts.location.rule)]},
                           {"runtimeFolderProblem", orNull(runtimeFolderText(facts))},
                           {"kind", facts.kind},
                           {"foreignOwner", orNull(facts.foreignOwner)},
                           {"warnings", list(facts.warnings)}});
  return JSONValue::object(std::move(more));
}

std::string verdictSummary(const Diagnosis& d) {
  if (d.actions.empty()) return "an agent can reach Quill.";
  return d.toolListReceived() ? "Quill answers." : "an agent cannot reach Quill.";
}

// ---- Text, read from the JSON ----------------------------------------------------------------

// `text` with control characters shown as "?": texts from files, the environment or Quill must
// not break a line of the report or steer the terminal.
std::string shown(std::string_view text) {
  std::string safe(text);
  for (char& c : safe) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return safe;
}

// The member `key` of `object`; null when it has none.
const JSONValue& at(const JSONValue& object, std::string_view key) {
  static const JSONValue null;
  const JSONValue* found = object.member(key);
  return found ? *found : null;
}
std::string text(const JSONValue& value) {
  return shown(value.stringValue().value_or(""));
}
std::string text(const JSONValue& object, std::string_view key) {
  return text(at(object, key));
}
// The elements of the member `key` of `object`; none when it is not an array.
const JSONValue::Array& elements(const JSONValue& object, std::string_view key) {
  static const JSONValue::Array none;
  const JSONValue::Array* found = at(object, key).arrayValue();
  return found ? *found : none;
}

struct Writer {
  std::string out;

  // The text of the member `key` between `label` and `after`, as a line, unless it is null.
  void line(std::string_view label, const JSONValue& object, std::string_view key,
            std::string_view after = "") {
    if (at(object, key).isNull()) return;
    out += std::string(label) + text(object, key) + std::string(after) + "\n";
  }
  // One line for each text in the member `key`, after `label`.
  void lines(std::string_view label, const JSONValue& object, std::string_view key) {
    for (const JSONValue& value : elements(object, key)) {
      out += std::string(label) + text(value) + "\n";
    }
  }
};

void pathText(Writer& w, std::string_view title, const JSONValue& path, std::string_view key) {
  const auto source = at(path, "source").stringValue();
  std::string from(key);
  if (source == "supportFolder") from = "the default in Quill's support folder";
  if (source == "temporaryFolder") {
    from =
        "the temporary folder, as the path in Quill's support folder would be longer than 103 "
        "bytes";
  }
  w.out +=
      "\n" + std::string(title) + "\n  path: " + text(path, "path") + "\n  from: " + from + "\n";
  w.line("  not in the user's runtime folder: ", path, "runtimeFolderProblem");
  w.lines("  warning: ", path, "warnings");
}

}  // namespace

JSONValue jsonReport(const Diagnosis& d) {
  const ConnectionFacts& connection = d.connection;
  JSONValue quillError, identity, failure, reason, error;
  if (connection.quillError) {
    quillError = JSONValue::object({{"code", rawValue(connection.quillError->code)},
                                    {"message", connection.quillError->message}});
  }
  if (connection.failure) {
    constexpr std::string_view kKinds[] = {"connect", "io", "timeout", "decode"};
    failure = kKinds[static_cast<int>(MCPSocketClient::kindOf(connection.failure->reason))];
    reason = textOf(connection.failure->reason).name;
    if (connection.failure->error) error = std::strerror(connection.failure->error);
  }
  if (const auto& slug = d.settings.clientSlug) {
    const MCPClientIdentity resolved = MCPClientIdentity::resolve(*slug, std::nullopt);
    identity = JSONValue::object(
        {{"slug", *slug}, {"actor", resolved.actor}, {"surface", resolved.surface}});
  }
  JSONValue::Array registered, files;
  for (const Registration& entry : d.registrations) {
    registered.push_back(JSONValue::object({{"client", entry.client},
                                            {"scope", entry.scope},
                                            {"file", entry.file},
                                            {"name", entry.name},
                                            {"command", entry.command},
                                            {"arguments", list(entry.arguments)},
                                            {"slug", orNull(entry.slug)},
                                            {"environment", variables(entry.environment)},
                                            {"remote", entry.remote},
                                            {"program", orNull(entry.program)},
                                            {"broken", orNull(entry.broken)},
                                            {"notRun", orNull(entry.notRun)},
                                            {"version", orNull(entry.version)},
                                            {"warnings", list(entry.warnings)}}));
  }
  for (const ClientFile& file : d.files) {
    files.push_back(JSONValue::object(
        {{"client", file.client}, {"file", file.file}, {"problem", orNull(file.problem)}}));
  }
  auto actionsJSON = [](const std::vector<Action>& all) {
    JSONValue::Array array;
    for (const Action& action : all) {
      array.push_back(JSONValue::object(
          {{"kind", action.kind}, {"text", action.text}, {"lines", list(action.lines)}}));
    }
    return JSONValue(std::move(array));
  };
  const auto* record = std::get_if<MCPStatus>(&d.status.read);
  return JSONValue::object({
      {"version", d.settings.version},
      {"toolList", d.toolListReceived()},
      {"exitStatus", d.exitStatus()},
      {"socket", pathJSON(d.socket, {})},
      {"status",
       pathJSON(d.status.file, {{"record", record ? record->jsonValue() : JSONValue()},
                                {"problem", orNull(statusProblem(d.status))},
                                {"ageSeconds", orNull(d.status.ageSeconds)},
                                {"age", record ? age(d.status.ageSeconds) : JSONValue()}})},
      {"connection",
       JSONValue::object({
           {"failure", failure},
           {"reason", reason},
           {"error", error},
           {"busy", connection.busy},
           {"explanation", orNull(explanation(d))},
           {"quillError", quillError},
           {"tools", connection.toolList ? *connection.toolList->member("tools") : JSONValue()},
       })},
      {"launcher", JSONValue::object({{"path", d.settings.launcherPath},
                                      {"identifier", d.settings.appIdentifier},
                                      {"problem", orNull(d.launcherProblem)},
                                      {"noLaunch", orNull(d.noLaunch)},
                                      {"noLaunchMeaning", noLaunchText(d.noLaunch)}})},
      {"client", identity},
      {"registration", JSONValue::object({{"shim", d.shimPath},
                                          {"problem", orNull(d.shimProblem)},
                                          {"clients", actionsJSON(d.registering)}})},
      {"registered", JSONValue(std::move(registered))},
      {"files", JSONValue(std::move(files))},
      {"verdict",
       JSONValue::object({{"action", d.actions.empty() ? "none" : d.actions.front().kind},
                          {"summary", verdictSummary(d)},
                          {"actions", actionsJSON(d.actions)}})},
  });
}

std::string textReport(const JSONValue& report) {
  Writer w{"quill-mcp-doctor " + text(report, "version") + "\n"};
  pathText(w, "Socket", at(report, "socket"), "QUILL_MCP_SOCKET");
  const JSONValue& status = at(report, "status");
  pathText(w, "Status file", status, "QUILL_MCP_STATUS");
  if (const JSONValue& record = at(status, "record"); !record.isNull()) {
    constexpr std::string_view kFlags[][3] = {
        {"enabled", "agent access is on", "agent access is off"},
        {"signedIn", "someone is signed in", "nobody is signed in"},
        {"listening", "Quill says it listens on its socket", "Quill says it does not listen"}};
    for (const auto& [name, yes, no] : kFlags) {
      const bool on = at(record, name).boolValue().value_or(false);
      w.out += "  " + std::string(name) + (on ? ": true (" : ": false (") +
               std::string(on ? yes : no) + ")\n";
    }
    w.line("  version: ", record, "version");
    w.out += "  updatedAt: " + text(record, "updatedAt") + " (" + text(status, "age") + ")\n";
  }
  w.line("  not read: ", status, "problem");

  const JSONValue& connection = at(report, "connection");
  w.out += "\nConnection (a tool list, asked for as quill-mcp asks)\n";
  w.line("  failure: ", connection, "failure");
  w.line("  reason: ", connection, "reason");
  if (const JSONValue& refusal = at(connection, "quillError"); !refusal.isNull()) {
    w.out +=
        "  Quill answered \"" + text(refusal, "code") + "\": " + text(refusal, "message") + "\n";
  }
  w.line("  ", connection, "explanation");
  if (at(connection, "tools").arrayValue()) w.out += "  a tool list came back\n";
  for (const JSONValue& tool : elements(connection, "tools")) {
    const bool described = !at(tool, "description").isNull();
    w.out += "  " + text(tool, "name") + ": " +
             (described ? text(tool, "description") : "(no description)") + "\n";
  }

  const JSONValue& launcher = at(report, "launcher");
  w.out += "\nLauncher (never started by this program)\n";
  w.line("  path: ", launcher, "path");
  w.line("  warning: ", launcher, "problem");
  w.line("  identifier: ", launcher, "identifier");
  w.line("  QUILL_MCP_NO_LAUNCH: ", launcher, "noLaunchMeaning");
  if (const JSONValue& client = at(report, "client"); !client.isNull()) {
    w.out += "\nClient\n  --client " + text(client, "slug") + ": Quill shows \"" +
             text(client, "actor") + "\" working in \"" + text(client, "surface") + "\"\n";
  }

  w.out += "\nRegistered with clients\n";
  for (const JSONValue& entry : elements(report, "registered")) {
    std::string command = text(entry, "command");
    for (const JSONValue& argument : elements(entry, "arguments")) {
      command.append(" ").append(text(argument));
    }
    w.out += "  " + text(entry, "client") + " (" + text(entry, "scope") + "), \"" +
             text(entry, "name") + "\" in " + text(entry, "file") + ":\n    command: " + command +
             "\n";
    for (const auto& [key, value] : *at(entry, "environment").objectValue()) {
      w.out += "    env: " + shown(key) + "=" + text(value) + "\n";
    }
    w.line("    program: ", entry, "program", " (it exists and can run)");
    w.line("    answers as quill-mcp ", entry, "version");
    w.line("    broken: ", entry, "broken");
    w.line("    not run: ", entry, "notRun");
    w.lines("    warning: ", entry, "warnings");
  }
  std::string read;
  for (const JSONValue& file : elements(report, "files")) {
    read += (read.empty() ? "" : ", ") + text(file, "file");
    w.line("  " + text(file, "client") + ": " + text(file, "file") + " ", file, "problem");
  }
  if (elements(report, "registered").empty()) w.out += "  none\n";
  w.out += "  files read: " + (read.empty() ? "none of the clients' files is there" : read) + "\n";

  const JSONValue& registration = at(report, "registration");
  w.out += "\nRegistration of " + text(registration, "shim") + "\n";
  w.line("  warning: ", registration, "problem");
  for (const JSONValue& client : elements(registration, "clients")) {
    w.out += "  " + text(client, "text") + ":\n";
    w.lines("    ", client, "lines");
  }

  const JSONValue& verdict = at(report, "verdict");
  w.out += "\nVerdict: " + text(verdict, "summary");
  std::string_view next = " First, ";
  for (const JSONValue& action : elements(verdict, "actions")) {
    const std::string said = text(action, "text");
    w.out += std::string(next) + said + (said.ends_with(":") ? "" : ".");
    for (const JSONValue& line : elements(action, "lines")) w.out += "\n      " + text(line);
    next = "\n  Then, ";
  }
  return w.out + "\n";
}

}  // namespace quill::doctor
