#include "ToolResultShapes.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>

#include "ISOTime.h"

namespace quill {

namespace {

constexpr auto isString = [](const JSONValue& value) { return value.stringValue().has_value(); };
constexpr auto isBool = [](const JSONValue& value) { return value.boolValue().has_value(); };
constexpr auto isNumber = [](const JSONValue& value) { return value.numberValue().has_value(); };
constexpr auto isObject = [](const JSONValue& value) { return value.objectValue() != nullptr; };

bool isOneOf(const JSONValue& value, std::initializer_list<std::string_view> words) {
  return std::find(words.begin(), words.end(), value.stringValue()) != words.end();
}

template <typename Check>
bool isArrayOf(const JSONValue& value, Check check) {
  const JSONValue::Array* elements = value.arrayValue();
  return elements && std::all_of(elements->begin(), elements->end(), check);
}

// The member `key` of the object `value` is there and passes `check`.
template <typename Check>
bool required(const JSONValue& value, std::string_view key, Check check) {
  const JSONValue* member = value.member(key);
  return member && check(*member);
}

// The member is absent or passes `check`; a null is present, and of the wrong kind.
template <typename Check>
bool optional(const JSONValue& value, std::string_view key, Check check) {
  const JSONValue* member = value.member(key);
  return !member || check(*member);
}

// Base64 as the clients decode it (the web's forgiving base64: white space is skipped, padding
// may be left out).
bool isBase64(const JSONValue& value) {
  constexpr std::string_view kSpace = " \t\n\f\r";
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto text = value.stringValue();
  if (!text) return false;
  std::string letters(*text);
  std::erase_if(letters, [&](char c) { return kSpace.find(c) != std::string_view::npos; });
  if (letters.size() % 4 == 0 && letters.ends_with("=")) letters.pop_back();
  if (letters.size() % 4 == 3 && letters.ends_with("=")) letters.pop_back();
  return letters.size() % 4 != 1 && letters.find_first_not_of(kAlphabet) == std::string::npos;
}

bool isMeta(const JSONValue& value) {
  return isObject(value) &&
         optional(value, "progressToken",
                  [](const JSONValue& token) {
                    const auto number = token.numberValue();
                    return isString(token) || (number && token.intValue() &&
                                               static_cast<double>(*token.intValue()) == *number);
                  }) &&
         optional(value, "io.modelcontextprotocol/related-task",
                  [](const JSONValue& task) { return required(task, "taskId", isString); });
}

bool isAnnotations(const JSONValue& value) {
  return isObject(value) &&
         optional(value, "audience",
                  [](const JSONValue& roles) {
                    return isArrayOf(roles, [](const JSONValue& role) {
                      return isOneOf(role, {"user", "assistant"});
                    });
                  }) &&
         optional(value, "priority",
                  [](const JSONValue& priority) {
                    const auto number = priority.numberValue();
                    return number && *number >= 0 && *number <= 1;
                  }) &&
         optional(value, "lastModified", [](const JSONValue& time) {
           const auto text = time.stringValue();
           return text && ISOTime::secondsSinceEpoch(*text).has_value();
         });
}

bool isIcons(const JSONValue& value) {
  return isArrayOf(value, [](const JSONValue& icon) {
    return required(icon, "src", isString) && optional(icon, "mimeType", isString) &&
           optional(icon, "sizes",
                    [](const JSONValue& sizes) { return isArrayOf(sizes, isString); }) &&
           optional(icon, "theme", [](const JSONValue& theme) {
             return isOneOf(theme, {"light", "dark"});
           });
  });
}

bool isContentBlock(const JSONValue& block) {
  if (!optional(block, "annotations", isAnnotations) || !optional(block, "_meta", isObject)) {
    return false;
  }
  const auto type = block.member("type") ? block.member("type")->stringValue() : std::nullopt;
  if (type == "text") return required(block, "text", isString);
  if (type == "image" || type == "audio") {
    return required(block, "data", isBase64) && required(block, "mimeType", isString);
  }
  if (type == "resource_link") {
    return required(block, "uri", isString) && required(block, "name", isString) &&
           optional(block, "title", isString) && optional(block, "description", isString) &&
           optional(block, "mimeType", isString) && optional(block, "size", isNumber) &&
           optional(block, "icons", isIcons);
  }
  if (type == "resource") {
    return required(block, "resource", [](const JSONValue& resource) {
      return required(resource, "uri", isString) && optional(resource, "mimeType", isString) &&
             optional(resource, "_meta", isObject) &&
             (required(resource, "text", isString) || required(resource, "blob", isBase64));
    });
  }
  return false;
}

// A JSON Schema as tools carry them: an object whose type is "object".
bool isObjectSchema(const JSONValue& schema) {
  return required(schema, "type",
                  [](const JSONValue& type) { return isOneOf(type, {"object"}); }) &&
         optional(schema, "properties",
                  [](const JSONValue& properties) {
                    const JSONValue::Object* members = properties.objectValue();
                    return members &&
                           std::all_of(members->begin(), members->end(), [](const auto& property) {
                             return isObject(property.second) || property.second.arrayValue();
                           });
                  }) &&
         optional(schema, "required",
                  [](const JSONValue& names) { return isArrayOf(names, isString); });
}

bool isTool(const JSONValue& tool) {
  return required(tool, "name", isString) && optional(tool, "title", isString) &&
         optional(tool, "description", isString) && optional(tool, "icons", isIcons) &&
         required(tool, "inputSchema", isObjectSchema) &&
         optional(tool, "outputSchema", isObjectSchema) &&
         optional(tool, "annotations",
                  [](const JSONValue& annotations) {
                    return isObject(annotations) && optional(annotations, "title", isString) &&
                           optional(annotations, "readOnlyHint", isBool) &&
                           optional(annotations, "destructiveHint", isBool) &&
                           optional(annotations, "idempotentHint", isBool) &&
                           optional(annotations, "openWorldHint", isBool);
                  }) &&
         optional(tool, "execution",
                  [](const JSONValue& execution) {
                    return isObject(execution) &&
                           optional(execution, "taskSupport", [](const JSONValue& support) {
                             return isOneOf(support, {"required", "optional", "forbidden"});
                           });
                  }) &&
         optional(tool, "_meta", isObject);
}

}  // namespace

bool isAcceptedToolCallResult(const JSONValue& result) {
  return isObject(result) && optional(result, "_meta", isMeta) &&
         required(result, "content",
                  [](const JSONValue& content) { return isArrayOf(content, isContentBlock); }) &&
         optional(result, "isError", isBool) && optional(result, "structuredContent", isObject);
}

bool isAcceptedToolListResult(const JSONValue& result) {
  return isObject(result) && optional(result, "_meta", isMeta) &&
         optional(result, "nextCursor", isString) &&
         required(result, "tools", [](const JSONValue& tools) { return isArrayOf(tools, isTool); });
}

}  // namespace quill
