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

// Whether the agent's client accepts `result` as the result of a `tools/call`, and as the result
// of a `tools/list`. The official client SDKs refuse the whole answer, and so show the agent no
// text and no tool, when any part of a result breaks their rules; these are those rules, the
// stricter of the two SDK generations wherever they differ. In short: a call result holds an
// array "content" of known content blocks, each whole ("text" with its "text", "image" and
// "audio" with base64 "data" and a "mimeType", "resource_link" with "uri" and "name", "resource"
// with a text or base64 blob); "isError" is a boolean and "structuredContent" an object where
// present. A list holds an array "tools", each with a string "name" and an "inputSchema" object
// whose "type" is "object". Optional members, where present, are of their kinds, null included;
// members that nobody defines are let through.
bool isAcceptedToolCallResult(const JSONValue& result);
bool isAcceptedToolListResult(const JSONValue& result);

}  // namespace quill
