#include "JSONRPC.h"

namespace quill::JSONRPC {

Result<JSONRPCRequest, DecodeFailure> decodeRequest(std::string_view line) {
  auto decoded = JSONValue::decode(line);
  if (const auto* failure = failed(decoded)) {
    return Failure<DecodeFailure>{DecodeFailure::parseError, 0, failure->detail};
  }
  const Failure<DecodeFailure> invalid{DecodeFailure::invalidRequest};
  const JSONValue* value = &std::get<JSONValue>(decoded);
  if (!value->objectValue()) return invalid;

  const JSONValue* method = value->member("method");
  if (!method || !method->stringValue()) return invalid;
  const JSONValue* id = value->member("id");
  if (id) {
    switch (id->kind()) {
      case JSONValue::Kind::number:
      case JSONValue::Kind::string:
      case JSONValue::Kind::null:
        break;
      default:
        return invalid;
    }
  }
  const JSONValue* params = value->member("params");
  return JSONRPCRequest{id ? std::optional<JSONValue>(*id) : std::nullopt,
                        std::string(*method->stringValue()),
                        params ? std::optional<JSONValue>(*params) : std::nullopt};
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
