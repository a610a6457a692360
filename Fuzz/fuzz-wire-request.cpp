// MCPWire::decodeRequest: what decodes is written again (absent fields left out, never null),
// and the written text decodes to an equal record and is written again to the same bytes.
#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"
#include "MCPWire.h"

using quill::JSONValue;
using quill::MCPWireRequest;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto request = fuzz::ok(quill::MCPWire::decodeRequest(bytes));
  const auto value = fuzz::read(bytes);
  if (!value || !value->objectValue()) FUZZ_CHECK(!request);
  if (!request) return 0;

  FUZZ_CHECK(*value->member("method")->stringValue() == request->method);
  FUZZ_CHECK(value->member("v")->numberValue() == static_cast<double>(request->v));

  auto text = fuzz::ok(quill::MCPWire::encode(*request));
  FUZZ_CHECK(text.has_value());
  fuzz::checkOneLine(*text);
  auto written = fuzz::read(*text);
  FUZZ_CHECK(written.has_value());
  FUZZ_CHECK(written->member("id") == nullptr || !written->member("id")->isNull());
  FUZZ_CHECK(written->member("params") == nullptr || written->member("params")->objectValue());

  auto again = fuzz::ok(quill::MCPWire::decodeRequest(*text));
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *request);
  auto textAgain = fuzz::ok(quill::MCPWire::encode(*again));
  FUZZ_CHECK(textAgain.has_value() && *textAgain == *text);
  return 0;
}
