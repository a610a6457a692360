// The clients people use: where each keeps its servers, how it reads its files, and how it
// registers one; and the registrations found there.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
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

// How a client reads a file: strictly, where a comment, a trailing comma or a byte order mark
// stops it; leniently, where they are fine or nothing is established; as TOML; or as the folder of
// the extensions Claude Desktop installs from bundles.
enum class Format { strictJSON, lenientJSON, toml, extensions };

enum class Base { home, appSupport, xdgConfig, codexHome, workingFolder, workingFolderUp };

// A file where a client keeps servers, under `keys` ("" stands for the working folder).
struct Place {
  std::string_view scope;
  Base base;
  std::string_view path;
  Format format;
  std::vector<std::string_view> keys;
};

// What a client's entry looks like.
enum class Shape {
  plain,         // {"command": …, "args": […], "env": {…}}
  stdio,         // the same with "type": "stdio", without which the client does not start it
  commandArray,  // {"type": "local", "command": [program, arguments…], "environment": {…}}
};

struct Client {
  std::string_view name, key;
  std::string_view slug;  // empty where Quill knows the client by the name it gives itself
  Shape shape;
  std::vector<Place> places;
  // Its own commands, where it has them: {scope}, {name}, {env} (each variable after
  // `envOption`) and {command} (the program and its arguments) are filled in.
  std::string_view add = {}, remove = {}, envOption = {};
  std::string_view afterEditing = {};
};

const std::vector<Client>& clients() {
  const std::vector<std::string_view> servers{"mcpServers"};
  static const std::vector<Client> all{
      {"Claude Desktop",
       "claude-desktop",
       "claude-desktop",
       Shape::plain,
       {{"user", Base::appSupport, "Claude/claude_desktop_config.json", Format::strictJSON,
         servers},
        {"bundle", Base::appSupport, "Claude/Claude Extensions", Format::extensions, {}}},
       {},
       {},
       {},
       "then quit and reopen Claude Desktop, which reads the file only when it starts"},
      {"Claude Code",
       "claude-code",
       "claude-code",
       Shape::plain,
       {{"user", Base::home, ".claude.json", Format::strictJSON, servers},
        {"local", Base::home, ".claude.json", Format::strictJSON, {"projects", "", "mcpServers"}},
        {"project", Base::workingFolderUp, ".mcp.json", Format::strictJSON, servers}},
       "claude mcp add --scope {scope} {name}{env} -- {command}",
       "claude mcp remove --scope {scope} {name}",
       "-e"},
      {"Cursor",
       "cursor",
       "cursor",
       Shape::plain,
       {{"user", Base::home, ".cursor/mcp.json", Format::lenientJSON, servers},
        {"project", Base::workingFolder, ".cursor/mcp.json", Format::lenientJSON, servers}}},
      {"VS Code",
       "vscode",
       "",
       Shape::stdio,
       {{"user", Base::appSupport, "Code/User/mcp.json", Format::lenientJSON, {"servers"}},
        {"workspace", Base::workingFolder, ".vscode/mcp.json", Format::lenientJSON, {"servers"}}}},
      {"Windsurf",
       "windsurf",
       "",
       Shape::plain,
       {{"user", Base::home, ".codeium/windsurf/mcp_config.json", Format::lenientJSON, servers}},
       {},
       {},
       {},
       "then refresh the servers in Windsurf's Cascade panel"},
      {"Gemini CLI",
       "gemini",
       "",
       Shape::plain,
       {{"user", Base::home, ".gemini/settings.json", Format::lenientJSON, servers},
        {"project", Base::workingFolder, ".gemini/settings.json", Format::lenientJSON, servers}},
       "gemini mcp add -s {scope}{env} {name} {command}",
       "gemini mcp remove -s {scope} {name}",
       "-e"},
      {"Qwen Code",
       "qwen",
       "",
       Shape::plain,
       {{"user", Base::home, ".qwen/settings.json", Format::lenientJSON, servers},
        {"project", Base::workingFolder, ".qwen/settings.json", Format::lenientJSON, servers}},
       "qwen mcp add -s {scope}{env} {name} {command}",
       "qwen mcp remove -s {scope} {name}",
       "-e"},
      {"Codex",
       "codex",
       "",
       Shape::plain,
       {{"user", Base::codexHome, "config.toml", Format::toml, {"mcp_servers"}}},
       "codex mcp add {name}{env} -- {command}",
       "codex mcp remove {name}",
       "--env"},
      {"Copilot CLI",
       "copilot",
       "",
       Shape::plain,
       {{"user", Base::home, ".copilot/mcp-config.json", Format::lenientJSON, servers}},
       "copilot mcp add {name}{env} -- {command}",
       "copilot mcp remove {name}",
       "--env"},
      {"opencode",
       "opencode",
       "",
       Shape::commandArray,
       {{"user", Base::xdgConfig, "opencode/opencode.json", Format::lenientJSON, {"mcp"}},
        {"user", Base::xdgConfig, "opencode/opencode.jsonc", Format::lenientJSON, {"mcp"}}}},
  };
  return all;
}

