#include <string>
#include <vector>

#include "Shim.h"

extern char** environ;

namespace {

quill::Environment captureEnvironment() {
  quill::Environment environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    environment.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return environment;
}

// ---- Platform: how the desktop application is started in the background. -------------------
quill::LaunchCommand launchCommand() {
#if defined(__APPLE__)
  // -g: do not bring it to the front; -b: the next argument is a bundle identifier.
  return {QUILL_LAUNCHER_PATH, {"-g", "-b", QUILL_APP_IDENTIFIER}};
#else
  return {QUILL_LAUNCHER_PATH, {QUILL_APP_IDENTIFIER}};
#endif
}
// ---- End of platform ---------------------------------------------------------------------

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv, argv + argc);
  quill::Shim shim(arguments, captureEnvironment(), launchCommand(), quill::Shim::Streams{});
  shim.run();
}
