// Values built from the input, with any strings (invalid UTF-8 included) and any doubles (NaN and
// the infinities included). Writing fails exactly when a number is not finite; otherwise the text
// is one line and reads back, to an equal value whenever every string was valid UTF-8.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FuzzCheck.h"

using quill::JSONValue;

namespace {

struct Built {
  JSONValue value;
  bool finite = true;
  bool validStrings = true;
};

std::string text(FuzzedDataProvider& input, Built& built) {
  std::string s = input.ConsumeRandomLengthString(64);
  if (!fuzz::validUTF8(s)) built.validStrings = false;
  return s;
}

JSONValue build(FuzzedDataProvider& input, Built& built, int depth) {
  if (input.remaining_bytes() == 0) return JSONValue();
  switch (input.ConsumeIntegralInRange<int>(0, depth > 8 ? 4 : 7)) {
    case 0:
      return JSONValue();
    case 1:
      return JSONValue(input.ConsumeBool());
    case 2: {
      const double number = input.ConsumeFloatingPoint<double>();
      if (!std::isfinite(number)) built.finite = false;
      return JSONValue(number);
    }
    case 3:
      return JSONValue(input.ConsumeIntegral<std::int64_t>());
    case 4:
      return JSONValue(text(input, built));
    case 5: {
      double bits;
      const auto raw = input.ConsumeIntegral<std::uint64_t>();
      std::memcpy(&bits, &raw, sizeof bits);
      if (!std::isfinite(bits)) built.finite = false;
      return JSONValue(bits);
    }
    case 6: {
      JSONValue::Array elements;
      const int count = input.ConsumeIntegralInRange<int>(0, 6);
      for (int i = 0; i < count; ++i) elements.push_back(build(input, built, depth + 1));
      return JSONValue(std::move(elements));
    }
    default: {
      JSONValue::Object members;
      const int count = input.ConsumeIntegralInRange<int>(0, 6);
      for (int i = 0; i < count; ++i) {
        std::string key = text(input, built);
        members.insert_or_assign(std::move(key), build(input, built, depth + 1));
      }
      return JSONValue(std::move(members));
    }
  }
}

// What the built value holds, found by walking it (a member given twice keeps only its last value,
// so what went into building it is not a guide).
void scan(const JSONValue& value, Built& built) {
  if (auto number = value.numberValue(); number && !std::isfinite(*number)) built.finite = false;
  if (auto string = value.stringValue(); string && !fuzz::validUTF8(*string)) {
    built.validStrings = false;
  }
  if (const auto* array = value.arrayValue()) {
    for (const auto& element : *array) scan(element, built);
  }
  if (const auto* object = value.objectValue()) {
    for (const auto& [key, member] : *object) {
      if (!fuzz::validUTF8(key)) built.validStrings = false;
      scan(member, built);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  Built scratch;
  Built built;
  built.value = build(input, scratch, 0);
  scan(built.value, built);

  std::string out = "prefix";
  const bool written = !quill::failed(built.value.encodeInto(out));
  auto encoded = fuzz::ok(built.value.encodedData());
  FUZZ_CHECK(written == built.finite);
  FUZZ_CHECK(encoded.has_value() == built.finite);
  if (!encoded) {
    FUZZ_CHECK(out == "prefix");  // a failed write leaves the output as it was
    return 0;
  }
  FUZZ_CHECK(out == "prefix" + *encoded);
  fuzz::checkOneLine(*encoded);
  // The writer replaces invalid UTF-8, so its text is always readable.
  auto back = fuzz::read(*encoded);
  FUZZ_CHECK(back.has_value());
  auto again = fuzz::ok(back->encodedData());
  FUZZ_CHECK(again.has_value());
  // Invalid UTF-8 is written as U+FFFD, so two keys that differ only there come back as one;
  // with valid strings nothing is lost.
  if (built.validStrings) {
    FUZZ_CHECK(*back == built.value);
    FUZZ_CHECK(*again == *encoded);
  }
  return 0;
}
