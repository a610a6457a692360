#include "JSONRPC.h"

namespace quill::JSONRPC {

std::variant<JSONRPCRequest, DecodeFailure> decodeRequest(std::string_view line,
                                                          std::size_t readableBytes,
                                                          const JSONValue::Backing& backing) {
  // The whole text is read and checked, but only the three members that matter are kept. Of the
  // params, the members are looked at; what lies deeper (a tool's arguments) is mostly passed on
  // as it is, and so kept as text until something looks into it.
  static constexpr std::string_view kKeys[] = {"id", "method", "params"};
  constexpr std::size_t kTextFromDepth = 3;
  std::optional<JSONValue> members[3];
  auto decoded =
      JSONValue::decodeMembers(line, readableBytes, kKeys, members, backing, kTextFromDepth);
  auto* kind = std::get_if<JSONValue::Kind>(&decoded);
  if (!kind) return DecodeFailure::parseError;
  if (*kind != JSONValue::Kind::object) return DecodeFailure::invalidRequest;
  auto& [id, method, params] = members;

  if (!method || !method->stringValue()) return DecodeFailure::invalidRequest;
  if (id) {
    switch (id->kind()) {
      case JSONValue::Kind::number:
      case JSONValue::Kind::string:
      case JSONValue::Kind::null:
        break;
      default:
        return DecodeFailure::invalidRequest;
    }
  }
  return JSONRPCRequest{std::move(id), std::string(*method->stringValue()), std::move(params)};
}

std::optional<std::string> encodeResponse(const JSONValue& id, const JSONValue& result) {
  // The members in key order, as the writer would put them. A usual answer, and the line feed the
  // loop adds, fit in the first allocation.
  std::string out;
  out.reserve(256);
  out = "{\"id\":";
  if (!id.encodeInto(out)) return std::nullopt;
  out += ",\"jsonrpc\":\"2.0\",\"result\":";
  if (!result.encodeInto(out)) return std::nullopt;
  out += '}';
  return out;
}

std::optional<std::string> encodeError(const std::optional<JSONValue>& id, std::int64_t code,
                                       std::string_view message,
                                       const std::optional<JSONValue>& data) {
  const JSONValue error =
      data ? JSONValue::object({{"code", code}, {"data", *data}, {"message", message}})
           : JSONValue::object({{"code", code}, {"message", message}});
  return JSONValue::object({{"jsonrpc", "2.0"}, {"id", id.value_or(JSONValue())}, {"error", error}})
      .encodedData();
}

}  // namespace quill::JSONRPC
