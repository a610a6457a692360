// Where the clients people use keep their registrations, and what each quill-mcp there answers.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>

#include "Diagnosis.h"
#include "FileDescriptor.h"
#include "Shim.h"

extern char** environ;

namespace quill::doctor {

namespace {

using namespace std::string_literals;

// A place where a client keeps servers: its file, and the members that lead to the servers.
struct Place {
  std::string client, scope, file;
  std::vector<std::string> keys;
};

// ---- Platform: where applications keep a user's settings. ------------------------------------
std::string settingsFolder(const Environment& environment, const std::string& home) {
#if defined(__APPLE__)
  (void)environment;
  return MCPPaths::join(home, "Library/Application Support");
#else
  auto found = environment.find("XDG_CONFIG_HOME");
  if (found != environment.end() && found->second.starts_with("/")) return found->second;
  return MCPPaths::join(home, ".config");
#endif
}
// ---- End of platform ---------------------------------------------------------------------

std::vector<Place> places(const Environment& environment) {
  const std::string home = MCPPaths::homeDirectory(environment);
  const std::string settings = settingsFolder(environment, home);
  char here[PATH_MAX];
  const std::string folder = ::getcwd(here, sizeof here) ? here : "/";
  const auto at = MCPPaths::join;
  const std::vector<std::string> mcpServers{"mcpServers"};
  std::vector<Place> all{
      {"Claude Desktop", "user", at(settings, "Claude/claude_desktop_config.json"), mcpServers},
      {"Claude Code", "user", at(home, ".claude.json"), mcpServers},
      {"Claude Code", "local", at(home, ".claude.json"), {"projects", folder, "mcpServers"}},
      {"Claude Code", "project", at(folder, ".mcp.json"), mcpServers},
      {"Cursor", "user", at(home, ".cursor/mcp.json"), mcpServers},
      {"Cursor", "project", at(folder, ".cursor/mcp.json"), mcpServers},
      {"VS Code", "user", at(settings, "Code/User/mcp.json"), {"servers"}},
      {"VS Code", "workspace", at(folder, ".vscode/mcp.json"), {"servers"}},
      {"Windsurf", "user", at(home, ".codeium/windsurf/mcp_config.json"), mcpServers},
  };
  // In the home folder, Cursor's project file is the user's own.
  if (all[5].file == all[4].file) all.erase(all.begin() + 5);
  return all;
}

// The file's JSON, or why there is none: empty for a file that is not there.
std::variant<JSONValue, std::string> readConfiguration(const std::string& path) {
  // ~/.claude.json keeps each folder's history too, so it may be large.
  auto file = readRegularFile(path, 64 << 20);
  if (!file.bytes && file.failure == FileReadFailure::notRegularFile) return "is not a file"s;
  if (!file.bytes && file.failure == FileReadFailure::tooLarge) return "is larger than 64 MiB"s;
  if (file.absent()) return std::string();
  if (!file.bytes) return std::string("cannot be read: ") + std::strerror(file.error);
  auto decoded = JSONValue::decode(*file.bytes);
  if (auto* error = std::get_if<JSONReadError>(&decoded))
    return "is not JSON: " + error->description;
  return std::get<JSONValue>(std::move(decoded));
}

// What is wrong with `command` as a client looks for it (a bare name on its PATH), if anything.
std::string commandProblem(const std::string& command) {
  if (command.empty()) return "the entry has no command";
  std::string path = command;
  if (command.find('/') == std::string::npos) {
    const char* found = std::getenv("PATH");
    for (std::string_view folders = found ? found : ""; !folders.empty();) {
      path = MCPPaths::join(folders.substr(0, folders.find(':')), command);
      if (::access(path.c_str(), X_OK) == 0) break;
      folders.remove_prefix(std::min(folders.size(), folders.find(':') + 1));
      path.clear();
    }
    if (path.empty()) return command + " is not on this PATH; write its full path";
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return command + " does not exist";
  if (!S_ISREG(info.st_mode) || ::access(path.c_str(), X_OK) != 0) {
    return command + " is not a program that can run";
  }
  return {};
}

// The version `command` gives in its answer to one `initialize`; it is killed after five seconds.
std::optional<std::string> askVersion(const std::string& command,
                                      const std::vector<std::string>& arguments,
                                      const std::string& version) {
  std::vector<char*> argv{const_cast<char*>(command.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return std::nullopt;
  FileDescriptor ours(ends[0]), theirs(ends[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 0);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  for (int end : ends) {
    if (end > 2) posix_spawn_file_actions_addclose(&actions, end);
  }
  pid_t child = -1;
  const int started = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  theirs = FileDescriptor();
  if (started != 0) return std::nullopt;

  const auto answer = MCPSocketClient::exchangeLine(
      ours.get(),
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
      R"("capabilities":{},"clientInfo":{"name":"quill-mcp-doctor","version":")" +
          version + "\"}}}",
      5);
  ::kill(child, SIGKILL);  // it waits for more, as a server does
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  const auto* line = std::get_if<std::string>(&answer);
  auto decoded = JSONValue::decode(line ? *line : "");
  const JSONValue* found = std::get_if<JSONValue>(&decoded);
  for (std::string_view key : {"result", "serverInfo", "version"}) {
    found = found ? found->member(key) : nullptr;
  }
  if (found && found->stringValue()) return std::string(*found->stringValue());
  return std::nullopt;
}

// The registration held by `entry` under `name`, when it is quill-mcp's.
std::optional<Registration> registrationIn(const Place& place, const std::string& name,
                                           const JSONValue& entry, const std::string& version) {
  const JSONValue* commandValue = entry.member("command");
  const std::string command(commandValue ? commandValue->stringValue().value_or("") : "");
  if (command.substr(command.rfind('/') + 1) != "quill-mcp" && name != "quill") return std::nullopt;

  Registration registration{place.client, place.scope, place.file, name, command};
  std::vector<std::string> arguments;
  if (const JSONValue* args = entry.member("args"); args && args->arrayValue()) {
    for (const JSONValue& argument : *args->arrayValue()) {
      arguments.emplace_back(argument.stringValue().value_or(""));
    }
  }
  registration.slug = Shim::scanClientSlug(arguments);
  if (const JSONValue* env = entry.member("env"); env && env->objectValue()) {
    for (const auto& [key, value] : *env->objectValue()) {
      registration.environment.emplace_back(key, value.stringValue().value_or(""));
    }
  }
  const JSONValue* type = entry.member("type");
  if (place.client == "VS Code" && (!type || type->stringValue() != "stdio")) {
    registration.problem = "it lacks \"type\": \"stdio\", without which VS Code does not start it";
  }
  registration.commandProblem = commandProblem(command);
  if (!registration.commandProblem.empty()) return registration;
  registration.version = askVersion(command, arguments, version);
  if (!registration.version) {
    registration.commandProblem = command + " does not answer initialize as quill-mcp does";
  } else if (*registration.version != version) {
    registration.commandProblem = command + " is quill-mcp " + *registration.version + ", not " +
                                  version + " as this program is: another installation";
  }
  return registration;
}

}  // namespace

void findRegistrations(const Environment& environment, const std::string& version,
                       Diagnosis& diagnosis) {
  std::map<std::string, std::variant<JSONValue, std::string>> files;
  for (const Place& place : places(environment)) {
    auto [read, added] = files.try_emplace(place.file);
    if (added) read->second = readConfiguration(place.file);
    if (const auto* problem = std::get_if<std::string>(&read->second)) {
      if (!problem->empty() && added)
        diagnosis.unusableFiles.push_back({place.client, place.file, *problem});
      continue;
    }
    const JSONValue* servers = &std::get<JSONValue>(read->second);
    for (const std::string& key : place.keys) servers = servers ? servers->member(key) : nullptr;
    if (!servers || !servers->objectValue()) continue;
    for (const auto& [name, entry] : *servers->objectValue()) {
      if (auto found = registrationIn(place, name, entry, version)) {
        diagnosis.registrations.push_back(std::move(*found));
      }
    }
  }
}

}  // namespace quill::doctor
