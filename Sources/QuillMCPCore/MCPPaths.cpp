#include "MCPPaths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#if defined(__APPLE__)
#include <sysdir.h>
#endif

extern char** environ;

namespace quill {

Environment processEnvironment() {
  Environment environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    environment.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return environment;
}

}  // namespace quill

namespace quill::MCPPaths {

namespace {

constexpr std::string_view kSocketFileName = "mcp.sock";
constexpr std::string_view kFallbackSocketFileName = "quill-mcp.sock";
constexpr std::string_view kStatusFileName = "mcp-status.json";
constexpr std::string_view kSupportFolderName = "Quill";

const std::string* lookup(const Environment& environment, std::string_view key) {
  auto found = environment.find(key);
  return found == environment.end() ? nullptr : &found->second;
}

const std::string* nonEmptyOverride(const Environment& environment, std::string_view key) {
  const std::string* value = lookup(environment, key);
  return (value && !value->empty()) ? value : nullptr;
}

std::string workingDirectory() {
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size())) return std::string(buffer.data());
    if (errno != ERANGE || buffer.size() > (1 << 20)) return "/";
    buffer.resize(buffer.size() * 2);
  }
}

// A folder to put the fallback socket in, and whether it is this user's alone.
struct TemporaryFolder {
  std::string path;
  bool privateToUser = false;
  std::optional<RuntimeFolderProblem> runtimeFolderProblem = std::nullopt;
};

// ---- Platform: where the user's per-application data and temporary files live. -------------
#if defined(__APPLE__)

// ~/Library/Application Support, as the system reports it for the user domain.
std::string applicationSupportDirectory(const Environment& environment) {
  char path[PATH_MAX];
  sysdir_search_path_enumeration_state state = sysdir_start_search_path_enumeration(
      SYSDIR_DIRECTORY_APPLICATION_SUPPORT, SYSDIR_DOMAIN_MASK_USER);
  if (sysdir_get_next_search_path_enumeration(state, path) != 0) {
    const std::string_view found(path);
    // The system may answer "~/Library/…": the home directory is joined with one "/", whether
    // or not HOME ends in one.
    if (found == "~") return homeDirectory(environment);
    if (found.starts_with("~/")) return join(homeDirectory(environment), found.substr(2));
    return std::string(found);
  }
  return join(homeDirectory(environment), "Library/Application Support");
}

// The user's own temporary folder; every folder here keeps the socket's plain name.
TemporaryFolder platformTemporaryFolder(const Environment&) {
  char path[PATH_MAX];
  const size_t length = confstr(_CS_DARWIN_USER_TEMP_DIR, path, sizeof path);
  if (length > 0 && length <= sizeof path) return {std::string(path), true, std::nullopt};
  return {"/tmp", true, std::nullopt};
}

std::string fallbackSocketName(const TemporaryFolder&) {
  return std::string(kFallbackSocketFileName);
}

#else

// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share.
std::string applicationSupportDirectory(const Environment& environment) {
  if (const std::string* data = lookup(environment, "XDG_DATA_HOME");
      data && data->starts_with("/")) {
    return *data;
  }
  return join(homeDirectory(environment), ".local/share");
}

std::optional<RuntimeFolderProblem> runtimeFolderProblem(const std::string* folder) {
  if (!folder || folder->empty()) return RuntimeFolderProblem::unset;
  if (!folder->starts_with("/")) return RuntimeFolderProblem::notAbsolute;
  struct stat info {};
  if (::stat(folder->c_str(), &info) != 0) return RuntimeFolderProblem::missing;
  if (!S_ISDIR(info.st_mode)) return RuntimeFolderProblem::notAFolder;
  if (info.st_uid != ::geteuid()) return RuntimeFolderProblem::otherOwner;
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return RuntimeFolderProblem::openToOthers;
  return std::nullopt;
}

// The user's own runtime folder when it is private to the user, else the shared /tmp.
TemporaryFolder platformTemporaryFolder(const Environment& environment) {
  const std::string* runtime = lookup(environment, "XDG_RUNTIME_DIR");
  const auto problem = runtimeFolderProblem(runtime);
  if (!problem) return {*runtime, true, std::nullopt};
  return {"/tmp", false, problem};
}

// In a folder that others may write to, the user's id keeps one user from taking another's name.
std::string fallbackSocketName(const TemporaryFolder& folder) {
  if (folder.privateToUser) return std::string(kFallbackSocketFileName);
  return "quill-mcp-" + std::to_string(::geteuid()) + ".sock";
}

#endif
// ---- End of platform ---------------------------------------------------------------------

TemporaryFolder temporaryFolder(const Environment& environment) {
  const std::string* value = lookup(environment, temporaryDirectoryEnvKey);
  if (!value) return platformTemporaryFolder(environment);
  if (value->empty()) return {workingDirectory()};
  if (!value->starts_with("/")) return {join(workingDirectory(), *value)};
  return {*value};
}

}  // namespace

std::string homeDirectory(const Environment& environment) {
  if (const std::string* home = nonEmptyOverride(environment, "HOME")) return *home;
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

std::string join(std::string_view directory, std::string_view name) {
  while (directory.size() > 1 && directory.back() == '/') directory.remove_suffix(1);
  std::string path(directory);
  if (path != "/") path += '/';
  path += name;
  return path;
}

std::string supportDirectory(const Environment& environment) {
  return join(applicationSupportDirectory(environment), kSupportFolderName);
}

Location socketLocation(const Environment& environment, std::string_view support) {
  if (const std::string* value = nonEmptyOverride(environment, socketEnvKey)) {
    return {*value, Rule::override};
  }
  std::string path = join(support, kSocketFileName);
  if (path.size() <= maxSocketPathBytes) return {std::move(path), Rule::supportFolder};
  TemporaryFolder folder = temporaryFolder(environment);
  return {join(folder.path, fallbackSocketName(folder)), Rule::fallback, std::move(path),
          folder.runtimeFolderProblem};
}

Location socketLocation(const Environment& environment) {
  return socketLocation(environment, supportDirectory(environment));
}

Location statusFileLocation(const Environment& environment, std::string_view support) {
  if (const std::string* value = nonEmptyOverride(environment, statusEnvKey)) {
    return {*value, Rule::override};
  }
  return {join(support, kStatusFileName), Rule::supportFolder};
}

Location statusFileLocation(const Environment& environment) {
  return statusFileLocation(environment, supportDirectory(environment));
}

}  // namespace quill::MCPPaths
