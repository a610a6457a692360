#include "Shim.h"

#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <thread>

#include "ChildProcess.h"
#include "FileDescriptor.h"
#include "LineFraming.h"
#include "MCPCommandLine.h"
#include "MCPErrors.h"
#include "MCPProtocol.h"
#include "MCPSocketClient.h"
#include "ToolDefinition.h"
#include "ToolResultShapes.h"

namespace quill {

namespace {

constexpr std::size_t kReadChunkBytes = 64 * 1024;
// Followed by the method exactly as received.
constexpr std::string_view kMethodNotFound = "Method not found: ";

// A tool list is a quick question: one attempt, a short time-out, no recovery.
constexpr double kToolsListTimeoutSeconds = 5;
constexpr auto kFirstPause = std::chrono::microseconds(400'000);
constexpr auto kLongestPause = std::chrono::microseconds(2'000'000);
// How often a launcher that has not finished yet is looked at again.
constexpr auto kLauncherPoll = std::chrono::milliseconds(10);
constexpr std::string_view kLaunchLine =
    "app not reachable \u2014 launching Quill in the background";

// Blocks until `fd` has input (or has ended). `poll` cannot wait on every kind of descriptor:
// macOS answers POLLNVAL at once for a terminal, and the loop would spin; `select` can wait on
// those. Should both fail, a short sleep keeps the loop from spinning all the same.
void waitForInput(int fd) {
  pollfd ready{fd, POLLIN, 0};
  if (::poll(&ready, 1, -1) > 0 && !(ready.revents & POLLNVAL)) return;
  if (fd < FD_SETSIZE) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    if (::select(fd + 1, &readable, nullptr, nullptr, nullptr) > 0) return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

Shim::Shim(const std::vector<std::string>& arguments, Environment environment, Options options)
    : clientSlug_(MCPCommandLine::clientSlug(arguments)),
      env_(std::move(environment)),
      options_(std::move(options)) {}

int Shim::run() {
  std::signal(SIGPIPE, SIG_IGN);
  LineFraming framing(options_.maxLineBytes);
  std::unique_ptr<char[]> chunk(new char[kReadChunkBytes]);
  for (;;) {
    const ssize_t n = ::read(options_.streams.input, chunk.get(), kReadChunkBytes);
    if (n < 0 && errno == EINTR) continue;
    // A client may hand us a non-blocking descriptor: wait for input instead of ending.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      waitForInput(options_.streams.input);
      continue;
    }
    // End of input, or an input that can no longer be read: the client is gone.
    if (n <= 0) return 0;
    reapLauncher();
    for (std::string& line :
         framing.append(std::string_view(chunk.get(), static_cast<std::size_t>(n)))) {
      Answer result = answer(line);
      std::string().swap(line);  // a long line's memory goes back before the next one is read
      if (auto* encoded = std::get_if<std::string>(&result)) {
        if (!emit(std::move(*encoded))) return 0;  // the client is gone
      } else if (std::holds_alternative<EncodingFailed>(result)) {
        writeDiagnostic("failed to encode a response");
      }
    }
  }
}

Shim::Answer Shim::answer(std::string_view line) {
  if (line.empty()) return std::monostate{};
  auto decoded = JSONRPC::decodeRequest(line);
  Result<std::string, JSONWriteReason> encoded;
  if (const auto* failure = failed(decoded)) {
    const bool parse = failure->reason == JSONRPC::DecodeFailure::parseError;
    encoded = JSONRPC::encodeError(
        std::nullopt, parse ? JSONRPCErrorCode::parseError : JSONRPCErrorCode::invalidRequest,
        parse ? "Parse error" : "Invalid request");
  } else if (const auto& request = std::get<JSONRPCRequest>(decoded); request.isNotification()) {
    return std::monostate{};
  } else if (HandlerResult result = dispatch(request);
             auto* value = std::get_if<JSONValue>(&result)) {
    encoded = JSONRPC::encodeResponse(*request.id, *value);
  } else {
    const auto& error = std::get<JSONRPCError>(result);
    encoded = JSONRPC::encodeError(request.id, error.code, error.message, error.data);
  }
  if (failed(encoded)) return EncodingFailed{};
  return std::get<std::string>(std::move(encoded));
}

Shim::HandlerResult Shim::dispatch(const JSONRPCRequest& request) {
  const auto kind = MCPProtocol::classifyRequest(request.params);
  if (const auto* refusal = std::get_if<JSONRPCError>(&kind)) return *refusal;
  if (const auto* stateless = std::get_if<MCPProtocol::StatelessRequest>(&kind)) {
    return dispatchStateless(request, stateless->clientName);
  }
  if (request.method == "initialize") return handleInitialize(request);
  if (request.method == "ping") {
    static const JSONValue empty{JSONValue::Object{}};
    return empty;
  }
  if (request.method == "tools/list") return handleToolsList(request, clientName_);
  if (request.method == "tools/call") return handleToolsCall(request, clientName_);
  return JSONRPCError{JSONRPCErrorCode::methodNotFound,
                      std::string(kMethodNotFound) + request.method};
}

Shim::HandlerResult Shim::dispatchStateless(const JSONRPCRequest& request,
                                            const std::optional<std::string>& clientName) {
  if (request.method == "server/discover") return MCPProtocol::discoverResult(shimVersion);
  if (request.method == "tools/list") {
    return MCPProtocol::statelessToolsListResult(handleToolsList(request, clientName));
  }
  if (request.method == "tools/call") {
    HandlerResult result = handleToolsCall(request, clientName);
    if (const auto* value = std::get_if<JSONValue>(&result)) {
      return MCPProtocol::statelessToolsCallResult(*value);
    }
    return result;
  }
  // `initialize` and `ping` belong to the handshake, which this revision does without.
  return JSONRPCError{JSONRPCErrorCode::methodNotFound,
                      std::string(kMethodNotFound) + request.method};
}

JSONValue Shim::handleInitialize(const JSONRPCRequest& request) {
  std::optional<std::string_view> clientVersion;
  clientName_.reset();
  if (request.params) {
    if (auto clientInfo = (*request.params)["clientInfo"]) {
      if (const JSONValue* name = clientInfo->member("name"); name && name->stringValue()) {
        clientName_ = std::string(*name->stringValue());
      }
    }
    if (const JSONValue* version = request.params->member("protocolVersion")) {
      clientVersion = version->stringValue();
    }
  }
  return MCPProtocol::initializeResult(clientVersion, shimVersion);
}

JSONValue Shim::handleToolsList(const JSONRPCRequest& request,
                                const std::optional<std::string>& clientName) {
  MCPWireRequest wireRequest{1, request.id, "tools/list", clientSlug_, clientName, std::nullopt};
  auto result =
      MCPSocketClient::roundTrip(MCPPaths::socketPath(env_), wireRequest, kToolsListTimeoutSeconds);
  if (auto* response = std::get_if<MCPWireResponse>(&result)) {
    // A list the client would refuse as a whole would leave the agent without the tool.
    if (response->ok && response->result && isAcceptedToolListResult(*response->result)) {
      return std::move(*response->result);
    }
  }
  return ToolDefinition::listResult({});
}

Shim::HandlerResult Shim::handleToolsCall(const JSONRPCRequest& request,
                                          const std::optional<std::string>& clientName) {
  const JSONValue* name = request.params ? request.params->member("name") : nullptr;
  if (!name || name->stringValue() != ToolDefinition::getContextPacketName) {
    return JSONRPCError{JSONRPCErrorCode::invalidParams, "Unknown tool"};
  }
  MCPWireRequest::Params params{std::string(ToolDefinition::getContextPacketName), std::nullopt};
  if (const JSONValue* arguments = request.params->member("arguments")) {
    params.arguments = *arguments;
  }
  MCPWireRequest wireRequest{1,           request.id, "tools/call",
                             clientSlug_, clientName, std::move(params)};
  return toolResult(callWithRecovery(wireRequest));
}

Shim::CallOutcome Shim::callWithRecovery(const MCPWireRequest& request) {
  using MCPSocketClient::Kind;
  auto attempt = [&] {
    return MCPSocketClient::roundTrip(
        MCPPaths::socketPath(env_), request,
        std::chrono::duration<double>(options_.toolCallTimeout).count());
  };
  auto failureKind = [](const MCPSocketClient::Result& result) {
    return MCPSocketClient::kindOf(std::get<MCPSocketClient::Failure>(result).reason);
  };
  auto result = attempt();
  if (auto* response = std::get_if<MCPWireResponse>(&result)) return std::move(*response);
  // The application was reached but the exchange failed, or it listens but does not take the
  // connection: it runs, and retrying or launching it again will not help.
  if (failureKind(result) != Kind::connect) return Friendly{MCPErrors::internalError};

  // Unreachable. The status file may already say why, and then launching would not help.
  auto explainFromStatus = [this]() -> std::optional<Friendly> {
    const auto read = MCPStatus::readFile(MCPPaths::statusFilePath(env_));
    const auto* status = std::get_if<MCPStatus>(&read);
    if (status && !status->enabled) return Friendly{MCPErrors::disabled};
    if (status && !status->signedIn) return Friendly{MCPErrors::signedOut};
    return std::nullopt;
  };
  if (auto reason = explainFromStatus()) return *reason;

  // What the latest attempt came to decides the text when the status file explains nothing.
  auto lastFailure = Kind::connect;
  if (!MCPCommandLine::launchForbidden(env_)) {
    if (!launchedApp_) {
      launchedApp_ = true;
      writeDiagnostic(kLaunchLine);
      launchApp();
    }
    const auto deadline = std::chrono::steady_clock::now() + options_.retryWindow;
    auto pause = kFirstPause;
    while (std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(pause);
      result = attempt();
      if (auto* response = std::get_if<MCPWireResponse>(&result)) return std::move(*response);
      lastFailure = failureKind(result);
      pause = std::min(pause * 2, kLongestPause);
    }
  }
  if (auto reason = explainFromStatus()) return *reason;
  // Reached at the end but unable to answer, it is running: saying it is not would mislead.
  if (lastFailure != Kind::connect) return Friendly{MCPErrors::internalError};
  return Friendly{MCPErrors::appNotRunning};
}

void Shim::launchApp() {
  // The launcher must not read the client's requests from our standard input, nor write into the
  // answer stream on our standard output: it gets /dev/null as input and our standard error as
  // its output.
  const LaunchCommand& launch = options_.launchCommand;
  auto started = ChildProcess::start(launch.launcherPath, launch.launcherArguments,
                                     {-1, options_.streams.error, options_.streams.error}, false);
  auto* launcher = std::get_if<ChildProcess>(&started);
  if (!launcher) return;  // a launcher that cannot start is ignored: the retries still run
  launcher_.emplace(std::move(*launcher));
  // A launcher that hangs must not keep the call from being answered: it is waited for at most
  // one window, and one still running then is left to finish and collected later.
  const auto giveUp = std::chrono::steady_clock::now() + options_.retryWindow;
  while (launcher_ && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(kLauncherPoll);
    reapLauncher();
  }
}

void Shim::reapLauncher() {
  if (launcher_ && launcher_->ended()) launcher_.reset();
}

JSONValue Shim::toolResult(const CallOutcome& outcome) {
  auto failure = [](std::string_view text) {
    return ToolCallResult{std::string(text), true}.jsonValue();
  };
  if (auto* friendly = std::get_if<Friendly>(&outcome)) return failure(friendly->text);
  const auto& response = std::get<MCPWireResponse>(outcome);
  // A result the client would refuse as a whole would leave the agent without any text.
  if (response.ok && response.result) {
    return isAcceptedToolCallResult(*response.result) ? *response.result
                                                      : failure(MCPErrors::internalError);
  }
  if (!response.error) return failure(MCPErrors::internalError);
  switch (response.error->code) {
    case MCPWireErrorCode::disabled:
      return failure(MCPErrors::disabled);
    case MCPWireErrorCode::signedOut:
      return failure(MCPErrors::signedOut);
    case MCPWireErrorCode::noProjects:
      return failure(MCPErrors::noProjects);
    case MCPWireErrorCode::unknownProject:
    case MCPWireErrorCode::ambiguousProject:
    case MCPWireErrorCode::internalError:
      break;
  }
  const std::string& message = response.error->message;
  return failure(message.empty() ? MCPErrors::internalError : std::string_view(message));
}

bool Shim::emit(std::string answer) {
  answer.push_back('\n');
  return !failed(writeAll(options_.streams.output, answer));
}

void Shim::writeDiagnostic(std::string_view line) {
  std::string text = "quill-mcp: ";
  text += line;
  text += '\n';
  (void)writeAll(options_.streams.error, text);
}

}  // namespace quill
