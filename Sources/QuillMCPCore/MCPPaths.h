// Where the shim and the desktop application meet: the socket and the status file.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quill {

// The environment as captured at start-up: variable name to value.
using Environment = std::map<std::string, std::string, std::less<>>;

// This process's environment, read once; entries without "=" are skipped.
Environment processEnvironment();

namespace MCPPaths {

inline constexpr std::string_view socketEnvKey = "QUILL_MCP_SOCKET";
inline constexpr std::string_view statusEnvKey = "QUILL_MCP_STATUS";
inline constexpr std::string_view temporaryDirectoryEnvKey = "TMPDIR";

// Longest socket path, in bytes, that fits a Unix-domain socket address on every platform the
// shim runs on (macOS's path field holds 104 bytes with the terminating NUL).
inline constexpr std::size_t maxSocketPathBytes = 103;

// Which rule chose a path.
enum class Rule {
  override,       // its environment variable named it
  supportFolder,  // the default, in Quill's support folder
  fallback,  // the socket in a temporary folder: the default path does not fit a socket address
};

// Why the user's runtime folder ($XDG_RUNTIME_DIR, Linux only) was passed over for the fallback
// socket. Only a folder that no one else can write to keeps the socket's name from being taken
// by another local user first.
enum class RuntimeFolderProblem {
  unset,         // not set, or empty
  notAbsolute,   // a relative path
  missing,       // nothing there, or it cannot be examined
  notAFolder,    // something else is there
  otherOwner,    // it belongs to another user
  openToOthers,  // group or others may write to it (mode 1777, say)
};

// A path and how it was chosen.
struct Location {
  std::string path;
  Rule rule;
  // For the fallback: the default path, which was too long,
  std::string defaultPath = {};
  // and why the runtime folder was not used, when it was looked at (Linux, TMPDIR unset).
  std::optional<RuntimeFolderProblem> runtimeFolderProblem = std::nullopt;

  friend bool operator==(const Location&, const Location&) = default;
};

// The application's socket: QUILL_MCP_SOCKET when set and not empty (unchanged); else
// <support>/mcp.sock when that fits `maxSocketPathBytes`; else the fallback in a temporary folder:
// TMPDIR when present in `environment` (empty or relative values are resolved against the
// working directory), else the platform's per-user temporary folder. On macOS that is the user's
// own temporary folder, and the socket is "quill-mcp.sock". On Linux it is $XDG_RUNTIME_DIR when
// that is an absolute path to a folder of this user that nobody else may write to, with
// "quill-mcp.sock"; any other folder (/tmp, TMPDIR) gets "quill-mcp-<uid>.sock", so that users
// do not share, or take, one name.
Location socketLocation(const Environment& environment);
Location socketLocation(const Environment& environment, std::string_view supportDirectory);
inline std::string socketPath(const Environment& environment) {
  return socketLocation(environment).path;
}

// The status file: QUILL_MCP_STATUS when set and not empty; else <support>/mcp-status.json.
Location statusFileLocation(const Environment& environment);
Location statusFileLocation(const Environment& environment, std::string_view supportDirectory);
inline std::string statusFilePath(const Environment& environment) {
  return statusFileLocation(environment).path;
}

// The user's home folder: HOME when set and not empty, else the user database's.
std::string homeDirectory(const Environment& environment);

// The folder "Quill" in the user's application-support location (platform-specific).
std::string supportDirectory(const Environment& environment);

// `directory` and `name` with exactly one "/" between them.
std::string join(std::string_view directory, std::string_view name);

}  // namespace MCPPaths
}  // namespace quill
