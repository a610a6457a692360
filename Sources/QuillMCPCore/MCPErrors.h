// Every text the agent receives when a tool call cannot deliver a briefing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quill::MCPErrors {

extern const std::string_view appNotRunning;
extern const std::string_view disabled;
extern const std::string_view signedOut;
extern const std::string_view noProjects;
extern const std::string_view internalError;

// The names are inserted as given: not quoted, sorted, trimmed or shortened.
std::string unknownProject(std::string_view requested, const std::vector<std::string>& available);
std::string ambiguousProject(const std::vector<std::string>& candidates);

}  // namespace quill::MCPErrors
