// What the fuzz targets share: a check that holds in every build type (assert would vanish
// under NDEBUG) and helpers for reading values.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "JSONValue.h"

#define FUZZ_CHECK(condition)                                                         \
  do {                                                                                \
    if (!(condition)) {                                                               \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

namespace fuzz {

inline std::optional<quill::JSONValue> read(std::string_view bytes) {
  auto decoded = quill::JSONValue::decode(bytes);
  if (auto* value = std::get_if<quill::JSONValue>(&decoded)) return std::move(*value);
  return std::nullopt;
}

// A written text never holds a raw line break, so it always fits on one line.
inline void checkOneLine(std::string_view text) {
  FUZZ_CHECK(text.find('\n') == std::string_view::npos);
  FUZZ_CHECK(text.find('\r') == std::string_view::npos);
}

}  // namespace fuzz
