#include "MCPClientIdentity.h"

#include <array>
#include <cstdint>

#include "UTF8.h"

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
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// The code point at `text[pos]` and its length; 0 for a malformed sequence, which is not trimmed:
// "\xC0\xA0" is not a blank.
std::size_t decodeAt(std::string_view text, std::size_t pos, std::uint32_t& codePoint) {
  return decodeUTF8(reinterpret_cast<const unsigned char*>(text.data()) + pos, text.size() - pos,
                    codePoint);
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
