#include "MCPErrors.h"

#include "ToolDefinition.h"

namespace quill::MCPErrors {

const std::string_view appNotRunning =
    "Quill isn't running \u2014 open Quill on this Mac, then try again.";
const std::string_view disabled =
    "Agent access is turned off in Quill. Ask the user to enable it in Quill \u2192 Settings "
    "\u2192 Agents.";
const std::string_view signedOut =
    "Quill is open but no one is signed in. Ask the user to sign in to Quill first.";
const std::string_view noProjects =
    "Quill has no projects yet. Ask the user to create a project in Quill first.";
const std::string_view internalError =
    "Quill hit an internal error building the briefing. Try again in a moment.";

std::string unknownProject(std::string_view requested, const std::vector<std::string>& available) {
  return "No Quill project matches \"" + std::string(requested) +
         "\". The user's projects are: " + joinProjectNames(available) +
         ". Retry with one of those names.";
}

std::string ambiguousProject(const std::vector<std::string>& candidates) {
  return "The user has several Quill projects: " + joinProjectNames(candidates) +
         ". Ask the user which one they mean, then retry with that name.";
}

}  // namespace quill::MCPErrors
