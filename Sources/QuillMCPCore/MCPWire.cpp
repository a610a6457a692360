#include "MCPWire.h"

#include <utility>
#include <vector>

namespace quill {

namespace {

constexpr std::pair<MCPWireErrorCode, std::string_view> kRawValues[] = {
    {MCPWireErrorCode::disabled, "disabled"},
    {MCPWireErrorCode::signedOut, "signedOut"},
    {MCPWireErrorCode::unknownProject, "unknownProject"},
    {MCPWireErrorCode::ambiguousProject, "ambiguousProject"},
    {MCPWireErrorCode::noProjects, "noProjects"},
    {MCPWireErrorCode::internalError, "internal"},
};

using Members = std::vector<std::pair<std::string, JSONValue>>;
using Failed = Failure<MCPWire::Reason>;

Failed notJSON(const Failure<JSONReadReason>& failure) {
  return Failed{MCPWire::Reason::notJSON, 0, failure.detail};
}

Failed notARecord(std::string what) {
  return Failed{MCPWire::Reason::notARecord, 0, std::move(what)};
}

// The text of a member that may be missing.
std::optional<std::string_view> textOf(const JSONValue* value) {
  return value ? value->stringValue() : std::nullopt;
}

// An optional member: missing or null reads as absent.
const JSONValue* optionalMember(const JSONValue& object, std::string_view key) {
  const JSONValue* value = object.member(key);
  return value && !value->isNull() ? value : nullptr;
}

std::optional<JSONValue> optionalValue(const JSONValue& object, std::string_view key) {
  const JSONValue* value = optionalMember(object, key);
  return value ? std::optional(*value) : std::nullopt;
}

// An optional text; false when the member is there but no text.
bool readOptionalText(const JSONValue& object, std::string_view key,
                      std::optional<std::string>& out) {
  const JSONValue* value = optionalMember(object, key);
  if (!value) return true;
  if (!value->stringValue()) return false;
  out = std::string(*value->stringValue());
  return true;
}

// "v": a whole number within the signed 64-bit range.
std::optional<std::int64_t> readVersion(const JSONValue& record) {
  const JSONValue* v = record.member("v");
  const auto whole = v ? v->intValue() : std::nullopt;
  if (whole && static_cast<double>(*whole) == *v->numberValue()) return whole;
  return std::nullopt;
}

}  // namespace

std::string_view rawValue(MCPWireErrorCode code) {
  for (const auto& [known, raw] : kRawValues) {
    if (known == code) return raw;
  }
  return "internal";
}

std::optional<MCPWireErrorCode> wireErrorCodeFromRawValue(std::string_view raw) {
  for (const auto& [code, known] : kRawValues) {
    if (known == raw) return code;
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
  Members members;
  if (params.name) members.emplace_back("name", *params.name);
  if (params.arguments) members.emplace_back("arguments", *params.arguments);
  return JSONValue::object(std::move(members));
}

JSONValue jsonValue(const MCPWireRequest& request) {
  Members members = {{"v", request.v}, {"method", request.method}};
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
  Members members = {{"v", response.v}, {"ok", response.ok}};
  if (response.id) members.emplace_back("id", *response.id);
  if (response.result) members.emplace_back("result", *response.result);
  if (response.error) members.emplace_back("error", jsonValue(*response.error));
  return JSONValue::object(std::move(members));
}

Result<MCPWireRequest, Reason> requestFromJSON(const JSONValue& value) {
  if (!value.objectValue()) return notARecord("not an object");
  MCPWireRequest request;
  const auto v = readVersion(value);
  if (!v) return notARecord("\"v\" is not a whole number");
  request.v = *v;
  const auto method = textOf(value.member("method"));
  if (!method) return notARecord("\"method\" is not a text");
  request.method = *method;
  request.id = optionalValue(value, "id");
  if (!readOptionalText(value, "client", request.client)) {
    return notARecord("\"client\" is not a text");
  }
  if (!readOptionalText(value, "clientName", request.clientName)) {
    return notARecord("\"clientName\" is not a text");
  }
  if (const JSONValue* params = optionalMember(value, "params")) {
    MCPWireRequest::Params& decoded = request.params.emplace();
    if (!params->objectValue() || !readOptionalText(*params, "name", decoded.name)) {
      return notARecord("\"params\" is not an object with a text \"name\"");
    }
    decoded.arguments = optionalValue(*params, "arguments");
  }
  return request;
}

Result<MCPWireResponse, Reason> responseFromJSON(const JSONValue& value) {
  if (!value.objectValue()) return notARecord("not an object");
  MCPWireResponse response;
  const auto v = readVersion(value);
  if (!v) return notARecord("\"v\" is not a whole number");
  response.v = *v;
  const JSONValue* ok = value.member("ok");
  if (!ok || !ok->boolValue()) return notARecord("\"ok\" is not true or false");
  response.ok = *ok->boolValue();
  response.id = optionalValue(value, "id");
  response.result = optionalValue(value, "result");
  if (const JSONValue* error = optionalMember(value, "error")) {
    const auto code = textOf(error->member("code"));
    const auto message = textOf(error->member("message"));
    const auto known = code ? wireErrorCodeFromRawValue(*code) : std::nullopt;
    if (!known || !message) {
      return notARecord("\"error\" is not an object with a known \"code\" and a text \"message\"");
    }
    response.error = MCPWireResponse::WireError{*known, std::string(*message)};
  }
  return response;
}

Result<MCPWireRequest, Reason> decodeRequest(std::string_view bytes) {
  auto decoded = JSONValue::decode(bytes);
  if (const auto* failure = failed(decoded)) return notJSON(*failure);
  return requestFromJSON(std::get<JSONValue>(decoded));
}

Result<MCPWireResponse, Reason> decodeResponse(std::string_view bytes) {
  auto decoded = JSONValue::decode(bytes);
  if (const auto* failure = failed(decoded)) return notJSON(*failure);
  return responseFromJSON(std::get<JSONValue>(decoded));
}

}  // namespace MCPWire
}  // namespace quill
