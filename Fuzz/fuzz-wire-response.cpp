// MCPWire::decodeResponse: what decodes is written again, and the written text decodes to an equal
// record and is written again to the same bytes. An error code decodes only from one of the six
// raw values.
#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"
#include "MCPWire.h"

using quill::JSONValue;
using quill::MCPWireResponse;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto response = fuzz::ok(quill::MCPWire::decodeResponse(bytes));
  const auto value = fuzz::read(bytes);
  if (!value || !value->objectValue()) FUZZ_CHECK(!response);
  if (!response) return 0;

  FUZZ_CHECK(value->member("ok")->boolValue() == response->ok);
  if (response->error) {
    const auto raw = value->member("error")->member("code")->stringValue();
    FUZZ_CHECK(raw && quill::rawValue(response->error->code) == *raw);
    FUZZ_CHECK(quill::wireErrorCodeFromRawValue(*raw) == response->error->code);
  }

  auto text = fuzz::ok(quill::MCPWire::encode(*response));
  FUZZ_CHECK(text.has_value());
  fuzz::checkOneLine(*text);
  auto again = fuzz::ok(quill::MCPWire::decodeResponse(*text));
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *response);
  auto textAgain = fuzz::ok(quill::MCPWire::encode(*again));
  FUZZ_CHECK(textAgain.has_value() && *textAgain == *text);
  return 0;
}
