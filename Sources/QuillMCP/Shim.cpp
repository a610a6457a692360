#include "Shim.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>

#include "LineFraming.h"
#include "MCPProtocol.h"

namespace quill {

namespace {

constexpr std::size_t kReadChunkBytes = 64 * 1024;

// Writes all of `bytes` to `fd`, continuing after short writes and interruptions. False when
// the descriptor is gone or fails.
bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

std::optional<std::string> Shim::scanClientSlug(const std::vector<std::string>& arguments) {
  std::optional<std::string> slug;
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == "--client") slug = arguments[i + 1];
  }
  return slug;
}

Shim::Shim(const std::vector<std::string>& arguments, Environment environment,
           LaunchCommand launchCommand, Streams streams)
    : clientSlug_(scanClientSlug(arguments)),
      env_(std::move(environment)),
      launchCommand_(std::move(launchCommand)),
      streams_(streams) {}

void Shim::run() {
  std::signal(SIGPIPE, SIG_IGN);
  LineFraming framing;
  auto chunk = std::make_unique<char[]>(kReadChunkBytes);
  for (;;) {
    const ssize_t n = ::read(streams_.input, chunk.get(), kReadChunkBytes);
    if (n < 0 && errno == EINTR) continue;
    // End of input, or an input that can no longer be read: the client is gone.
    if (n <= 0) std::exit(0);
    for (auto& line : framing.append(std::string_view(chunk.get(), static_cast<std::size_t>(n)))) {
      Answer result = answer(line);
      std::string().swap(line);  // a large request's memory is released before the next one
      if (auto* encoded = std::get_if<std::string>(&result)) {
        emit(std::move(*encoded));
      } else if (std::holds_alternative<EncodingFailed>(result)) {
        emitEncodingFailure();
      }
    }
  }
}

Shim::Answer Shim::answer(std::string_view line) {
  if (line.empty()) return std::monostate{};
  auto decoded = JSONRPC::decodeRequest(line);
  if (auto* failure = std::get_if<JSONRPC::DecodeFailure>(&decoded)) {
    const bool parse = *failure == JSONRPC::DecodeFailure::parseError;
    auto encoded = JSONRPC::encodeError(
        std::nullopt, parse ? JSONRPCErrorCode::parseError : JSONRPCErrorCode::invalidRequest,
        parse ? "Parse error" : "Invalid request");
    if (!encoded) return EncodingFailed{};
    return std::move(*encoded);
  }
  const auto& request = std::get<JSONRPCRequest>(decoded);
  if (request.isNotification()) return std::monostate{};

  HandlerResult result = dispatch(request);
  std::optional<std::string> encoded;
  if (auto* value = std::get_if<JSONValue>(&result)) {
    encoded = JSONRPC::encodeResponse(*request.id, *value);
  } else {
    const auto& error = std::get<MethodError>(result);
    encoded = JSONRPC::encodeError(request.id, error.code, error.message);
  }
  if (!encoded) return EncodingFailed{};
  return std::move(*encoded);
}

Shim::HandlerResult Shim::dispatch(const JSONRPCRequest& request) {
  if (request.method == "initialize") return handleInitialize(request);
  if (request.method == "ping") return JSONValue(JSONValue::Object{});
  return MethodError{JSONRPCErrorCode::methodNotFound, "Method not found: " + request.method};
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

void Shim::emit(std::string answer) {
  answer.push_back('\n');
  if (!writeAll(streams_.output, answer)) std::exit(0);
}

void Shim::emitEncodingFailure() { writeDiagnostic("failed to encode a response"); }

void Shim::writeDiagnostic(std::string_view line) {
  std::string text = "quill-mcp: ";
  text += line;
  text += '\n';
  (void)writeAll(streams_.error, text);
}

}  // namespace quill
