// Where the shim and the desktop application meet: the socket and the status file.
#pragma once

#include <map>
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

// The application's socket: QUILL_MCP_SOCKET when set and not empty (unchanged); else
// <support>/mcp.sock when that fits `maxSocketPathBytes`; else <temporary directory>/quill-mcp.sock,
// the temporary directory being TMPDIR when present in `environment` (empty or relative values
// are resolved against the working directory) or the platform's per-user temporary directory.
std::string socketPath(const Environment& environment);
std::string socketPath(const Environment& environment, std::string_view supportDirectory);

// The status file: QUILL_MCP_STATUS when set and not empty; else <support>/mcp-status.json.
std::string statusFilePath(const Environment& environment);
std::string statusFilePath(const Environment& environment, std::string_view supportDirectory);

// The folder "Quill" in the user's application-support location (platform-specific).
std::string supportDirectory(const Environment& environment);

// `directory` and `name` with exactly one "/" between them.
std::string join(std::string_view directory, std::string_view name);

}  // namespace MCPPaths
}  // namespace quill
