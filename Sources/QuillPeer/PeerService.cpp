#include "PeerService.h"

#include "MCPClientIdentity.h"
#include "MCPErrors.h"
#include "ToolDefinition.h"

namespace quill {

namespace {

std::optional<std::string_view> view(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return std::string_view(*text);
}

// The "id" of a line that is JSON but not a valid request, so that even that failure can be
// matched to its request; absent when there is none to be found.
std::optional<JSONValue> salvageId(std::string_view line) {
  auto decoded = JSONValue::decode(line);
  auto* value = std::get_if<JSONValue>(&decoded);
  if (!value) return std::nullopt;
  const JSONValue* id = value->member("id");
  if (!id || id->isNull()) return std::nullopt;
  return *id;
}

MCPWireResponse internal(const std::optional<JSONValue>& id, std::string message) {
  return MCPWireResponse::failure(id, MCPWireErrorCode::internalError, std::move(message));
}

}  // namespace

std::variant<AccessState, std::string> AccessState::parse(std::string_view bytes) {
  auto decoded = JSONValue::decode(bytes);
  if (const auto* failure = failed(decoded)) return "not valid JSON (" + failure->detail + ")";
  const JSONValue& root = std::get<JSONValue>(decoded);
  const JSONValue* enabled = root.member("enabled");
  const JSONValue* signedIn = root.member("signedIn");
  if (!enabled || !signedIn || !enabled->boolValue() || !signedIn->boolValue()) {
    return "it must be a JSON object with the booleans \"enabled\" and \"signedIn\"";
  }
  return AccessState{*enabled->boolValue(), *signedIn->boolValue()};
}

MCPWireResponse PeerService::respond(std::string_view line, const std::string& now) {
  auto decoded = MCPWire::decodeRequest(line);
  if (const auto* failure = failed(decoded)) {
    return internal(salvageId(line), "Quill could not read the request: " + failure->detail + ".");
  }
  const auto* request = &std::get<MCPWireRequest>(decoded);
  if (!access_.enabled) {
    return MCPWireResponse::failure(request->id, MCPWireErrorCode::disabled,
                                    std::string(MCPErrors::disabled));
  }
  if (!access_.signedIn) {
    return MCPWireResponse::failure(request->id, MCPWireErrorCode::signedOut,
                                    std::string(MCPErrors::signedOut));
  }
  if (request->method == "tools/list") {
    return MCPWireResponse::success(request->id,
                                    ToolDefinition::listResult(projectNames(projects_)));
  }
  if (request->method == "tools/call") return callTool(*request, now);
  return internal(request->id, "Quill does not know the method \"" + request->method + "\".");
}

MCPWireResponse PeerService::callTool(const MCPWireRequest& request, const std::string& now) {
  const auto& id = request.id;
  if (!request.params || !request.params->name) {
    return internal(id, "The tool call names no tool.");
  }
  if (*request.params->name != ToolDefinition::getContextPacketName) {
    return internal(id, "Quill has no tool named \"" + *request.params->name + "\".");
  }
  const JSONValue noArguments = JSONValue::object({});
  const JSONValue& arguments = request.params->arguments.value_or(noArguments);
  if (!arguments.objectValue()) return internal(id, "The tool arguments must be a JSON object.");

  if (projects_.empty()) {
    return MCPWireResponse::failure(id, MCPWireErrorCode::noProjects,
                                    std::string(MCPErrors::noProjects));
  }

  // A "project" that is not text cannot name a project; it is reported as the unknown name it
  // is, in its JSON form, with the list of names to retry with.
  std::optional<std::string_view> requested;
  if (const JSONValue* project = arguments.member("project"); project && !project->isNull()) {
    requested = project->stringValue();
    if (!requested) {
      return MCPWireResponse::failure(
          id, MCPWireErrorCode::unknownProject,
          MCPErrors::unknownProject(std::get<std::string>(project->encodedData()),
                                    projectNames(projects_)));
    }
  }
  // A "task" that is not text is ignored: it only orders the facts.
  std::optional<std::string_view> task;
  if (const JSONValue* value = arguments.member("task")) task = value->stringValue();

  const ProjectChoice choice = chooseProject(projects_, requested);
  switch (choice.outcome) {
    case ProjectChoice::Outcome::found:
      break;
    case ProjectChoice::Outcome::unknown:
      return MCPWireResponse::failure(
          id, MCPWireErrorCode::unknownProject,
          MCPErrors::unknownProject(*requested, projectNames(projects_)));
    case ProjectChoice::Outcome::ambiguous:
      return MCPWireResponse::failure(id, MCPWireErrorCode::ambiguousProject,
                                      MCPErrors::ambiguousProject(choice.candidates));
    case ProjectChoice::Outcome::noProjects:
      return MCPWireResponse::failure(id, MCPWireErrorCode::noProjects,
                                      std::string(MCPErrors::noProjects));
  }

  const MCPClientIdentity who =
      MCPClientIdentity::resolve(view(request.client), view(request.clientName));
  std::string text = briefer_.brief(*choice.project, who, task, now);
  return MCPWireResponse::success(id, ToolCallResult{std::move(text), false}.jsonValue());
}

std::string PeerService::encode(const MCPWireResponse& response) {
  std::string line;
  if (failed(MCPWire::jsonValue(response).encodeInto(line))) {
    // Only a number that is not finite fails to encode, and the echoed id is the only number a
    // response can carry; answer without it.
    (void)MCPWire::jsonValue(internal(std::nullopt, std::string(MCPErrors::internalError)))
        .encodeInto(line);
  }
  return line;
}

}  // namespace quill
