// What quill-mcp-doctor finds out about the way from an agent to Quill, and its two reports.
//
// Finding out only looks: it never starts Quill and never creates, changes or removes a file. It
// runs no program that a project's files name, and none through a shell. From the user's own
// files it runs only a program whose file is named quill-mcp and that nobody else may change,
// each in a process group of its own, with one `initialize`, which quill-mcp answers without
// reaching Quill; all of them side by side, and every one of them is gone when the run ends.
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
#include "Result.h"

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
  Result<MCPStatus, MCPStatus::Reason> read;
  std::optional<long long> ageSeconds;  // since `updatedAt`, when that is a real time
};

struct ConnectionFacts {
  std::optional<MCPSocketClient::Failure> failure;
  bool busy = false;  // Quill runs but does not take the connection
  std::optional<MCPWireResponse::WireError> quillError;
  std::optional<JSONValue> toolList;  // what came back, when it is a list a client accepts
};

using Variables = std::vector<std::pair<std::string, std::string>>;

// An entry of a client's configuration that starts a quill-mcp, or is named "quill".
struct Registration {
  std::string client, scope, file, name;
  std::string command;  // as written; for a remote server, its URL
  std::vector<std::string> arguments = {};
  Variables environment = {};
  std::optional<std::string> slug = std::nullopt;  // its --client
  bool remote = false;                             // a server over HTTP, not a program
  std::string program = {};  // the file the command names, resolved; empty when there is none
  std::optional<std::string> broken = std::nullopt;   // why the client cannot start it
  std::optional<std::string> notRun = std::nullopt;   // why this program did not ask it
  std::optional<std::string> version = std::nullopt;  // what it answered to `initialize`
  std::vector<std::string> warnings = {};
};

// A client's configuration file that exists.
struct ClientFile {
  std::string client, file;
  std::optional<std::string> problem;  // why the client, or this program, cannot read it
};

// One thing to do, for people, and the lines to run or to write that do it.
struct Action {
  std::string kind;  // "fixRegistration", "fixFile", "register", "fixSocketPath", "openQuill",
                     // "restartQuill", "enableAccess", "signIn"; a client's key for how to register
  std::string text;
  std::vector<std::string> lines = {};
};

struct Diagnosis {
  Settings settings;
  PathFacts socket;
  StatusFacts status;
  ConnectionFacts connection;
  std::optional<std::string> launcherProblem;  // why the launcher cannot run
  std::optional<std::string> noLaunch;         // QUILL_MCP_NO_LAUNCH, when set
  std::string shimPath;                        // absolute: quill-mcp next to this program
  std::optional<std::string> shimProblem;
  // The environment overrides in force, which a registration must carry to find the same Quill.
  Variables overrides;
  std::vector<Registration> registrations;
  std::vector<ClientFile> files;
  std::vector<Action> registering;  // how to register this quill-mcp with each client
  // In the order that unblocks the next: what stops a client from starting quill-mcp, then Quill.
  std::vector<Action> actions;

  bool toolListReceived() const { return connection.toolList.has_value(); }
  // 0: Quill answers and nothing read is broken; 1: no tool list came back from Quill; 3: a
  // registration or a client's file is broken, whatever Quill does.
  int exitStatus() const;
};

Diagnosis diagnose(const Environment& environment, Settings settings);

// ---- The clients -------------------------------------------------------------------------------

// The files of the clients people use, read as each client reads them, at their places on this
// platform below HOME and the working folder (and its parents, where a client looks there); the
// registrations there, those of a project's files marked not to be run; and how to register the
// quill-mcp beside this program with each client, with the overrides in force.
void findRegistrations(const Environment& environment, Diagnosis& diagnosis);
// Checks the program of each registration, and asks those it may run for their version, side by
// side, for at most `seconds`.
void checkRegistrations(const std::string& version, double seconds, Diagnosis& diagnosis);
// Why a command names no program that can run; `cannotRun`: not a file, or not executable.
enum class ProgramReason { noCommand, notOnPath, missing, cannotRun };
// The file that `command` names, links followed, when it is a program that can run: a bare name
// is looked for on this process's PATH, a relative path from the working folder.
Result<std::string, ProgramReason> runnableFile(const std::string& command);
std::string problemText(const std::string& command, const Failure<ProgramReason>& failure);

// The remove and add commands, or the entry to write, that make `entry` start this quill-mcp.
Action fixFor(const Registration& entry, const Diagnosis& diagnosis);

// The member at the end of `keys`, each inside the one before; null where one is missing.
const JSONValue* memberAt(const JSONValue& value, std::initializer_list<std::string_view> keys);

// ---- Reports -----------------------------------------------------------------------------------

// The findings as one JSON object, for scripts; the text report is read from it.
JSONValue jsonReport(const Diagnosis& diagnosis);
// Plain text for a person at a terminal, ending in a line feed.
std::string textReport(const JSONValue& report);

}  // namespace quill::doctor
