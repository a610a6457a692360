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
  // The lead byte fixes the length and narrows the second byte's range, which rules out overlong
  // forms, surrogates and values beyond U+10FFFF.
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (available < length || s[1] < low || s[1] > high) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if (s[k] < 0x80 || s[k] > 0xBF) return 0;
    codePoint = (codePoint << 6) | (s[k] & 0x3Fu);
  }
  return length;
}

}  // namespace quill
