#include "MCPWire.h"

#include <array>
#include <cmath>

namespace quill {

namespace {

struct CodeName {
  MCPWireErrorCode code;
  std::string_view raw;
};
constexpr std::array<CodeName, 6> kCodeNames = {{
    {MCPWireErrorCode::disabled, "disabled"},
    {MCPWireErrorCode::signedOut, "signedOut"},
    {MCPWireErrorCode::unknownProject, "unknownProject"},
    {MCPWireErrorCode::ambiguousProject, "ambiguousProject"},
    {MCPWireErrorCode::noProjects, "noProjects"},
    {MCPWireErrorCode::internalError, "internal"},
}};

// The three outcomes of reading one member.
enum class Read { absent, present, wrongKind };

// A member that must be present.
const JSONValue* required(const JSONValue& object, std::string_view key) {
  return object.member(key);
}

// An optional member: missing or null reads as absent.
const JSONValue* optionalMember(const JSONValue& object, std::string_view key) {
  const JSONValue* value = object.member(key);
  return (value && !value->isNull()) ? value : nullptr;
}

Read readOptionalString(const JSONValue& object, std::string_view key,
                        std::optional<std::string>& out) {
  const JSONValue* value = optionalMember(object, key);
  if (!value) return Read::absent;
  auto text = value->stringValue();
  if (!text) return Read::wrongKind;
  out = std::string(*text);
  return Read::present;
}

void readOptionalValue(const JSONValue& object, std::string_view key,
                       std::optional<JSONValue>& out) {
  if (const JSONValue* value = optionalMember(object, key)) out = *value;
}

// "v": an integral number that fits a signed 64-bit integer.
std::optional<std::int64_t> readVersion(const JSONValue* value) {
  if (!value) return std::nullopt;
  auto number = value->numberValue();
  if (!number || *number != std::trunc(*number)) return std::nullopt;
  return value->intValue();
}

}  // namespace

std::string_view rawValue(MCPWireErrorCode code) {
  for (const auto& entry : kCodeNames) {
    if (entry.code == code) return entry.raw;
  }
  return "internal";
}

std::optional<MCPWireErrorCode> wireErrorCodeFromRawValue(std::string_view raw) {
  for (const auto& entry : kCodeNames) {
    if (entry.raw == raw) return entry.code;
  }
  return std::nullopt;
}

MCPWireResponse MCPWireResponse::success(std::optional<JSONValue> id, JSONValue result) {
  return MCPWireResponse{1, std::move(id), true, std::move(result), std::nullopt};
}

MCPWireResponse MCPWireResponse::failure(std::optional<JSONValue> id, MCPWireErrorCode code,
                                         std::string message) {
  return MCPWireResponse{1, std::move(id), false, std::nullopt,
                         WireError{code, std::move(message)}};
}

namespace MCPWire {

JSONValue jsonValue(const MCPWireRequest::Params& params) {
  std::vector<std::pair<std::string, JSONValue>> members;
  if (params.name) members.emplace_back("name", *params.name);
  if (params.arguments) members.emplace_back("arguments", *params.arguments);
  return JSONValue::object(std::move(members));
}

JSONValue jsonValue(const MCPWireRequest& request) {
  std::vector<std::pair<std::string, JSONValue>> members;
  members.emplace_back("v", request.v);
  members.emplace_back("method", request.method);
  if (request.id) members.emplace_back("id", *request.id);
  if (request.client) members.emplace_back("client", *request.client);
  if (request.clientName) members.emplace_back("clientName", *request.clientName);
  if (request.params) members.emplace_back("params", jsonValue(*request.params));
  return JSONValue::object(std::move(members));
}

JSONValue jsonValue(const MCPWireResponse::WireError& error) {
  return JSONValue::object({{"code", rawValue(error.code)}, {"message", error.message}});
}

JSONValue jsonValue(const MCPWireResponse& response) {
  std::vector<std::pair<std::string, JSONValue>> members;
  members.emplace_back("v", response.v);
  members.emplace_back("ok", response.ok);
  if (response.id) members.emplace_back("id", *response.id);
  if (response.result) members.emplace_back("result", *response.result);
  if (response.error) members.emplace_back("error", jsonValue(*response.error));
  return JSONValue::object(std::move(members));
}

std::optional<MCPWireRequest> requestFromJSON(const JSONValue& value) {
  if (!value.objectValue()) return std::nullopt;
  MCPWireRequest request;
  auto v = readVersion(required(value, "v"));
  if (!v) return std::nullopt;
  request.v = *v;

  const JSONValue* method = required(value, "method");
  if (!method || !method->stringValue()) return std::nullopt;
  request.method = std::string(*method->stringValue());

  readOptionalValue(value, "id", request.id);
  if (readOptionalString(value, "client", request.client) == Read::wrongKind) return std::nullopt;
  if (readOptionalString(value, "clientName", request.clientName) == Read::wrongKind) {
    return std::nullopt;
  }
  if (const JSONValue* params = optionalMember(value, "params")) {
    if (!params->objectValue()) return std::nullopt;
    MCPWireRequest::Params decoded;
    if (readOptionalString(*params, "name", decoded.name) == Read::wrongKind) return std::nullopt;
    readOptionalValue(*params, "arguments", decoded.arguments);
    request.params = std::move(decoded);
  }
  return request;
}

std::optional<MCPWireResponse> responseFromJSON(const JSONValue& value) {
  if (!value.objectValue()) return std::nullopt;
  MCPWireResponse response;
  auto v = readVersion(required(value, "v"));
  if (!v) return std::nullopt;
  response.v = *v;

  const JSONValue* ok = required(value, "ok");
  if (!ok || !ok->boolValue()) return std::nullopt;
  response.ok = *ok->boolValue();

  readOptionalValue(value, "id", response.id);
  readOptionalValue(value, "result", response.result);
  if (const JSONValue* error = optionalMember(value, "error")) {
    if (!error->objectValue()) return std::nullopt;
    const JSONValue* code = required(*error, "code");
    const JSONValue* message = required(*error, "message");
    if (!code || !code->stringValue() || !message || !message->stringValue()) return std::nullopt;
    auto parsed = wireErrorCodeFromRawValue(*code->stringValue());
    if (!parsed) return std::nullopt;
    response.error = MCPWireResponse::WireError{*parsed, std::string(*message->stringValue())};
  }
  return response;
}

std::optional<MCPWireRequest> decodeRequest(std::string_view bytes) {
  auto decoded = JSONValue::decode(bytes);
  auto* value = std::get_if<JSONValue>(&decoded);
  return value ? requestFromJSON(*value) : std::nullopt;
}

std::optional<MCPWireResponse> decodeResponse(std::string_view bytes) {
  auto decoded = JSONValue::decode(bytes);
  auto* value = std::get_if<JSONValue>(&decoded);
  return value ? responseFromJSON(*value) : std::nullopt;
}

}  // namespace MCPWire
}  // namespace quill
