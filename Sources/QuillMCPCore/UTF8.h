// Reading UTF-8 strictly, shared by the JSON reader and writer and the client identity.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quill {

// The length of the well-formed UTF-8 sequence at the start of `s`, of which `available` bytes
// may be read, with its value in `codePoint`; 0 for anything else: a stray continuation byte, a
// sequence cut short, an overlong form, a surrogate, or a value beyond U+10FFFF.
inline std::size_t decodeUTF8(const unsigned char* s, std::size_t available,
                              std::uint32_t& codePoint) noexcept {
  if (available == 0) return 0;
  const unsigned char lead = s[0];
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  }
  if (lead < 0xC2 || lead > 0xF4) return 0;
  // The lead byte fixes the length and its own share of the value, and narrows the second byte's
  // range, which rules out overlong forms, surrogates and values beyond U+10FFFF.
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  codePoint = lead & (0x7Fu >> length);
  const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  if (available < length || s[1] < low || s[1] > high) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if (s[k] < 0x80 || s[k] > 0xBF) return 0;
    codePoint = (codePoint << 6) | (s[k] & 0x3Fu);
  }
  return length;
}

}  // namespace quill
