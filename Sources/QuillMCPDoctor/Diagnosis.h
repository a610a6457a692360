// What quill-mcp-doctor finds out about the way from an agent to Quill, and its two reports.
// Finding out only looks: it never starts Quill and never creates, changes or removes a file. Of
// programs it runs only the quill-mcp that clients are told to start, with one `initialize`,
// which quill-mcp answers without reaching Quill.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "JSONValue.h"
#include "MCPPaths.h"
#include "MCPSocketClient.h"
#include "MCPStatus.h"
#include "MCPWire.h"

namespace quill::doctor {

// What quill-mcp would use and may not find out on its own.
struct Settings {
  std::string launcherPath;
  std::string appIdentifier;
  std::optional<std::string> clientSlug;  // the doctor's own --client, sent with the tool list
  std::string version;
};

// A path that quill-mcp uses and what lies there, a final link followed as quill-mcp follows it.
struct PathFacts {
  MCPPaths::Location location;
  std::string kind;  // "socket", "file", "folder", "FIFO", "device", "link" (to nothing), "none",
                     // or "unknown" when it cannot be examined
  std::optional<unsigned> foreignOwner;  // the owner's uid, when not this user's
  std::vector<std::string> warnings;     // for people, one sentence each
};

struct StatusFacts {
  PathFacts file;
  std::variant<MCPStatus, MCPStatus::ReadFailure> read;
  std::optional<long long> ageSeconds;  // since `updatedAt`, when that is a real time
};

struct ConnectionFacts {
  std::optional<MCPSocketClient::Failure> failure;
  bool busy = false;  // Quill runs but does not take the connection
  std::optional<MCPWireResponse::WireError> quillError;
  std::optional<JSONValue> toolList;  // what came back, when it is a list a client accepts
  bool answeredOther = false;         // Quill answered, but neither with such a list nor an error
};

// An entry of a client's configuration that starts a quill-mcp, or is named "quill".
struct Registration {
  std::string client, scope, file, name, command;  // scope: "user", "local", "project", ...
  // What is wrong with the program it names (missing, not runnable, not answering, another
  // version), and with the entry otherwise; empty when nothing is.
  std::string commandProblem = {}, problem = {};
  std::optional<std::string> slug = std::nullopt;
  std::vector<std::pair<std::string, std::string>> environment = {};
  std::optional<std::string> version = std::nullopt;  // what it answered to `initialize`
};

// A client's configuration file that exists but cannot be used, and why.
struct UnusableFile {
  std::string client, file, problem;
};

struct Diagnosis {
  Settings settings;
  PathFacts socket;
  StatusFacts status;
  ConnectionFacts connection;
  std::string launcherProblem;          // why the launcher cannot run; empty when it can
  std::optional<std::string> noLaunch;  // QUILL_MCP_NO_LAUNCH, when set
  std::string shimPath;                 // absolute: quill-mcp next to this program
  std::string shimProblem;              // empty when it is there and executable
  // The environment overrides in force, which a registration must carry to find the same Quill.
  std::vector<std::pair<std::string, std::string>> overrides;
  std::vector<Registration> registrations;
  std::vector<UnusableFile> unusableFiles;
  // The one thing to do first: its kind ("none", "openQuill", "restartQuill", "fixSocketPath",
  // "enableAccess", "signIn", "fixPath", "fixEntry", "register") and, for people, what to do.
  std::pair<std::string, std::string> action;

  bool toolListReceived() const { return connection.toolList.has_value(); }
};

Diagnosis diagnose(const Environment& environment, Settings settings);

// The registrations in the configuration files of the clients people use, at their places on
// this platform below HOME and the working folder; each quill-mcp there is asked its version.
void findRegistrations(const Environment& environment, const std::string& version,
                       Diagnosis& diagnosis);

// Plain text for a person at a terminal, ending in a line feed.
std::string textReport(const Diagnosis& diagnosis);
// The same facts for scripts.
JSONValue jsonReport(const Diagnosis& diagnosis);

}  // namespace quill::doctor
