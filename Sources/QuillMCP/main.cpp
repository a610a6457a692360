#include <string>
#include <vector>

#include "Shim.h"

namespace {

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
  quill::Shim shim(arguments, quill::processEnvironment(), launchCommand(), quill::Shim::Streams{});
  shim.run();
}
