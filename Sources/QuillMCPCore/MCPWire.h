// The private protocol between the shim and the desktop application: one JSON object per line
// each way, one request and one response per connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "JSONValue.h"
#include "Result.h"

namespace quill {

enum class MCPWireErrorCode {
  disabled,          // "disabled": agent access is turned off
  signedOut,         // "signedOut": nobody is signed in
  unknownProject,    // "unknownProject": no project matches the requested name
  ambiguousProject,  // "ambiguousProject": several projects could be meant
  noProjects,        // "noProjects": the user has no projects
  internalError,     // "internal": the application failed internally
};

// The raw value on the wire.
std::string_view rawValue(MCPWireErrorCode code);
// The code whose raw value is exactly `raw` (case-sensitive, whole string).
std::optional<MCPWireErrorCode> wireErrorCodeFromRawValue(std::string_view raw);

struct MCPWireRequest {
  struct Params {
    std::optional<std::string> name;
    std::optional<JSONValue> arguments;  // the agent's arguments, unchanged
    friend bool operator==(const Params&, const Params&) = default;
  };

  std::int64_t v = 1;
  std::optional<JSONValue> id;            // the agent's request id, passed through
  std::string method;                     // "tools/list" or "tools/call"
  std::optional<std::string> client;      // the --client slug
  std::optional<std::string> clientName;  // the client's name from `initialize`
  std::optional<Params> params;           // present for "tools/call"

  friend bool operator==(const MCPWireRequest&, const MCPWireRequest&) = default;
};

struct MCPWireResponse {
  struct WireError {
    MCPWireErrorCode code;
    std::string message;  // may be empty
    friend bool operator==(const WireError&, const WireError&) = default;
  };

  std::int64_t v = 1;
  std::optional<JSONValue> id;
  bool ok = false;
  std::optional<JSONValue> result;
  std::optional<WireError> error;

  static MCPWireResponse success(std::optional<JSONValue> id, JSONValue result);
  static MCPWireResponse failure(std::optional<JSONValue> id, MCPWireErrorCode code,
                                 std::string message);

  friend bool operator==(const MCPWireResponse&, const MCPWireResponse&) = default;
};

namespace MCPWire {

// The record as a JSON object; absent optional fields are left out, never written as null.
JSONValue jsonValue(const MCPWireRequest::Params& params);
JSONValue jsonValue(const MCPWireRequest& request);
JSONValue jsonValue(const MCPWireResponse::WireError& error);
JSONValue jsonValue(const MCPWireResponse& response);

// Compact JSON text without a line feed; fails when a value inside holds a non-finite number.
template <typename Record>
Result<std::string, JSONWriteReason> encode(const Record& record) {
  return jsonValue(record).encodedData();
}

// Why a text is not a record; the failure's detail says what is wrong, for people.
enum class Reason {
  notJSON,     // not one JSON text: the reader's words
  notARecord,  // JSON, but a member is missing or of the wrong kind, or the error code unknown
};

// Reading rules, shared by both records: the text is one JSON object; required keys must be
// present with the right kind ("v" an integral number within 64 bits); an optional key that is
// missing or null reads as absent; a wrong kind or an unknown error code fails the whole record;
// unknown keys are ignored.
Result<MCPWireRequest, Reason> decodeRequest(std::string_view bytes);
Result<MCPWireResponse, Reason> decodeResponse(std::string_view bytes);
Result<MCPWireRequest, Reason> requestFromJSON(const JSONValue& value);
Result<MCPWireResponse, Reason> responseFromJSON(const JSONValue& value);

}  // namespace MCPWire
}  // namespace quill
