#include <unistd.h>

#include <csignal>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "FileDescriptor.h"
#include "Shim.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: quill-mcp [--client SLUG]\n"
    "\n"
    "Lets an AI agent read the project memory kept in the Quill desktop app. An MCP client starts\n"
    "quill-mcp and talks MCP with it over standard input and output, one JSON-RPC message a line;\n"
    "quill-mcp asks Quill over a local socket, and starts Quill when it is not running.\n"
    "\n"
    "  --client SLUG  tell Quill which client asks (claude-desktop, claude-code, cursor, ...)\n"
    "  --version      show the version, when it is the only argument\n"
    "  --help         show this text, when it is the only argument\n"
    "Any other argument is ignored.\n"
    "\n"
    "Environment:\n"
    "  QUILL_MCP_SOCKET     path of Quill's socket (default: mcp.sock in Quill's support folder)\n"
    "  QUILL_MCP_STATUS     path of Quill's status file (default: mcp-status.json beside it)\n"
    "  QUILL_MCP_NO_LAUNCH  1: never start Quill\n"
    "  TMPDIR               folder of the fallback socket, used when the default path is too long\n"
    "\n"
    "When the agent cannot reach Quill, run quill-mcp-doctor, installed beside quill-mcp: it\n"
    "tells what is wrong and what to do first.\n";

// `quill-mcp --version` and `quill-mcp --help` are answered only when that is the whole command
// line: any other one is a client's, whose arguments but --client are ignored, so that no extra
// argument a client adds can keep the shim from running. The exit status, or absent to run.
std::optional<int> answerCommandLine(const std::vector<std::string>& arguments) {
  std::string_view text;
  if (arguments.size() == 2 && arguments[1] == "--version") {
    text = "quill-mcp " QUILL_MCP_VERSION "\n";
  } else if (arguments.size() == 2 && arguments[1] == "--help") {
    text = kUsage;
  } else {
    return std::nullopt;
  }
  std::signal(SIGPIPE, SIG_IGN);  // a reader that has gone fails the write, not the process
  return quill::failed(quill::writeAll(STDOUT_FILENO, text)) ? 1 : 0;
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
  if (const auto status = answerCommandLine(arguments)) return *status;
  quill::Shim shim(arguments, quill::processEnvironment(), {launchCommand()});
  return shim.run();
}
