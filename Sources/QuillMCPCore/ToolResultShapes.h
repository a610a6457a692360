// The shapes of tool results that MCP clients accept.
#pragma once

#include "JSONValue.h"

namespace quill {

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
