#include "MCPStatus.h"

namespace quill {

Result<MCPStatus, MCPStatus::Reason> MCPStatus::fromJSON(const JSONValue& value) {
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
  if (!enabled || !signedIn || !listening || !version || !updatedAt) {
    return Failure<Reason>{Reason::wrongMembers};
  }
  return MCPStatus{*enabled, *signedIn, *listening, std::string(*version), std::string(*updatedAt)};
}

Result<MCPStatus, MCPStatus::Reason> MCPStatus::decode(std::string_view json) {
  auto decoded = JSONValue::decode(json);
  if (const auto* failure = failed(decoded)) {
    return Failure<Reason>{Reason::notJSON, 0, failure->detail};
  }
  return fromJSON(std::get<JSONValue>(decoded));
}

Result<MCPStatus, MCPStatus::Reason> MCPStatus::readFile(const std::string& path) {
  auto file = readRegularFile(path, maxFileBytes);
  if (const auto* failure = failed(file)) {
    switch (failure->reason) {
      case FileReadReason::absent:
        return Failure<Reason>{Reason::absent, failure->error};
      case FileReadReason::unreadable:
        return Failure<Reason>{Reason::unreadable, failure->error};
      case FileReadReason::notRegularFile:
        return Failure<Reason>{Reason::notRegularFile};
      case FileReadReason::tooLarge:
        break;
    }
    return Failure<Reason>{Reason::tooLarge};
  }
  return decode(std::get<std::string>(file));
}

JSONValue MCPStatus::jsonValue() const {
  return JSONValue::object({{"enabled", enabled},
                            {"signedIn", signedIn},
                            {"listening", listening},
                            {"version", version},
                            {"updatedAt", updatedAt}});
}

Result<Done, FileWriteReason> MCPStatus::writeFile(const std::string& path) const {
  return replaceFile(path, std::get<std::string>(jsonValue().encodedData()) + "\n");
}

}  // namespace quill
