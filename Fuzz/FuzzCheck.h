// What the fuzz targets share: a check that holds in every build type (assert would vanish
// under NDEBUG) and helpers for reading values.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "JSONValue.h"

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace fuzz {

// The value of a result, or nothing when it failed.
template <typename T, typename Reason>
std::optional<T> ok(quill::Result<T, Reason> result) {
  if (auto* value = std::get_if<T>(&result)) return std::move(*value);
  return std::nullopt;
}

inline std::optional<quill::JSONValue> read(std::string_view bytes) {
  return ok(quill::JSONValue::decode(bytes));
}

// Whether `bytes` is well-formed UTF-8: no overlong forms, no surrogates, nothing beyond
// U+10FFFF. Written apart from the JSON layer's own check, to judge it.
inline bool validUTF8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 1;
    std::uint32_t codePoint = lead;
    if (lead >= 0xF0) {
      length = 4;
      codePoint = lead & 0x07u;
    } else if (lead >= 0xE0) {
      length = 3;
      codePoint = lead & 0x0Fu;
    } else if (lead >= 0xC0) {
      length = 2;
      codePoint = lead & 0x1Fu;
    } else if (lead >= 0x80) {
      return false;
    }
    if (lead >= 0xF8 || bytes.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((byte(i + k) & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (byte(i + k) & 0x3Fu);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

// A written text never holds a raw line break, so it always fits on one line.
inline void checkOneLine(std::string_view text) {
  FUZZ_CHECK(text.find('\n') == std::string_view::npos);
  FUZZ_CHECK(text.find('\r') == std::string_view::npos);
}

}  // namespace fuzz
