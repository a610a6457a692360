#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "MCPClientIdentity.h"

namespace quill {

void PrintTo(const MCPClientIdentity& identity, std::ostream* os) {
  *os << "{actor \"" << identity.actor << "\", surface \"" << identity.surface << "\"}";
}

namespace {

using Name = std::optional<std::string_view>;

MCPClientIdentity agent(const std::string& surface) {
  return MCPClientIdentity{"MCP agent (" + surface + ")", surface};
}

TEST(MCPClientIdentityTests, KnownSlugsDecideBothNames) {
  const struct {
    Name slug;
    Name clientName;
    MCPClientIdentity expected;
  } cases[] = {
      {"claude-desktop", "Zed", {"Claude Desktop", "Claude Desktop"}},
      {"claude-code", "claude-ai", {"Claude Code", "Claude Code"}},
      {"cursor", "", {"Cursor", "Cursor"}},
      // Anything else is not a known slug: the client name decides, and the slug is dropped.
      {"Cursor", "Zed", agent("Zed")},
      {"cursor ", "Zed", agent("Zed")},
      {"vscode", "Visual Studio Code", agent("Visual Studio Code")},
      {std::nullopt, "Zed", agent("Zed")},
      {std::nullopt, std::nullopt, agent("MCP")},
      {"vscode", std::nullopt, agent("MCP")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MCPClientIdentity::resolve(c.slug, c.clientName), c.expected)
        << (c.slug ? *c.slug : "<no slug>") << " / "
        << (c.clientName ? *c.clientName : "<no name>");
  }
}

TEST(MCPClientIdentityTests, TrimsWhiteSpaceAndNewlinesAtTheEndsOnly) {
  const struct {
    std::string_view clientName;
    std::string_view surface;
  } cases[] = {
      {"  Zed  ", "Zed"},
      {"\t\n\v\f\rZed\r\n", "Zed"},
      {"  ", "MCP"},
      {"", "MCP"},
      {"\xC2\xA0Zed\xC2\xA0", "Zed"},                      // U+00A0 NO-BREAK SPACE
      {"\xE2\x80\xA8Zed\xE2\x80\xA9", "Zed"},              // U+2028, U+2029
      {"\xE3\x80\x80Zed\xE3\x80\x80", "Zed"},              // U+3000 IDEOGRAPHIC SPACE
      {"\xC2\x85Zed\xC2\x85", "Zed"},                      // U+0085 NEXT LINE
      {"\xE1\x9A\x80\xE2\x80\x80Zed\xE2\x80\x8A", "Zed"},  // U+1680, U+2000, U+200A
      {"\xE2\x80\xAFZed\xE2\x81\x9F", "Zed"},              // U+202F, U+205F
      {"\xC2\xA0\xE2\x80\xA8\xE3\x80\x80", "MCP"},
      // Inside the name nothing is touched.
      {" Zed\xC2\xA0\xE3\x80\x80Pro\n", "Zed\xC2\xA0\xE3\x80\x80Pro"},
      // Not white space: U+200B ZERO WIDTH SPACE, U+FEFF, U+180E, NUL.
      {"\xE2\x80\x8BZed\xE2\x80\x8B", "\xE2\x80\x8BZed\xE2\x80\x8B"},
      {"\xE2\x80\x8B", "\xE2\x80\x8B"},
      {"\xEF\xBB\xBFZed", "\xEF\xBB\xBFZed"},
      {"\xE1\xA0\x8EZed", "\xE1\xA0\x8EZed"},
      {std::string_view("Zed\0", 4), std::string_view("Zed\0", 4)},
      // Bytes that are not UTF-8 are not white space, not even a lone 0x85 or 0xA0, or an
      // overlong encoding of a blank.
      {"\x85Zed\xA0", "\x85Zed\xA0"},
      {"\xC0\xA0Zed\xE0\x80\xA0", "\xC0\xA0Zed\xE0\x80\xA0"},
      {"Zed \xE2\x80", "Zed \xE2\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MCPClientIdentity::resolve(std::nullopt, c.clientName), agent(std::string(c.surface)))
        << testing::PrintToString(std::string(c.clientName));
  }
}

}  // namespace
}  // namespace quill
