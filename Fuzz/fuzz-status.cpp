// MCPStatus decoding: it succeeds exactly when the text is an object with the three flags as
// booleans and the two texts as strings; what decodes is written and decodes again to an equal
// record.
#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"
#include "MCPStatus.h"

using quill::JSONValue;
using quill::MCPStatus;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto status = fuzz::ok(MCPStatus::decode(bytes));
  const auto value = fuzz::read(bytes);

  bool expected = value && value->objectValue();
  if (expected) {
    for (const char* key : {"enabled", "signedIn", "listening"}) {
      const JSONValue* member = value->member(key);
      expected = expected && member && member->boolValue();
    }
    for (const char* key : {"version", "updatedAt"}) {
      const JSONValue* member = value->member(key);
      expected = expected && member && member->stringValue();
    }
  }
  FUZZ_CHECK(status.has_value() == expected);
  if (!status) return 0;
  FUZZ_CHECK(*value->member("version")->stringValue() == status->version);
  FUZZ_CHECK(fuzz::ok(MCPStatus::fromJSON(*value)) == status);

  auto text = fuzz::ok(status->jsonValue().encodedData());
  FUZZ_CHECK(text.has_value());
  fuzz::checkOneLine(*text);
  auto again = fuzz::ok(MCPStatus::decode(*text));
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *status);
  FUZZ_CHECK(fuzz::ok(again->jsonValue().encodedData()) == text);
  return 0;
}