std::string workingFolder() {
  char here[PATH_MAX];
  return ::getcwd(here, sizeof here) ? here : "/";
}

const std::string* lookup(const Environment& environment, std::string_view key) {
  auto found = environment.find(key);
  return found == environment.end() || found->second.empty() ? nullptr : &found->second;
}

// The files of `place`, nearest first: one, or one per folder from the working folder up.
std::vector<std::string> filesOf(const Place& place, const Environment& environment) {
  const std::string home = MCPPaths::homeDirectory(environment);
  const std::string* xdg = lookup(environment, "XDG_CONFIG_HOME");
  const std::string config = xdg && xdg->starts_with("/") ? *xdg : MCPPaths::join(home, ".config");
  const std::string* codex = lookup(environment, "CODEX_HOME");
  std::string folder;
  switch (place.base) {
    case Base::home:
      folder = home;
      break;
    case Base::appSupport:
      // ---- Platform: where applications keep a user's settings. ------------------------------
#if defined(__APPLE__)
      folder = MCPPaths::join(home, "Library/Application Support");
#else
      folder = config;
#endif
      // ---- End of platform ---------------------------------------------------------------
      break;
    case Base::xdgConfig:
      folder = config;
      break;
    case Base::codexHome:
      folder = codex ? *codex : MCPPaths::join(home, ".codex");
      break;
    case Base::workingFolder:
      folder = workingFolder();
      break;
    case Base::workingFolderUp: {
      std::vector<std::string> files;
      for (std::string at = workingFolder();;
           at = at.substr(0, std::max<std::size_t>(at.rfind('/'), 1))) {
        files.push_back(MCPPaths::join(at, place.path));
        if (at == "/") return files;
      }
    }
  }
  return {MCPPaths::join(folder, place.path)};
}

// ---- Reading files as their clients read them ---------------------------------------------------

enum class FileReason {
  absent,
  notAFile,
  tooLarge,
  unreadable,
  strictReaderStops,
  notJSON,
  notTOML
};
using FileFailure = Failure<FileReason>;

constexpr std::size_t kMaxFileBytes = 64 << 20;  // ~/.claude.json keeps each folder's history too

