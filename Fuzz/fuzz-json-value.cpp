// Any text that reads as a JSONValue is written, and the written text reads back to an equal
// value and is written again to the same bytes. The reader never yields NaN or an infinity, so
// equality is meaningful for every value it gives. Strings read without escapes are written as
// they were read; the same value built by hand, whose strings the writer examines byte by byte,
// must be written to the same text; and so must the value read with its containers kept as
// text.
#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"

using quill::JSONValue;

namespace {

// Exercises the readers on every node; none may fail or stop the process.
void walk(const JSONValue& value) {
  (void)value.intValue();
  (void)value[std::int64_t{-1}];
  (void)value[std::int64_t{0}];
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

// The same value built from its parts.
JSONValue rebuild(const JSONValue& value) {
  if (auto text = value.stringValue()) return JSONValue(std::string(*text));
  if (const auto* array = value.arrayValue()) {
    JSONValue::Array elements;
    for (const auto& element : *array) elements.push_back(rebuild(element));
    return JSONValue(std::move(elements));
  }
  if (const auto* object = value.objectValue()) {
    JSONValue::Object members;
    for (const auto& [key, member] : *object) members.emplace(key, rebuild(member));
    return JSONValue(std::move(members));
  }
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto value = fuzz::read(bytes);
  if (!value) {
    // Keeping containers as text refuses what reading them into values refuses.
    for (std::size_t depth = 1; depth <= 3; ++depth) {
      FUZZ_CHECK(!std::holds_alternative<JSONValue>(
          quill::JSONValue::decode(bytes, bytes.size(), {}, depth)));
    }
    return 0;
  }
  walk(*value);

  auto text = value->encodedData();
  FUZZ_CHECK(text.has_value());
  fuzz::checkOneLine(*text);
  FUZZ_CHECK(*value->encodedString() == *text);
  FUZZ_CHECK(rebuild(*value).encodedData() == text);
  // Containers kept as text from any depth on are the same value, written to the same text.
  for (std::size_t depth = 1; depth <= 3; ++depth) {
    auto kept = quill::JSONValue::decode(bytes, bytes.size(), {}, depth);
    auto* keptValue = std::get_if<JSONValue>(&kept);
    FUZZ_CHECK(keptValue != nullptr);
    FUZZ_CHECK(keptValue->encodedData() == text);
    FUZZ_CHECK(*keptValue == *value);
    walk(*keptValue);
  }

  auto again = fuzz::read(*text);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *value);
  const JSONValue copy = *again;
  FUZZ_CHECK(copy == *value);

  auto textAgain = again->encodedData();
  FUZZ_CHECK(textAgain.has_value());
  FUZZ_CHECK(*textAgain == *text);
  return 0;
}
