// Any text that reads as a JSONValue is written, and the written text reads back to an equal
// value and is written again to the same bytes. The reader never yields NaN or an infinity, so
// equality is meaningful for every value it gives; and every string in it is well-formed UTF-8.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzCheck.h"

using quill::JSONValue;

namespace {

// Exercises the readers on every node of the top level; none may fail or stop the process.
void walk(const JSONValue& value) {
  (void)value.intValue();
  (void)value["method"];
  if (const auto* array = value.arrayValue()) {
    for (const auto& element : *array) FUZZ_CHECK(element == element);
  } else if (const auto* object = value.objectValue()) {
    for (const auto& [key, member] : *object) {
      const JSONValue* found = value.member(key);
      FUZZ_CHECK(found == &member);
    }
  }
}

// Every string and key that the reader gives is well-formed UTF-8.
void checkStrings(const JSONValue& root) {
  std::vector<const JSONValue*> pending{&root};
  while (!pending.empty()) {
    const JSONValue* value = pending.back();
    pending.pop_back();
    if (auto text = value->stringValue()) FUZZ_CHECK(fuzz::validUTF8(*text));
    if (const auto* array = value->arrayValue()) {
      for (const auto& element : *array) pending.push_back(&element);
    } else if (const auto* object = value->objectValue()) {
      for (const auto& [key, member] : *object) {
        FUZZ_CHECK(fuzz::validUTF8(key));
        pending.push_back(&member);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto value = fuzz::read(bytes);
  if (!value) return 0;
  walk(*value);
  checkStrings(*value);

  auto text = fuzz::ok(value->encodedData());
  FUZZ_CHECK(text.has_value());
  fuzz::checkOneLine(*text);

  auto again = fuzz::read(*text);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *value);
  const JSONValue copy = *again;
  FUZZ_CHECK(copy == *value);

  auto textAgain = fuzz::ok(again->encodedData());
  FUZZ_CHECK(textAgain.has_value());
  FUZZ_CHECK(*textAgain == *text);
  return 0;
}