std::string position(std::string_view text, std::size_t offset) {
  const std::size_t lineStart = text.rfind('\n', offset == 0 ? 0 : offset - 1);
  const auto line = 1 + std::count(text.begin(), text.begin() + offset, '\n');
  const std::size_t column = offset - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
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

Result<JSONValue, FileReason> readClientFile(const std::string& path, Format format,
                                             std::string_view client) {
  auto file = readRegularFile(path, kMaxFileBytes);
  if (file.absent()) return FileFailure{FileReason::absent};
  if (!file.bytes && file.failure == FileReadFailure::notRegularFile) {
    return FileFailure{FileReason::notAFile};
  }
  if (!file.bytes && file.failure == FileReadFailure::tooLarge) {
    return FileFailure{FileReason::tooLarge};
  }
  if (!file.bytes) return FileFailure{FileReason::unreadable, file.error};
  std::string& text = *file.bytes;
  if (format == Format::toml) {
    auto parsed = toml::parse(text, path);
    if (!parsed) {
      const auto& error = parsed.error();
      return FileFailure{FileReason::notTOML, 0,
                         std::string(error.description()) + " at line " +
                             std::to_string(error.source().begin.line) + ", column " +
                             std::to_string(error.source().begin.column)};
    }
    return fromTOML(parsed.table());
  }
  if (const auto extra = relax(text); extra && format == Format::strictJSON) {
    return FileFailure{FileReason::strictReaderStops, 0,
                       *extra + ", which stops " + std::string(client) +
                           " from reading the file: it reads strict JSON"};
  }
  auto decoded = JSONValue::decode(text);
  if (auto* error = std::get_if<JSONReadError>(&decoded)) {
    return FileFailure{FileReason::notJSON, 0, error->description};
  }
  return std::get<JSONValue>(std::move(decoded));
}

std::string problemText(const FileFailure& failure) {
  switch (failure.reason) {
    case FileReason::absent:
    case FileReason::notAFile:
      return "is not a file";
    case FileReason::tooLarge:
      return "is larger than 64 MiB";
    case FileReason::unreadable:
      return std::string("cannot be read: ") + std::strerror(failure.error);
    case FileReason::strictReaderStops:
      return "holds " + failure.detail;
    case FileReason::notJSON:
      return "is not JSON: " + failure.detail;
    case FileReason::notTOML:
      break;
  }
  return "is not TOML: " + failure.detail;
}

// ---- Entries
// --------------------------------------------------------------------------------------

std::string_view text(const JSONValue* value) {
  return value ? value->stringValue().value_or("") : "";
}

const JSONValue* walk(const JSONValue& value, std::initializer_list<std::string_view> keys) {
  const JSONValue* found = &value;
  for (std::string_view key : keys) found = found ? found->member(key) : nullptr;
  return found;
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
  } else {
    words.emplace_back(text(command));
  }
  if (const auto* args = walk(entry, {"args"}); args && args->arrayValue()) {
    for (const JSONValue& argument : *args->arrayValue()) words.emplace_back(text(&argument));
  }
  found.command = words.front();
  found.arguments.assign(words.begin() + 1, words.end());
  for (std::string_view key : {"env", "environment"}) {
    if (const auto* variables = walk(entry, {key}); variables && variables->objectValue()) {
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

// Claude Desktop's extensions: each folder holds an unpacked bundle and its manifest.
void findExtensions(const Client& client, const std::string& folder, Diagnosis& diagnosis) {
  DIR* listing = ::opendir(folder.c_str());
  if (!listing) return;
  std::set<std::string> ids;
  for (dirent* item; (item = ::readdir(listing)) && ids.size() < 256;) {
    if (item->d_name[0] != '.') ids.insert(item->d_name);
  }
  ::closedir(listing);
  for (const std::string& id : ids) {
    const std::string home = MCPPaths::join(folder, id),
                      file = MCPPaths::join(home, "manifest.json");
    auto manifest = readClientFile(file, Format::lenientJSON, client.name);
    const auto* value = std::get_if<JSONValue>(&manifest);
    const JSONValue* server = value ? walk(*value, {"server", "mcp_config"}) : nullptr;
    if (!server) continue;
    auto found = registrationIn(client, "bundle", file,
                                std::string(text(value->member("name"))) == "quill-mcp"
                                    ? "quill"
                                    : std::string(text(value->member("name"))),
                                *server);
    if (!found) continue;
    for (std::string* word : {&found->command}) {
      if (word->starts_with("${__dirname}")) word->replace(0, 12, home);
    }
    const std::string settings = MCPPaths::join(folder + " Settings", id + ".json");
    auto state = readClientFile(settings, Format::lenientJSON, client.name);
    if (const auto* record = std::get_if<JSONValue>(&state)) {
      const JSONValue* enabled = record->member("isEnabled");
      found->disabled = enabled && enabled->boolValue() == false;
      if (found->disabled) {
        found->warnings.push_back(
            "It is turned off in Claude Desktop \u2192 Settings \u2192 Extensions.");
      }
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
    env += " " + std::string(client.envOption) + " " + shellWord(key + "=" + value);
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

// The entry that makes `client` start quill-mcp at `shim`, in the client's own shape.
JSONValue entryFor(const Client& client, const std::string& shim, const Variables& environment) {
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
  return JSONValue::object(std::move(entry));
}

const Client& clientNamed(std::string_view name) {
  for (const Client& client : clients()) {
    if (client.name == name) return client;
  }
  return clients().front();
}

}  // namespace

void findRegistrations(const Environment& environment, Diagnosis& diagnosis) {
  std::set<std::string> seen;  // a file is read once, at its first place
  std::set<std::string> userFiles;
  for (const Client& client : clients()) {
    for (const Place& place : client.places) {
      if (place.scope == "user") {
        for (const std::string& file : filesOf(place, environment)) userFiles.insert(file);
      }
    }
  }
  const std::string here = workingFolder();
  for (const Client& client : clients()) {
    for (const Place& place : client.places) {
      for (const std::string& file : filesOf(place, environment)) {
        // A project's file in the home folder is the user's own, and read as such.
        const bool project =
            place.base == Base::workingFolder || place.base == Base::workingFolderUp;
        if (project && userFiles.contains(file)) continue;
        if (place.format == Format::extensions) {
          findExtensions(client, file, diagnosis);
          continue;
        }
        auto read = readClientFile(file, place.format, client.name);
        const bool first = seen.insert(file).second;
        if (const auto* failure = std::get_if<FileFailure>(&read)) {
          if (failure->reason != FileReason::absent && first) {
            diagnosis.files.push_back({std::string(client.name), file, problemText(*failure)});
          }
          continue;
        }
        if (first) diagnosis.files.push_back({std::string(client.name), file, std::nullopt});
        const JSONValue* servers = &std::get<JSONValue>(read);
        for (std::string_view key : place.keys) {
          servers = servers ? servers->member(key.empty() ? std::string_view(here) : key) : nullptr;
        }
        if (!servers || !servers->objectValue()) continue;
        for (const auto& [name, entry] : *servers->objectValue()) {
          if (auto found = registrationIn(client, place.scope, file, name, entry)) {
            if (project) {
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
    Instructions instructions{std::string(client.name), std::string(client.key)};
    if (!client.add.empty()) {
      instructions.commands.push_back(
          fill(client.add, client, "user", "quill", diagnosis.overrides, diagnosis.shimPath));
    } else {
      const Place& place = client.places.front();
      instructions.file = filesOf(place, environment).front();
      instructions.serversKey = std::string(place.keys.front());
      instructions.entry = entryFor(client, diagnosis.shimPath, diagnosis.overrides);
      instructions.afterEditing = std::string(client.afterEditing);
    }
    diagnosis.instructions.push_back(std::move(instructions));
  }
}

Action fixFor(const Registration& entry, const Diagnosis& diagnosis) {
  const Client& client = clientNamed(entry.client);
  Variables environment = entry.environment;
  for (const auto& [key, value] : diagnosis.overrides) {
    std::erase_if(environment, [&](const auto& variable) { return variable.first == key; });
    environment.emplace_back(key, value);
  }
  Action action{"fixRegistration", "fix the registration \"" + entry.name + "\" of " +
                                       entry.client + " (" + entry.scope + ") in " + entry.file +
                                       ", as " + entry.broken.value_or("")};
  if (entry.scope == "bundle") {
    action.text +=
        ": remove the Quill extension in Claude Desktop \u2192 Settings \u2192 "
        "Extensions and install it again";
  } else if (!client.add.empty()) {
    action.text += "; run:";
    action.commands = {
        fill(client.remove, client, entry.scope, entry.name, {}, ""),
        fill(client.add, client, entry.scope, entry.name, environment, diagnosis.shimPath)};
  } else {
    const JSONValue written = entryFor(client, diagnosis.shimPath, environment);
    action.text += ": write its entry as \"" + entry.name +
                   "\": " + written.encodedData().value_or("") +
                   (client.afterEditing.empty() ? "" : ", " + std::string(client.afterEditing));
  }
  return action;
}

}  // namespace quill::doctor
