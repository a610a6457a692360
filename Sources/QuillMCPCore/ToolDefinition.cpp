#include "ToolDefinition.h"

namespace quill {

std::string joinProjectNames(const std::vector<std::string>& names) {
  std::string joined;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) joined += ", ";
    joined += names[i];
  }
  return joined;
}

ToolDefinition ToolDefinition::getContextPacket(const std::vector<std::string>& projectNames) {
  std::string description =
      "Returns Quill's cited briefing for one of the user's projects: known facts with sources "
      "and match %, uncertain items to verify, hard do-NOT rules, what was deliberately withheld, "
      "and what changed since this client last asked. Call before doing work on a user's "
      "project.";
  if (!projectNames.empty()) {
    description += " Current projects: " + joinProjectNames(projectNames) + ".";
  }
  JSONValue inputSchema = JSONValue::object({
      {"type", "object"},
      {"properties",
       JSONValue::object({
           {"project",
            JSONValue::object({{"type", "string"},
                               {"description",
                                "Project name as shown in Quill (fuzzy-matched). Omit if the user "
                                "has only one project."}})},
           {"task", JSONValue::object({{"type", "string"},
                                       {"description",
                                        "What you're about to do \u2014 selects the most relevant "
                                        "facts. Optional."}})},
       })},
      {"required", JSONValue::array({})},
  });
  JSONValue annotations = JSONValue::object({{"readOnlyHint", true}, {"openWorldHint", false}});
  return ToolDefinition{std::string(getContextPacketName), "Get Quill context packet",
                        std::move(description), std::move(inputSchema), std::move(annotations)};
}

JSONValue ToolDefinition::listResult(const std::vector<std::string>& projectNames) {
  return JSONValue::object(
      {{"tools", JSONValue::array({getContextPacket(projectNames).jsonValue()})}});
}

JSONValue ToolDefinition::jsonValue() const {
  return JSONValue::object({{"name", name},
                            {"title", title},
                            {"description", description},
                            {"inputSchema", inputSchema},
                            {"annotations", annotations}});
}

JSONValue ToolCallResult::jsonValue() const {
  return JSONValue::object({
      {"content", JSONValue::array({JSONValue::object({{"type", "text"}, {"text", text}})})},
      {"isError", isError},
  });
}

}  // namespace quill
