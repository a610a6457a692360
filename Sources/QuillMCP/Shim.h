// The shim process: its configuration, its request loop and the handlers of the MCP methods.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ChildProcess.h"
#include "JSONRPC.h"
#include "JSONValue.h"
#include "LineFraming.h"
#include "MCPPaths.h"
#include "MCPStatus.h"
#include "MCPWire.h"

namespace quill {

// How the desktop application is started when it cannot be reached: `launcherPath` is run
// directly (no shell) with `launcherArguments`, which end in the application's identifier.
struct LaunchCommand {
  std::string launcherPath;
  std::vector<std::string> launcherArguments;
};

// The one process object. It reads JSON-RPC requests from `inputFd`, one per line, and writes
// one answer line per request that carries an id to `outputFd`; diagnostics go to `errorFd`.
class Shim {
 public:
  // The standard descriptors; tests drive the loop over pipes instead.
  struct Streams {
    int input = 0;
    int output = 1;
    int error = 2;
  };

  // How the shim starts the application, where it reads and writes, and its limits: the defaults
  // are the shipped ones; tests shorten the waits.
  struct Options {
    LaunchCommand launchCommand;
    Streams streams = {};
    // Each attempt of a tool call; a tool list always gets 5 seconds.
    std::chrono::milliseconds toolCallTimeout = std::chrono::seconds(30);
    // After a launch, how long the application gets to start listening.
    std::chrono::milliseconds retryWindow = std::chrono::seconds(10);
    std::size_t maxLineBytes = LineFraming::maxLineBytes;
  };

  // `arguments` is the whole argument vector, program path included; `--client <slug>` sets
  // the client slug (the last one with a value wins); every other argument is ignored.
  Shim(const std::vector<std::string>& arguments, Environment environment, Options options);

  // Serves until the input ends or the output is gone (the client has left), and gives the
  // process's exit status, 0. Ignores SIGPIPE for the whole process.
  int run();

  // What one input line gets: nothing (empty lines and notifications), an encoded answer, or
  // `encodingFailed` when the answer could not be written as JSON.
  struct EncodingFailed {};
  using Answer = std::variant<std::monostate, std::string, EncodingFailed>;
  Answer answer(std::string_view line);

  const std::optional<std::string>& clientSlug() const { return clientSlug_; }
  const std::optional<std::string>& clientName() const { return clientName_; }
  const Environment& env() const { return env_; }
  bool launchedApp() const { return launchedApp_; }
  static constexpr std::string_view shimVersion = QUILL_MCP_VERSION;

 private:
  // A handler's answer: a result, or an error.
  using HandlerResult = std::variant<JSONValue, JSONRPCError>;

  // What a tool call came to: the application's response (which may itself report an error),
  // or a text for the agent when no response could be had.
  struct Friendly {
    std::string_view text;
  };
  using CallOutcome = std::variant<MCPWireResponse, Friendly>;

  HandlerResult dispatch(const JSONRPCRequest& request);
  // A request that carries its protocol version in `params._meta`, answered from the request
  // alone (`clientName` is the one it names itself): `clientName_` is neither read nor changed.
  HandlerResult dispatchStateless(const JSONRPCRequest& request,
                                  const std::optional<std::string>& clientName);
  JSONValue handleInitialize(const JSONRPCRequest& request);
  // `clientName` is what the application is told about the client: `clientName_` after a
  // handshake, or what a stateless request names itself.
  JSONValue handleToolsList(const JSONRPCRequest& request,
                            const std::optional<std::string>& clientName);
  HandlerResult handleToolsCall(const JSONRPCRequest& request,
                                const std::optional<std::string>& clientName);

  // One attempt; if the application is unreachable: the status file, one launch per process,
  // and retries with growing pauses for a fixed window. Never fails.
  CallOutcome callWithRecovery(const MCPWireRequest& request);
  // Starts the application in the background and waits for the launcher to finish, for at most
  // one retry window.
  void launchApp();
  // Forgets the launcher once it has ended and been collected, so that it leaves no zombie.
  void reapLauncher();
  static JSONValue toolResult(const CallOutcome& outcome);

  // Writes the answer and a line feed to the output, normally in one write; a short write is
  // continued so that a large answer is never cut. False when the output is gone.
  bool emit(std::string answer);
  void writeDiagnostic(std::string_view line);

  std::optional<std::string> clientSlug_;
  Environment env_;
  std::optional<std::string> clientName_;
  bool launchedApp_ = false;
  std::optional<ChildProcess> launcher_;  // a launcher not collected yet
  Options options_;
};

}  // namespace quill
