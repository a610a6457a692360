// JSONRPC::decodeRequest against the rules it implements, read off an independent decoding of the
// same line; then the answers built for a decoded request read back with the same id.
#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"
#include "JSONRPC.h"

using quill::JSONRPCRequest;
using quill::JSONValue;
namespace JSONRPC = quill::JSONRPC;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const auto decoded = JSONRPC::decodeRequest(line);
  const auto value = fuzz::read(line);

  // The expected outcome, from the value alone.
  if (!value) {
    FUZZ_CHECK(quill::failed(decoded) &&
               quill::failed(decoded)->reason == JSONRPC::DecodeFailure::parseError);
    return 0;
  }
  const JSONValue* method = value->member("method");
  const JSONValue* id = value->member("id");
  const bool idAcceptable = !id || id->kind() == JSONValue::Kind::number ||
                            id->kind() == JSONValue::Kind::string || id->isNull();
  const bool valid = value->objectValue() && method && method->stringValue() && idAcceptable;
  if (!valid) {
    FUZZ_CHECK(quill::failed(decoded) &&
               quill::failed(decoded)->reason == JSONRPC::DecodeFailure::invalidRequest);
    return 0;
  }
  const auto* request = std::get_if<JSONRPCRequest>(&decoded);
  FUZZ_CHECK(request != nullptr);
  FUZZ_CHECK(request->method == *method->stringValue());
  FUZZ_CHECK(request->id.has_value() == (id != nullptr));
  if (id) FUZZ_CHECK(*request->id == *id);
  const JSONValue* params = value->member("params");
  FUZZ_CHECK(request->params.has_value() == (params != nullptr));
  if (params) FUZZ_CHECK(*request->params == *params);
  FUZZ_CHECK(request->isNotification() == (!id || id->isNull()));

  // The answers carry the id back unchanged, on one line.
  const JSONValue answerId = request->id.value_or(JSONValue());
  const JSONValue result = request->params.value_or(JSONValue(JSONValue::Object{}));
  auto response = fuzz::ok(JSONRPC::encodeResponse(answerId, result));
  FUZZ_CHECK(response.has_value());
  fuzz::checkOneLine(*response);
  auto responseValue = fuzz::read(*response);
  FUZZ_CHECK(responseValue.has_value());
  FUZZ_CHECK(*(*responseValue)["id"] == answerId);
  FUZZ_CHECK(*(*responseValue)["result"] == result);
  FUZZ_CHECK(*(*responseValue)["jsonrpc"] == JSONValue("2.0"));

  const std::string message = "Method not found: " + request->method;
  auto error =
      fuzz::ok(JSONRPC::encodeError(request->id, quill::JSONRPCErrorCode::methodNotFound, message));
  FUZZ_CHECK(error.has_value());
  fuzz::checkOneLine(*error);
  auto errorValue = fuzz::read(*error);
  FUZZ_CHECK(errorValue.has_value());
  FUZZ_CHECK(*(*errorValue)["id"] == answerId);
  FUZZ_CHECK((*errorValue)["error"]->member("code")->intValue() == -32601);
  // The method's bytes come back as they were when they are valid UTF-8 (the reader accepted
  // them, so they are).
  FUZZ_CHECK(*(*errorValue)["error"]->member("message")->stringValue() == message);
  return 0;
}
