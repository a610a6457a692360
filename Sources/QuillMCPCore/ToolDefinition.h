// The one tool the shim offers, the `tools/list` result, and the `tools/call` result.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "JSONValue.h"

namespace quill {

// Project names as the agent reads them, in the tool's description and in the texts of
// MCPErrors: in the order given, unchanged, joined by ", ".
std::string joinProjectNames(const std::vector<std::string>& names);

struct ToolDefinition {
  static constexpr std::string_view getContextPacketName = "get_context_packet";

  std::string name;
  std::string title;
  std::string description;
  JSONValue inputSchema;
  JSONValue annotations;

  // `get_context_packet`, with the project names (unchanged, in order) folded into the
  // description; an empty list leaves the description without a project sentence.
  static ToolDefinition getContextPacket(const std::vector<std::string>& projectNames);
  // {"tools":[<getContextPacket(projectNames)>]}
  static JSONValue listResult(const std::vector<std::string>& projectNames);

  JSONValue jsonValue() const;

  friend bool operator==(const ToolDefinition&, const ToolDefinition&) = default;
};

// What one tool call gives the agent: one text, flagged when it reports a failure.
struct ToolCallResult {
  std::string text;
  bool isError;

  // {"content":[{"text":…,"type":"text"}],"isError":…}
  JSONValue jsonValue() const;

  friend bool operator==(const ToolCallResult&, const ToolCallResult&) = default;
};

}  // namespace quill
