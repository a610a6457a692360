// The JSON-RPC 2.0 envelope between one input line and the request loop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "JSONValue.h"

namespace quill {

// A decoded request. A present `id` is a number, a string or null; null is kept apart from
// absent, though both make the request a notification.
struct JSONRPCRequest {
  std::optional<JSONValue> id;
  std::string method;
  std::optional<JSONValue> params;

  bool isNotification() const noexcept { return !id || id->isNull(); }

  friend bool operator==(const JSONRPCRequest&, const JSONRPCRequest&) = default;
};

// The JSON-RPC 2.0 error codes, as plain integers.
namespace JSONRPCErrorCode {
inline constexpr std::int64_t parseError = -32700;
inline constexpr std::int64_t invalidRequest = -32600;
inline constexpr std::int64_t methodNotFound = -32601;
inline constexpr std::int64_t invalidParams = -32602;
inline constexpr std::int64_t internalError = -32603;
}  // namespace JSONRPCErrorCode

// An error answer: its code, its message and, rarely, data.
struct JSONRPCError {
  std::int64_t code;
  std::string message;
  std::optional<JSONValue> data = std::nullopt;

  friend bool operator==(const JSONRPCError&, const JSONRPCError&) = default;
};

namespace JSONRPC {

// Why a line is not a request; for `parseError` the failure's detail is the reader's.
enum class DecodeFailure {
  parseError,      // not one JSON text
  invalidRequest,  // JSON, but not a request object of the accepted shape
};

// Reads one line. The whole line must be one JSON text; the "jsonrpc" member is not examined,
// and members other than "id", "method" and "params" are ignored.
Result<JSONRPCRequest, DecodeFailure> decodeRequest(std::string_view line);

// {"id":…,"jsonrpc":"2.0","result":…}; fails when the id or result holds a non-finite number.
Result<std::string, JSONWriteReason> encodeResponse(const JSONValue& id, const JSONValue& result);

// {"error":{"code":…,"message":…},"id":…,"jsonrpc":"2.0"}, an absent id written as null. The
// error holds a "data" member only when `data` is given; fails when `data` holds a non-finite
// number.
Result<std::string, JSONWriteReason> encodeError(
    const std::optional<JSONValue>& id, std::int64_t code, std::string_view message,
    const std::optional<JSONValue>& data = std::nullopt);

}  // namespace JSONRPC
}  // namespace quill
