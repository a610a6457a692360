#include "MCPClientIdentity.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "UTF8.h"

namespace quill {

namespace {

// Slugs and the names that go with them.
constexpr std::pair<std::string_view, std::string_view> kKnownClients[] = {
    {"claude-desktop", "Claude Desktop"},
    {"claude-code", "Claude Code"},
    {"cursor", "Cursor"},
};

// White space and newlines: the space separators, U+2028, U+2029, U+0009–U+000D and U+0085.
bool isWhitespaceOrNewline(std::uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// `text` without the white space and newlines at its ends. A malformed sequence is no blank:
// "\xC0\xA0" is not trimmed.
std::string_view trimmed(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t begin = text.size(), end = 0;  // of the characters that are not blanks
  std::size_t at = 0;
  while (at < text.size()) {
    std::uint32_t c = 0;
    const std::size_t length = decodeUTF8(bytes + at, text.size() - at, c);
    if (length > 0 && isWhitespaceOrNewline(c)) {
      at += length;
      continue;
    }
    begin = std::min(begin, at);
    at += std::max<std::size_t>(length, 1);
    end = at;
  }
  return begin < end ? text.substr(begin, end - begin) : std::string_view();
}

}  // namespace

MCPClientIdentity MCPClientIdentity::resolve(std::optional<std::string_view> slug,
                                             std::optional<std::string_view> clientName) {
  for (const auto& [knownSlug, name] : kKnownClients) {
    if (slug == knownSlug) return {std::string(name), std::string(name)};
  }
  const std::string_view name = trimmed(clientName.value_or(""));
  const std::string surface = name.empty() ? "MCP" : std::string(name);
  return {"MCP agent (" + surface + ")", surface};
}

}  // namespace quill
