// The shipped shim, with what the process tests need to follow the whole launch-and-retry path
// without waiting out the real windows: Tests/Support/launch-peer as its launcher, a retry window
// of 2 seconds instead of 10, and tool calls that give up after 5 seconds instead of 30.
#include <chrono>
#include <string>
#include <vector>

#include "Shim.h"

int main(int argc, char** argv) {
  using namespace std::chrono_literals;
  // ---- Platform: the launcher's arguments, as the shipped shim gives them. ---------------------
#if defined(__APPLE__)
  std::vector<std::string> launcherArguments{"-g", "-b", "app.quill.desktop.test"};
#else
  std::vector<std::string> launcherArguments{"app.quill.desktop.test"};
#endif
  // ---- End of platform ---------------------------------------------------------------------
  quill::Shim::Options options{{QUILL_SOURCE_DIR "/Tests/Support/launch-peer", launcherArguments}};
  options.toolCallTimeout = 5s;
  options.retryWindow = 2s;
  quill::Shim shim({argv, argv + argc}, quill::processEnvironment(), options);
  return shim.run();
}
