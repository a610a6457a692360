#include "MCPStatus.h"

#include "FileDescriptor.h"

namespace quill {

std::optional<MCPStatus> MCPStatus::fromJSON(const JSONValue& value) {
  if (!value.objectValue()) return std::nullopt;
  auto flag = [&](std::string_view key) -> std::optional<bool> {
    const JSONValue* member = value.member(key);
    return member ? member->boolValue() : std::nullopt;
  };
  auto text = [&](std::string_view key) -> std::optional<std::string_view> {
    const JSONValue* member = value.member(key);
    return member ? member->stringValue() : std::nullopt;
  };
  auto enabled = flag("enabled");
  auto signedIn = flag("signedIn");
  auto listening = flag("listening");
  auto version = text("version");
  auto updatedAt = text("updatedAt");
  if (!enabled || !signedIn || !listening || !version || !updatedAt) return std::nullopt;
  return MCPStatus{*enabled, *signedIn, *listening, std::string(*version), std::string(*updatedAt)};
}

std::optional<MCPStatus> MCPStatus::decode(std::string_view json) {
  auto decoded = JSONValue::decode(json);
  auto* value = std::get_if<JSONValue>(&decoded);
  return value ? fromJSON(*value) : std::nullopt;
}

std::variant<MCPStatus, MCPStatus::ReadFailure> MCPStatus::readFile(const std::string& path) {
  using Reason = ReadFailure::Reason;
  auto file = readRegularFile(path, maxFileBytes);
  if (!file.bytes) {
    if (file.absent()) return ReadFailure{Reason::absent, file.error};
    if (file.failure == FileReadFailure::notRegularFile) return ReadFailure{Reason::notRegularFile};
    if (file.failure == FileReadFailure::tooLarge) return ReadFailure{Reason::tooLarge};
    return ReadFailure{Reason::unreadable, file.error};
  }
  auto decoded = JSONValue::decode(*file.bytes);
  const auto* value = std::get_if<JSONValue>(&decoded);
  if (!value) return ReadFailure{Reason::notJSON};
  if (auto status = fromJSON(*value)) return std::move(*status);
  return ReadFailure{Reason::wrongMembers};
}

JSONValue MCPStatus::jsonValue() const {
  return JSONValue::object({{"enabled", enabled},
                            {"signedIn", signedIn},
                            {"listening", listening},
                            {"version", version},
                            {"updatedAt", updatedAt}});
}

Result<Done, FileWriteReason> MCPStatus::writeFile(const std::string& path) const {
  return replaceFile(path, jsonValue().encodedData().value_or("{}") + "\n");
}

}  // namespace quill
