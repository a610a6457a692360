#include "JSONRPC.h"

namespace quill::JSONRPC {

Result<JSONRPCRequest, DecodeFailure> decodeRequest(std::string_view line) {
  auto decoded = JSONValue::decode(line);
  if (const auto* failure = failed(decoded)) {
    return Failure<DecodeFailure>{DecodeFailure::parseError, 0, failure->detail};
  }
  const JSONValue& request = std::get<JSONValue>(decoded);
  const JSONValue* method = request.member("method");  // null unless the request is an object
  std::optional<JSONValue> id = request["id"];
  const bool idAccepted = !id || id->numberValue() || id->stringValue() || id->isNull();
  if (!method || !method->stringValue() || !idAccepted) {
    return Failure<DecodeFailure>{DecodeFailure::invalidRequest};
  }
  return JSONRPCRequest{std::move(id), std::string(*method->stringValue()), request["params"]};
}

// The members are listed in the order the writer puts them in, which spares sorting them.
Result<std::string, JSONWriteReason> encodeResponse(const JSONValue& id, const JSONValue& result) {
  return JSONValue::object({{"id", id}, {"jsonrpc", "2.0"}, {"result", result}}).encodedData();
}

Result<std::string, JSONWriteReason> encodeError(const std::optional<JSONValue>& id,
                                                 std::int64_t code, std::string_view message,
                                                 const std::optional<JSONValue>& data) {
  const JSONValue error =
      data ? JSONValue::object({{"code", code}, {"data", *data}, {"message", message}})
           : JSONValue::object({{"code", code}, {"message", message}});
  return JSONValue::object({{"error", error}, {"id", id.value_or(JSONValue())}, {"jsonrpc", "2.0"}})
      .encodedData();
}

}  // namespace quill::JSONRPC
