#include "MCPClientIdentity.h"

#include <array>
#include <cstdint>

namespace quill {

namespace {

struct KnownClient {
  std::string_view slug;
  std::string_view name;
};
constexpr std::array<KnownClient, 3> kKnownClients = {{
    {"claude-desktop", "Claude Desktop"},
    {"claude-code", "Claude Code"},
    {"cursor", "Cursor"},
}};

// White space and newlines: the space separators, U+2028, U+2029, U+0009–U+000D and U+0085.
bool isWhitespaceOrNewline(std::uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Decodes the code point at `text[pos]`; returns its length, or 0 for a malformed sequence.
// Overlong forms and surrogates are malformed: "\xC0\xA0" is not a blank to be trimmed.
std::size_t decodeAt(std::string_view text, std::size_t pos, std::uint32_t& codePoint) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  std::size_t length;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    codePoint = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    codePoint = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    codePoint = lead & 0x07;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[pos + k]);
    if ((next & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (next & 0x3F);
  }
  constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (codePoint < kSmallest[length] || codePoint > 0x10FFFF) return 0;
  if (codePoint >= 0xD800 && codePoint <= 0xDFFF) return 0;
  return length;
}

std::string_view trimmed(std::string_view text) {
  std::size_t begin = 0;
  std::uint32_t c = 0;
  while (begin < text.size()) {
    const std::size_t length = decodeAt(text, begin, c);
    if (length == 0 || !isWhitespaceOrNewline(c)) break;
    begin += length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    const std::size_t length = decodeAt(text, start, c);
    if (length != end - start || !isWhitespaceOrNewline(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace

MCPClientIdentity MCPClientIdentity::resolve(std::optional<std::string_view> slug,
                                             std::optional<std::string_view> clientName) {
  if (slug) {
    for (const auto& known : kKnownClients) {
      if (*slug == known.slug) return {std::string(known.name), std::string(known.name)};
    }
  }
  std::string surface = "MCP";
  if (clientName) {
    const std::string_view name = trimmed(*clientName);
    if (!name.empty()) surface = std::string(name);
  }
  return {"MCP agent (" + surface + ")", surface};
}

}  // namespace quill
