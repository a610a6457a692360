// The clients people use: where each keeps its servers, how it reads its files, and how it
// registers one; and the registrations found there.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <set>

#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "Diagnosis.h"
#include "FileDescriptor.h"
#include "MCPCommandLine.h"
#include "MCPPaths.h"

namespace quill::doctor {

namespace {

// How a client reads its file: strictly, where a comment, a trailing comma or a byte order mark
// stops it; leniently, where they are fine or nothing is established; or as TOML.
enum class Format { strictJSON, lenientJSON, toml };

// What a client's entry looks like.
enum class Shape {
  plain,         // {"command": …, "args": […], "env": {…}}
  stdio,         // the same with "type": "stdio", without which the client does not start it
  commandArray,  // {"type": "local", "command": [program, arguments…], "environment": {…}}
};

// A file where a client keeps its servers. The path starts with where it lies: "~/" the home
// folder, "@/" where applications keep settings, "%/" $XDG_CONFIG_HOME, "$/" $CODEX_HOME, "./"
// the working folder, "../" the working folder and each folder above it. The servers lie under
// `keys`, where "" stands for the working folder; under the client's key by default. Scope
// "bundle" is the folder of the extensions Claude Desktop installs.
struct Place {
  std::string_view scope, path;
  std::vector<std::string_view> keys = {};
};

struct Client {
  std::string_view name, key;
  std::string_view slug;  // empty where Quill knows the client by the name it gives itself
  Format format;
  Shape shape;
  std::string_view serversKey;
  std::vector<Place> places;
  // The client's own commands, where it has them, with {scope}, {name}, {env} (each variable
  // after `envOption`) and {command} (the program and its arguments) to fill in.
  std::string_view add = {}, remove = {}, envOption = {};
  std::string_view afterEditing = {};  // said after the file, where editing it is not all
};

// clang-format off
const std::vector<Client>& clients() {
  static const std::vector<Client> all{
      {"Claude Desktop", "claude-desktop", "claude-desktop", Format::strictJSON, Shape::plain, "mcpServers",
       {{"user", "@/Claude/claude_desktop_config.json"}, {"bundle", "@/Claude/Claude Extensions"}},
       {}, {}, {}, ", then quit and reopen Claude Desktop, which reads the file only when it starts"},
      {"Claude Code", "claude-code", "claude-code", Format::strictJSON, Shape::plain, "mcpServers",
       {{"user", "~/.claude.json"}, {"local", "~/.claude.json", {"projects", "", "mcpServers"}},
        {"project", "../.mcp.json"}},
       "claude mcp add --scope {scope} {name}{env} -- {command}",
       "claude mcp remove --scope {scope} {name}", "-e"},
      {"Cursor", "cursor", "cursor", Format::lenientJSON, Shape::plain, "mcpServers",
       {{"user", "~/.cursor/mcp.json"}, {"project", "./.cursor/mcp.json"}}},
      {"VS Code", "vscode", "", Format::lenientJSON, Shape::stdio, "servers",
       {{"user", "@/Code/User/mcp.json"}, {"workspace", "./.vscode/mcp.json"}}},
      {"Windsurf", "windsurf", "", Format::lenientJSON, Shape::plain, "mcpServers",
       {{"user", "~/.codeium/windsurf/mcp_config.json"}},
       {}, {}, {}, ", then refresh the servers in Windsurf's Cascade panel"},
      {"Gemini CLI", "gemini", "", Format::lenientJSON, Shape::plain, "mcpServers",
       {{"user", "~/.gemini/settings.json"}, {"project", "./.gemini/settings.json"}},
       "gemini mcp add -s {scope}{env} {name} {command}", "gemini mcp remove -s {scope} {name}", "-e"},
      {"Qwen Code", "qwen", "", Format::lenientJSON, Shape::plain, "mcpServers",
       {{"user", "~/.qwen/settings.json"}, {"project", "./.qwen/settings.json"}},
       "qwen mcp add -s {scope}{env} {name} {command}", "qwen mcp remove -s {scope} {name}", "-e"},
      {"Codex", "codex", "", Format::toml, Shape::plain, "mcp_servers", {{"user", "$/config.toml"}},
       "codex mcp add {name}{env} -- {command}", "codex mcp remove {name}", "--env"},
      {"Copilot CLI", "copilot", "", Format::lenientJSON, Shape::plain, "mcpServers",
       {{"user", "~/.copilot/mcp-config.json"}},
       "copilot mcp add {name}{env} -- {command}", "copilot mcp remove {name}", "--env"},
      {"opencode", "opencode", "", Format::lenientJSON, Shape::commandArray, "mcp",
       {{"user", "%/opencode/opencode.json"}, {"user", "%/opencode/opencode.jsonc"}}},
  };
  return all;
}
// clang-format on

std::string workingFolder() {
  char here[PATH_MAX];
  return ::getcwd(here, sizeof here) ? here : "/";
}

const std::string* lookup(const Environment& environment, std::string_view key) {
  auto found = environment.find(key);
  return found == environment.end() || found->second.empty() ? nullptr : &found->second;
}

bool inProject(const Place& place) {
  return place.path.starts_with(".");
}

// The files of `place`, nearest first: one, or one per folder from the working folder up.
std::vector<std::string> filesOf(const Place& place, const Environment& environment) {
  const std::string home = MCPPaths::homeDirectory(environment);
  const std::string* xdg = lookup(environment, "XDG_CONFIG_HOME");
  const std::string config = xdg && xdg->starts_with("/") ? *xdg : MCPPaths::join(home, ".config");
  const std::string* codex = lookup(environment, "CODEX_HOME");
  // ---- Platform: where applications keep a user's settings. --------------------------------
#if defined(__APPLE__)
  const std::string settings = MCPPaths::join(home, "Library/Application Support");
#else
  const std::string settings = config;
#endif
  // ---- End of platform ---------------------------------------------------------------------
  const std::string_view rest = place.path.substr(place.path.find('/') + 1);
  std::vector<std::string> files;
  for (std::string at = workingFolder(); place.path.starts_with("../");
       at = at.substr(0, std::max<std::size_t>(at.rfind('/'), 1))) {
    files.push_back(MCPPaths::join(at, rest));
    if (at == "/") return files;
  }
  const std::pair<char, std::string> folders[] = {
      {'~', home},
      {'@', settings},
      {'%', config},
      {'$', codex ? *codex : MCPPaths::join(home, ".codex")},
      {'.', workingFolder()}};
  for (const auto& [mark, folder] : folders) {
    if (place.path.front() == mark) files.push_back(MCPPaths::join(folder, rest));
  }
  return files;
}

// ---- Reading files as their clients read them ---------------------------------------------------

// Why a client's file gives no servers: it is not there, or it cannot be used, which the failure's
// detail says for people.
enum class FileReason { absent, unusable };

constexpr std::size_t kMaxFileBytes = 64 << 20;  // ~/.claude.json keeps each folder's history too

// Where `offset` lies in `text`, lines and columns counted from 1.
std::string position(std::string_view text, std::size_t offset) {
  const std::string_view before = text.substr(0, offset);
  const auto line = 1 + std::count(before.begin(), before.end(), '\n');
  const std::size_t column = before.substr(before.rfind('\n') + 1).size() + 1;
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Blanks out, in place, what JSON with comments allows beyond JSON: a byte order mark, comments
// and trailing commas, keeping every other byte where it was. Gives the first of them, with its
// place, or nothing when the text is plain JSON.
std::optional<std::string> relax(std::string& text) {
  std::optional<std::string> first;
  auto found = [&](std::string_view what, std::size_t at) {
    if (!first) first = std::string(what) + " at " + position(text, at);
  };
  if (text.starts_with("\xEF\xBB\xBF")) {
    found("a byte order mark", 0);
    text.replace(0, 3, "   ");
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) i += text[i] == '\\';
    } else if (c == '/' && i + 1 < text.size() && (text[i + 1] == '/' || text[i + 1] == '*')) {
      found("a comment", i);
      const bool line = text[i + 1] == '/';
      const std::size_t end = line ? text.find('\n', i) : text.find("*/", i + 2);
      const std::size_t stop = end == std::string::npos ? text.size() : end + (line ? 0 : 2);
      for (std::size_t j = i; j < stop; ++j) text[j] = text[j] == '\n' ? '\n' : ' ';
      i = stop - 1;
    } else if (c == ',') {
      const std::size_t next = text.find_first_not_of(" \t\r\n", i + 1);
      if (next != std::string::npos && (text[next] == '}' || text[next] == ']')) {
        found("a trailing comma", i);
        text[i] = ' ';
      }
    }
  }
  return first;
}

// TOML's values as JSON's; dates and times, which no server's entry holds, as null.
JSONValue fromTOML(const toml::node& node) {
  if (const auto* table = node.as_table()) {
    JSONValue::Object members;
    for (const auto& [key, value] : *table) {
      members.insert_or_assign(std::string(key.str()), fromTOML(value));
    }
    return JSONValue(std::move(members));
  }
  if (const auto* array = node.as_array()) {
    JSONValue::Array elements;
    for (const auto& element : *array) elements.push_back(fromTOML(element));
    return JSONValue(std::move(elements));
  }
  if (const auto* text = node.as_string()) return JSONValue(text->get());
  if (const auto* flag = node.as_boolean()) return JSONValue(flag->get());
  if (const auto* integer = node.as_integer()) return JSONValue(integer->get());
  if (const auto* number = node.as_floating_point()) return JSONValue(number->get());
  return JSONValue();
}

// The servers' file of a client, read as the client reads it.
Result<JSONValue, FileReason> readClientFile(const std::string& path, Format format,
                                             std::string_view client) {
  auto unusable = [](std::string why) { return Failure<FileReason>{FileReason::unusable, 0, why}; };
  auto file = readRegularFile(path, kMaxFileBytes);
  if (const auto* failure = failed(file)) {
    switch (failure->reason) {
      case FileReadReason::absent:
        return Failure<FileReason>{FileReason::absent};
      case FileReadReason::notRegularFile:
        return unusable("is not a file");
      case FileReadReason::tooLarge:
        return unusable("is larger than 64 MiB");
      case FileReadReason::unreadable:
        break;
    }
    return unusable(std::string("cannot be read: ") + std::strerror(failure->error));
  }
  std::string& text = std::get<std::string>(file);
  if (format == Format::toml) {
    auto parsed = toml::parse(text, path);
    if (!parsed) {
      const auto& error = parsed.error();
      return unusable("is not TOML: " + std::string(error.description()) + " at line " +
                      std::to_string(error.source().begin.line) + ", column " +
                      std::to_string(error.source().begin.column));
    }
    return fromTOML(parsed.table());
  }
  if (const auto extra = relax(text); extra && format == Format::strictJSON) {
    return unusable("holds " + *extra + ", which stops " + std::string(client) +
                    " from reading the file: it reads strict JSON");
  }
  auto decoded = JSONValue::decode(text);
  if (const auto* failure = failed(decoded)) return unusable("is not JSON: " + failure->detail);
  return std::get<JSONValue>(std::move(decoded));
}

// ---- Entries ---------------------------------------------------------------------------------

std::string_view text(const JSONValue* value) {
  return value ? value->stringValue().value_or("") : "";
}

bool namesQuillMCP(std::string_view command) {
  return command.substr(command.rfind('/') + 1) == "quill-mcp";
}

// The registration `entry` holds under `name`, when it is quill-mcp's or named "quill".
std::optional<Registration> registrationIn(const Client& client, std::string_view scope,
                                           const std::string& file, const std::string& name,
                                           const JSONValue& entry) {
  Registration found{std::string(client.name), std::string(scope), file, name, ""};
  const JSONValue* command = entry.member("command");
  std::vector<std::string> words;
  if (const auto* array = command ? command->arrayValue() : nullptr) {
    for (const JSONValue& word : *array) words.emplace_back(text(&word));
  }
  if (words.empty()) words.emplace_back(text(command));  // a text, or no program at all
  if (const auto* args = entry.member("args"); args && args->arrayValue()) {
    for (const JSONValue& argument : *args->arrayValue()) words.emplace_back(text(&argument));
  }
  found.command = words.front();
  found.arguments.assign(words.begin() + 1, words.end());
  for (std::string_view key : {"env", "environment"}) {
    if (const auto* variables = entry.member(key); variables && variables->objectValue()) {
      for (const auto& [variable, value] : *variables->objectValue()) {
        found.environment.emplace_back(variable, text(&value));
      }
    }
  }
  const std::string_view type = text(entry.member("type"));
  for (std::string_view key : {"url", "httpUrl", "serverUrl"}) {
    if (const std::string_view url = text(entry.member(key)); !url.empty()) {
      found.remote = true;
      found.command = std::string(url);
    }
  }
  found.remote = found.remote || type == "http" || type == "sse" || type == "remote" ||
                 type == "streamable-http";
  if (!namesQuillMCP(found.command) && name != "quill") return std::nullopt;

  found.slug = MCPCommandLine::clientSlug(found.arguments);
  if (found.remote) {
    found.warnings.push_back("It is a remote server, not quill-mcp.");
    return found;
  }
  if (client.shape == Shape::stdio && type != "stdio") {
    found.broken = "it lacks \"type\": \"stdio\", without which " + std::string(client.name) +
                   " does not start it";
  }
  if (!client.slug.empty() && !found.slug) {
    found.warnings.push_back("It has no --client " + std::string(client.slug) +
                             ": Quill then names the client after the name it gives itself, not " +
                             std::string(client.name) + ".");
  }
  return found;
}

// Claude Desktop's extensions: each folder holds an unpacked bundle and its manifest, whose
// "${__dirname}" stands for that folder.
void findExtensions(const Client& client, const std::string& folder, Diagnosis& diagnosis) {
  std::set<std::string> ids;
  if (DIR* listing = ::opendir(folder.c_str())) {
    for (dirent* item; (item = ::readdir(listing)) && ids.size() < 256;) {
      if (item->d_name[0] != '.') ids.insert(item->d_name);
    }
    ::closedir(listing);
  }
  auto read = [&](const std::string& path) {
    return valueOr(readClientFile(path, Format::lenientJSON, client.name), JSONValue());
  };
  for (const std::string& id : ids) {
    const std::string unpacked = MCPPaths::join(folder, id);
    const std::string file = MCPPaths::join(unpacked, "manifest.json");
    const JSONValue manifest = read(file);
    const JSONValue* server = memberAt(manifest, {"server", "mcp_config"});
    auto found = server ? registrationIn(client, "bundle", file, id, *server) : std::nullopt;
    if (!found) continue;
    if (found->command.starts_with("${__dirname}")) found->command.replace(0, 12, unpacked);
    if (read(MCPPaths::join(folder + " Settings", id + ".json"))["isEnabled"] == JSONValue(false)) {
      found->warnings.push_back(
          "It is turned off in Claude Desktop \u2192 Settings \u2192 Extensions.");
    }
    diagnosis.registrations.push_back(std::move(*found));
  }
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

// `pattern` with its placeholders filled in.
std::string fill(std::string_view pattern, const Client& client, std::string_view scope,
                 std::string_view name, const Variables& environment, std::string_view shim) {
  std::string env, command = shellWord(shim);
  for (const auto& [key, value] : environment) {
    env.append(" ").append(client.envOption).append(" ").append(shellWord(key + "=" + value));
  }
  if (!client.slug.empty()) command += " --client " + std::string(client.slug);
  const std::pair<std::string_view, std::string> values[] = {{"{scope}", std::string(scope)},
                                                             {"{name}", shellWord(name)},
                                                             {"{env}", env},
                                                             {"{command}", command}};
  std::string out(pattern);
  for (const auto& [placeholder, value] : values) {
    if (const auto at = out.find(placeholder); at != std::string::npos) {
      out.replace(at, placeholder.size(), value);
    }
  }
  return out;
}

// The line that registers quill-mcp at `shim` as `name` with `client`: its add command, or the
// entry to write into its file, in the client's own shape.
std::string registering(const Client& client, std::string_view scope, std::string_view name,
                        const Variables& environment, const std::string& shim) {
  if (!client.add.empty()) return fill(client.add, client, scope, name, environment, shim);
  JSONValue::Array arguments;
  if (!client.slug.empty()) arguments = {JSONValue("--client"), JSONValue(client.slug)};
  std::vector<std::pair<std::string, JSONValue>> entry;
  if (client.shape == Shape::commandArray) {
    arguments.insert(arguments.begin(), JSONValue(shim));
    entry = {{"type", "local"}, {"command", JSONValue(std::move(arguments))}};
  } else {
    entry = {{"command", shim}, {"args", JSONValue(std::move(arguments))}};
    if (client.shape == Shape::stdio) entry.emplace_back("type", "stdio");
  }
  if (!environment.empty()) {
    entry.emplace_back(client.shape == Shape::commandArray ? "environment" : "env",
                       JSONValue::object({environment.begin(), environment.end()}));
  }
  // Texts alone: written without fail.
  return std::get<std::string>(JSONValue(std::string(name)).encodedData()) + ": " +
         std::get<std::string>(JSONValue::object(std::move(entry)).encodedData());
}

const Client& clientNamed(std::string_view name) {
  return *std::find_if(clients().begin(), clients().end(),
                       [&](const Client& client) { return client.name == name; });
}

}  // namespace

const JSONValue* memberAt(const JSONValue& value, std::initializer_list<std::string_view> keys) {
  const JSONValue* found = &value;
  for (std::string_view key : keys) found = found ? found->member(key) : nullptr;
  return found;
}

void findRegistrations(const Environment& environment, Diagnosis& diagnosis) {
  std::set<std::string> userFiles;
  for (const Client& client : clients()) {
    for (const Place& place : client.places) {
      if (!inProject(place)) userFiles.insert(filesOf(place, environment).front());
    }
  }
  const std::string here = workingFolder();
  std::map<std::string, JSONValue> values;  // each file read once, at its first place; null: none
  for (const Client& client : clients()) {
    for (const Place& place : client.places) {
      for (const std::string& file : filesOf(place, environment)) {
        // A project's file in the home folder is the user's own, and read as such.
        if (inProject(place) && userFiles.contains(file)) continue;
        if (place.scope == "bundle") {
          findExtensions(client, file, diagnosis);
          continue;
        }
        auto [value, first] = values.try_emplace(file);
        if (first) {
          auto read = readClientFile(file, client.format, client.name);
          const auto* failure = failed(read);
          if (!failure || failure->reason != FileReason::absent) {
            diagnosis.files.push_back({std::string(client.name), file,
                                       failure ? std::optional(failure->detail) : std::nullopt});
          }
          value->second = valueOr(std::move(read), JSONValue());
        }
        const JSONValue* servers = &value->second;
        for (std::string_view key :
             place.keys.empty() ? std::vector{client.serversKey} : place.keys) {
          servers = servers ? servers->member(key.empty() ? std::string_view(here) : key) : nullptr;
        }
        if (!servers || !servers->objectValue()) continue;
        for (const auto& [name, entry] : *servers->objectValue()) {
          if (auto found = registrationIn(client, place.scope, file, name, entry)) {
            if (inProject(place)) {
              found->notRun =
                  "it is named in a project's file, which " + std::string(client.name) +
                  " trusts only once you approve it; this program runs nothing a project names";
            }
            diagnosis.registrations.push_back(std::move(*found));
          }
        }
      }
    }
  }
  for (const Client& client : clients()) {
    std::string where(client.name);
    if (client.add.empty()) {
      where += ", under \"" + std::string(client.serversKey) + "\" in " +
               filesOf(client.places.front(), environment).front() +
               std::string(client.afterEditing);
    }
    diagnosis.registering.push_back(
        {std::string(client.key),
         where,
         {registering(client, "user", "quill", diagnosis.overrides, diagnosis.shimPath)}});
  }
}

Action fixFor(const Registration& entry, const Diagnosis& diagnosis) {
  const Client& client = clientNamed(entry.client);
  Variables environment = entry.environment;
  for (const auto& forced : diagnosis.overrides) {
    std::erase_if(environment,
                  [&](const auto& variable) { return variable.first == forced.first; });
    environment.push_back(forced);
  }
  Action action{"fixRegistration", "fix the registration \"" + entry.name + "\" of " +
                                       entry.client + " (" + entry.scope + ") in " + entry.file +
                                       ", as " + entry.broken.value_or("")};
  if (entry.scope == "bundle") {
    action.text +=
        ": remove the Quill extension in Claude Desktop \u2192 Settings \u2192 Extensions and "
        "install it again";
    return action;
  }
  if (client.add.empty()) {
    action.text += "; write its entry" + std::string(client.afterEditing) + ":";
  } else {
    action.text += "; run:";
    action.lines = {fill(client.remove, client, entry.scope, entry.name, {}, "")};
  }
  action.lines.push_back(
      registering(client, entry.scope, entry.name, environment, diagnosis.shimPath));
  return action;
}

}  // namespace quill::doctor
