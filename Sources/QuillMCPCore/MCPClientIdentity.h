// The display names under which the desktop application shows who is asking.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quill {

struct MCPClientIdentity {
  std::string actor;    // the acting agent
  std::string surface;  // the client program through which it works

  // A known slug (claude-desktop, claude-code, cursor; exact and case-sensitive) decides both
  // names. Otherwise the client's own name, trimmed of Unicode white space and newlines at both
  // ends, is the surface ("MCP" when absent or blank) and the actor is "MCP agent (<surface>)".
  static MCPClientIdentity resolve(std::optional<std::string_view> slug,
                                   std::optional<std::string_view> clientName);

  friend bool operator==(const MCPClientIdentity&, const MCPClientIdentity&) = default;
};

}  // namespace quill
