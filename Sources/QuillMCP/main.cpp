#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

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

// ---- Platform: giving large buffers back on Linux. -------------------------------------------
// A long request line passes through a few buffers of its own size. glibc maps such blocks from
// the system and unmaps them when freed, but after the first such free it raises its threshold
// and serves later ones from the heap, where they stay: memory would grow and never be given back.
// A fixed threshold keeps every large block mapped, and returned when freed.
#if defined(__GLIBC__)
void keepLargeBlocksMapped() {
  (void)::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}
#else
void keepLargeBlocksMapped() {}
#endif
// ---- End of platform ---------------------------------------------------------------------

}  // namespace

int main(int argc, char** argv) {
  keepLargeBlocksMapped();
  std::vector<std::string> arguments(argv, argv + argc);
  quill::Shim shim(arguments, quill::processEnvironment(), {launchCommand()});
  return shim.run();
}
