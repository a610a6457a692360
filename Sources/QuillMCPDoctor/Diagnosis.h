// What quill-mcp-doctor finds out about the way from an agent to Quill, and its two reports.
// Finding out only looks: it never starts Quill and never creates, changes or removes a file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "JSONValue.h"
#include "MCPPaths.h"
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

// A path that quill-mcp uses and what lies there.
struct PathFacts {
  std::string path;
  std::string source;  // the override variable's name, "supportFolder" or "temporaryFolder"
  std::string kind;    // "socket", "file", "folder", "other", or "none" when nothing is there
  std::optional<unsigned> foreignOwner;  // the owner's uid, when not this user's
  std::vector<std::string> warnings;     // for people, one sentence each
};

struct StatusFacts {
  PathFacts file;
  std::optional<MCPStatus> record;
  std::string problem;                  // why there is no record; empty with one
  std::optional<long long> ageSeconds;  // since `updatedAt`, when that reads as an ISO 8601 time
};

struct ConnectionFacts {
  std::optional<std::string> failure;  // the failed step: "connect", "io", "timeout", "decode"
  std::string reason;                  // the system's error name for "connect", e.g. "ENOENT"
  std::string explanation;             // what went wrong, for people; empty after a tool list
  std::optional<MCPWireResponse::WireError> quillError;
  std::optional<std::vector<std::string>> projects;  // present when a tool list came back
};

struct LauncherFacts {
  std::string path;
  std::string identifier;
  bool executable = false;
  std::string problem;                  // why it cannot run; empty when it can
  std::optional<std::string> noLaunch;  // QUILL_MCP_NO_LAUNCH, when set
};

struct Diagnosis {
  Settings settings;
  PathFacts socket;
  StatusFacts status;
  ConnectionFacts connection;
  LauncherFacts launcher;
  std::string shimPath;     // absolute: quill-mcp next to this program
  std::string shimProblem;  // empty when it is there and executable

  bool toolListReceived() const { return connection.projects.has_value(); }
};

Diagnosis diagnose(const Environment& environment, Settings settings);

// Plain text for a person at a terminal, ending in a line feed.
std::string textReport(const Diagnosis& diagnosis);
// The same facts for scripts.
JSONValue jsonReport(const Diagnosis& diagnosis);

}  // namespace quill::doctor
