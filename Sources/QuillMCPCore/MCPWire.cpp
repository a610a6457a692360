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

using Failed = Failure<MCPWire::Reason>;

Failed notARecord(std::string what) {
  return Failed{MCPWire::Reason::notARecord, 0, std::move(what)};
}

// A member that must be present; missing gives nothing.
const JSONValue* required(const JSONValue& object, std::string_view key) {
  return object.member(key);
}

// An optional member: missing or null reads as absent.
const JSONValue* optionalMember(const JSONValue& object, std::string_view key) {
  const JSONValue* value = object.member(key);
  return (value && !value->isNull()) ? value : nullptr;
}

// An optional text; false when the member is there but no text.
bool readOptionalString(const JSONValue& object, std::string_view key,
                        std::optional<std::string>& out) {
  const JSONValue* value = optionalMember(object, key);
  if (!value) return true;
  if (!value->stringValue()) return false;
  out = std::string(*value->stringValue());
  return true;
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

// `text` read as JSON, then as a record by `fromJSON`.
template <typename Record>
Result<Record, MCPWire::Reason> decodeWith(
    std::string_view text, Result<Record, MCPWire::Reason> (*fromJSON)(const JSONValue&)) {
  auto decoded = JSONValue::decode(text);
  if (const auto* failure = failed(decoded)) {
    return Failed{MCPWire::Reason::notJSON, 0, failure->detail};
  }
  return fromJSON(std::get<JSONValue>(decoded));
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

Result<MCPWireRequest, Reason> requestFromJSON(const JSONValue& value) {
  if (!value.objectValue()) return notARecord("not an object");
  MCPWireRequest request;
  auto v = readVersion(required(value, "v"));
  if (!v) return notARecord("\"v\" is not a whole number");
  request.v = *v;
  const JSONValue* method = required(value, "method");
  if (!method || !method->stringValue()) return notARecord("\"method\" is not a text");
  request.method = std::string(*method->stringValue());
  readOptionalValue(value, "id", request.id);
  if (!readOptionalString(value, "client", request.client)) {
    return notARecord("\"client\" is not a text");
  }
  if (!readOptionalString(value, "clientName", request.clientName)) {
    return notARecord("\"clientName\" is not a text");
  }
  if (const JSONValue* params = optionalMember(value, "params")) {
    MCPWireRequest::Params decoded;
    if (!params->objectValue() || !readOptionalString(*params, "name", decoded.name)) {
      return notARecord("\"params\" is not an object with a text \"name\"");
    }
    readOptionalValue(*params, "arguments", decoded.arguments);
    request.params = std::move(decoded);
  }
  return request;
}

Result<MCPWireResponse, Reason> responseFromJSON(const JSONValue& value) {
  if (!value.objectValue()) return notARecord("not an object");
  MCPWireResponse response;
  auto v = readVersion(required(value, "v"));
  if (!v) return notARecord("\"v\" is not a whole number");
  response.v = *v;
  const JSONValue* ok = required(value, "ok");
  if (!ok || !ok->boolValue()) return notARecord("\"ok\" is not true or false");
  response.ok = *ok->boolValue();
  readOptionalValue(value, "id", response.id);
  readOptionalValue(value, "result", response.result);
  if (const JSONValue* error = optionalMember(value, "error")) {
    const JSONValue* code = error->objectValue() ? required(*error, "code") : nullptr;
    const JSONValue* message = error->objectValue() ? required(*error, "message") : nullptr;
    auto parsed = code && code->stringValue() ? wireErrorCodeFromRawValue(*code->stringValue())
                                              : std::nullopt;
    if (!parsed || !message || !message->stringValue()) {
      return notARecord("\"error\" is not an object with a known \"code\" and a text \"message\"");
    }
    response.error = MCPWireResponse::WireError{*parsed, std::string(*message->stringValue())};
  }
  return response;
}

Result<MCPWireRequest, Reason> decodeRequest(std::string_view bytes) {
  return decodeWith(bytes, requestFromJSON);
}

Result<MCPWireResponse, Reason> decodeResponse(std::string_view bytes) {
  return decodeWith(bytes, responseFromJSON);
}

}  // namespace MCPWire
}  // namespace quill
