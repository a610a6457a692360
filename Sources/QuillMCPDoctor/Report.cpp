// The doctor's two reports of one diagnosis: plain text for people, JSON for scripts.
#include <string>

#include "Diagnosis.h"
#include "MCPClientIdentity.h"

namespace quill::doctor {

namespace {

struct Client {
  std::string_view title;
  std::string_view slug;
  std::string_view where;  // empty for a command
};
constexpr Client kClients[] = {
    {"Claude Desktop", "claude-desktop",
     "under \"mcpServers\" in ~/Library/Application Support/Claude/claude_desktop_config.json"},
    {"Claude Code", "claude-code", ""},
    {"Cursor", "cursor", "under \"mcpServers\" in ~/.cursor/mcp.json"},
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

// The registration of quill-mcp for `client`: the value of "quill" in "mcpServers", or a command.
JSONValue registration(const Diagnosis& diagnosis, const Client& client) {
  if (client.where.empty()) {
    return "claude mcp add --scope user quill -- " + shellWord(diagnosis.shimPath) + " --client " +
           std::string(client.slug);
  }
  return JSONValue::object(
      {{"command", diagnosis.shimPath}, {"args", JSONValue::array({"--client", client.slug})}});
}

std::string sourceText(const std::string& source) {
  if (source == "supportFolder") return "the default in Quill's support folder";
  if (source == "temporaryFolder") {
    return "the temporary folder, as the path in Quill's support folder would be longer than " +
           std::to_string(MCPPaths::maxSocketPathBytes) + " bytes";
  }
  return source;
}

void addPath(std::string& out, const PathFacts& facts) {
  out += "  path: " + shown(facts.path) + "\n  from: " + sourceText(facts.source) + "\n";
  for (const std::string& warning : facts.warnings) out += "  warning: " + warning + "\n";
}

std::string flag(std::string_view name, bool value, std::string_view yes, std::string_view no) {
  return "  " + std::string(name) + ": " + (value ? "true (" : "false (") +
         std::string(value ? yes : no) + ")\n";
}

std::string age(std::optional<long long> seconds) {
  if (!seconds) return "not a time this program reads";
  if (*seconds < 0) return "in the future: the clocks disagree";
  const struct {
    long long size;
    std::string_view name;
  } units[] = {{86400, "day"}, {3600, "hour"}, {60, "minute"}, {1, "second"}};
  for (const auto& unit : units) {
    const long long count = *seconds / unit.size;
    if (count > 0 || unit.size == 1) {
      return std::to_string(count) + " " + std::string(unit.name) + (count == 1 ? "" : "s") +
             " ago";
    }
  }
  return {};
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

JSONValue pathJSON(const PathFacts& facts, std::vector<std::pair<std::string, JSONValue>> more) {
  JSONValue::Array warnings(facts.warnings.begin(), facts.warnings.end());
  more.insert(more.end(), {{"path", facts.path},
                           {"source", facts.source},
                           {"kind", facts.kind},
                           {"foreignOwner", orNull(facts.foreignOwner)},
                           {"warnings", JSONValue(std::move(warnings))}});
  return JSONValue::object(std::move(more));
}

}  // namespace

std::string textReport(const Diagnosis& d) {
  std::string out = "quill-mcp-doctor " + d.settings.version + "\n\nSocket\n";
  addPath(out, d.socket);

  out += "\nStatus file\n";
  addPath(out, d.status.file);
  if (const auto& record = d.status.record) {
    out += flag("enabled", record->enabled, "agent access is on", "agent access is off");
    out += flag("signedIn", record->signedIn, "someone is signed in", "nobody is signed in");
    out += flag("listening", record->listening, "Quill says it listens on its socket",
                "Quill says it does not listen");
    out += "  version: " + shown(record->version) + "\n";
    out += "  updatedAt: " + shown(record->updatedAt) + " (" + age(d.status.ageSeconds) + ")\n";
  } else {
    out += "  not read: " + d.status.problem + "\n";
  }

  out += "\nConnection (a tool list, asked for as quill-mcp asks)\n";
  const ConnectionFacts& connection = d.connection;
  if (connection.failure) out += "  failure: " + *connection.failure + "\n";
  if (!connection.reason.empty()) out += "  reason: " + connection.reason + "\n";
  if (connection.quillError) {
    out += "  Quill answered \"" + std::string(rawValue(connection.quillError->code)) +
           "\": " + shown(connection.quillError->message) + "\n";
  }
  if (!connection.explanation.empty()) out += "  " + connection.explanation + "\n";
  if (connection.projects) {
    std::string names;
    for (const std::string& name : *connection.projects) {
      names += (names.empty() ? "" : ", ") + shown(name);
    }
    out +=
        "  a tool list came back\n  projects: " + (names.empty() ? "(none named)" : names) + "\n";
  }

  out += "\nLauncher (never started by this program)\n  path: " + d.launcher.path + "\n";
  if (!d.launcher.problem.empty()) out += "  warning: " + d.launcher.problem + "\n";
  out += "  identifier: " + d.launcher.identifier + "\n";
  out += "  QUILL_MCP_NO_LAUNCH: " + noLaunchText(d.launcher.noLaunch) + "\n";

  if (const auto& slug = d.settings.clientSlug) {
    const MCPClientIdentity identity = MCPClientIdentity::resolve(*slug, std::nullopt);
    out += "\nClient\n  --client " + shown(*slug) + ": Quill shows \"" + shown(identity.actor) +
           "\" working in \"" + shown(identity.surface) + "\"\n";
  }

  out += "\nRegistration of " + shown(d.shimPath) + "\n";
  if (!d.shimProblem.empty()) out += "  warning: " + d.shimProblem + "\n";
  for (const Client& client : kClients) {
    out += "  " + std::string(client.title) +
           (client.where.empty() ? "" : ", " + std::string(client.where)) + ":\n    ";
    const JSONValue entry = registration(d, client);
    out += entry.stringValue() ? std::string(*entry.stringValue())
                               : "\"quill\": " + entry.encodedData().value_or("{}");
    out += "\n";
  }

  out += d.toolListReceived() ? "\nVerdict: an agent can reach Quill.\n"
                              : "\nVerdict: an agent cannot reach Quill; see Connection above.\n";
  return out;
}

JSONValue jsonReport(const Diagnosis& d) {
  const ConnectionFacts& connection = d.connection;
  JSONValue projects;
  if (connection.projects) {
    projects =
        JSONValue(JSONValue::Array(connection.projects->begin(), connection.projects->end()));
  }
  JSONValue quillError;
  if (connection.quillError) {
    quillError = JSONValue::object({{"code", rawValue(connection.quillError->code)},
                                    {"message", connection.quillError->message}});
  }
  JSONValue identityJSON;
  if (const auto& slug = d.settings.clientSlug) {
    const MCPClientIdentity identity = MCPClientIdentity::resolve(*slug, std::nullopt);
    identityJSON = JSONValue::object(
        {{"slug", *slug}, {"actor", identity.actor}, {"surface", identity.surface}});
  }
  std::vector<std::pair<std::string, JSONValue>> registrations{{"shim", d.shimPath},
                                                               {"problem", orNull(d.shimProblem)}};
  for (const Client& client : kClients) {
    registrations.emplace_back(std::string(client.slug), registration(d, client));
  }
  return JSONValue::object({
      {"version", d.settings.version},
      {"toolList", d.toolListReceived()},
      {"socket", pathJSON(d.socket, {})},
      {"status", pathJSON(d.status.file,
                          {{"record", d.status.record ? d.status.record->jsonValue() : JSONValue()},
                           {"problem", orNull(d.status.problem)},
                           {"ageSeconds", orNull(d.status.ageSeconds)}})},
      {"connection", JSONValue::object({{"failure", orNull(connection.failure)},
                                        {"reason", orNull(connection.reason)},
                                        {"explanation", orNull(connection.explanation)},
                                        {"quillError", quillError},
                                        {"projects", projects}})},
      {"launcher", JSONValue::object({{"path", d.launcher.path},
                                      {"identifier", d.launcher.identifier},
                                      {"executable", d.launcher.executable},
                                      {"problem", orNull(d.launcher.problem)},
                                      {"noLaunch", orNull(d.launcher.noLaunch)}})},
      {"client", identityJSON},
      {"registration", JSONValue::object(std::move(registrations))},
  });
}

}  // namespace quill::doctor
