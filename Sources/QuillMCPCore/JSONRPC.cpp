#include "JSONRPC.h"

namespace quill::JSONRPC {

std::variant<JSONRPCRequest, DecodeFailure> decodeRequest(std::string_view line) {
  auto decoded = JSONValue::decode(line);
  auto* value = std::get_if<JSONValue>(&decoded);
  if (!value) return DecodeFailure::parseError;
  if (!value->objectValue()) return DecodeFailure::invalidRequest;

  JSONRPCRequest request;
  const JSONValue* method = value->member("method");
  if (!method || !method->stringValue()) return DecodeFailure::invalidRequest;
  request.method = std::string(*method->stringValue());

  if (const JSONValue* id = value->member("id")) {
    switch (id->kind()) {
      case JSONValue::Kind::number:
      case JSONValue::Kind::string:
      case JSONValue::Kind::null:
        request.id = *id;
        break;
      default:
        return DecodeFailure::invalidRequest;
    }
  }
  if (const JSONValue* params = value->member("params")) request.params = *params;
  return request;
}

std::optional<std::string> encodeResponse(const JSONValue& id, const JSONValue& result) {
  return JSONValue::object({{"jsonrpc", "2.0"}, {"id", id}, {"result", result}}).encodedData();
}

std::optional<std::string> encodeError(const std::optional<JSONValue>& id, std::int64_t code,
                                       std::string_view message) {
  const JSONValue error = JSONValue::object({{"code", code}, {"message", message}});
  return JSONValue::object({{"jsonrpc", "2.0"}, {"id", id.value_or(JSONValue())}, {"error", error}})
      .encodedData();
}

}  // namespace quill::JSONRPC
