#include "StateFile.h"

#include "JSONValue.h"
#include "PeerFiles.h"

namespace quill {

std::variant<AccessState, std::string> StateFile::interpret(const std::optional<std::string>& bytes,
                                                            const std::string& readProblem) const {
  if (!bytes) return "cannot read the state file " + path_ + ": " + readProblem;
  const std::string malformed = "the state file " + path_ + " is malformed: ";
  auto decoded = JSONValue::decode(*bytes);
  if (auto* error = std::get_if<JSONReadError>(&decoded)) {
    return malformed + "not valid JSON (" + error->description + ")";
  }
  const JSONValue& root = std::get<JSONValue>(decoded);
  const JSONValue* enabled = root.member("enabled");
  const JSONValue* signedIn = root.member("signedIn");
  if (!enabled || !signedIn || !enabled->boolValue() || !signedIn->boolValue()) {
    return malformed + "it must be a JSON object with the booleans \"enabled\" and \"signedIn\"";
  }
  return AccessState{*enabled->boolValue(), *signedIn->boolValue()};
}

std::variant<StateFile, std::string> StateFile::load(const std::string& path) {
  StateFile file;
  file.path_ = path;
  std::string problem;
  auto bytes = PeerFiles::read(path, maxBytes, problem);
  auto state = file.interpret(bytes, problem);
  if (auto* message = std::get_if<std::string>(&state)) return std::move(*message);
  file.state_ = std::get<AccessState>(state);
  file.lastBytes_ = std::move(*bytes);
  return file;
}

StateFile::Refresh StateFile::refresh() {
  Refresh refresh;
  std::string problem;
  auto bytes = PeerFiles::read(path_, maxBytes, problem);
  if (bytes && *bytes == lastBytes_) {
    lastProblem_.clear();
    return refresh;
  }
  auto state = interpret(bytes, problem);
  if (auto* found = std::get_if<AccessState>(&state)) {
    refresh.changed = *found != state_;
    state_ = *found;
    lastBytes_ = std::move(*bytes);
    lastProblem_.clear();
  } else if (std::get<std::string>(state) != lastProblem_) {
    lastProblem_ = std::get<std::string>(state);
    refresh.warning = lastProblem_ + "; keeping the state read before";
  }
  return refresh;
}

}  // namespace quill
