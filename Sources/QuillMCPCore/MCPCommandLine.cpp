#include "MCPCommandLine.h"

namespace quill::MCPCommandLine {

std::optional<std::string> clientSlug(const std::vector<std::string>& arguments) {
  std::optional<std::string> slug;
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == clientOption) slug = arguments[i + 1];
  }
  return slug;
}

bool launchForbidden(const Environment& environment) {
  const auto found = environment.find(noLaunchEnvKey);
  return found != environment.end() && found->second == "1";
}

}  // namespace quill::MCPCommandLine
