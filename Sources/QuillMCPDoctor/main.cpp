// quill-mcp-doctor: tells a person at a terminal why an agent may not reach Quill, and how to
// register quill-mcp with an MCP client. It asks Quill for a tool list the way quill-mcp does,
// and never starts Quill.

#include <unistd.h>

#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "Diagnosis.h"
#include "FileDescriptor.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: quill-mcp-doctor [--client SLUG] [--json]\n"
    "\n"
    "Says why an agent may not reach Quill: where quill-mcp looks for Quill's socket and status\n"
    "file and what is there, what Quill answers to a tool list, how quill-mcp would start Quill,\n"
    "which quill-mcp the configuration files of Claude Desktop, Claude Code, Cursor, VS Code and\n"
    "Windsurf start and whether it answers, and how to register quill-mcp. It ends with the one\n"
    "thing to do first. It reads the same environment as quill-mcp (QUILL_MCP_SOCKET,\n"
    "QUILL_MCP_STATUS, QUILL_MCP_NO_LAUNCH, TMPDIR), looks for project files in the working\n"
    "folder, and never starts Quill.\n"
    "\n"
    "Options:\n"
    "  --client SLUG  ask as the client with this slug, as quill-mcp --client SLUG does\n"
    "  --json         one JSON object instead of text, for scripts\n"
    "  --version      show the version\n"
    "  --help         show this text\n"
    "\n"
    "Exit status: 0 when a tool list came back from Quill, 1 when none did, 2 for usage errors.\n";

int usageError(const std::string& problem) {
  quill::writeAll(STDERR_FILENO, "quill-mcp-doctor: " + problem + " (see --help)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a program that it asks may close its input early
  quill::doctor::Settings settings{QUILL_LAUNCHER_PATH, QUILL_APP_IDENTIFIER, std::nullopt,
                                   QUILL_MCP_VERSION};
  bool json = false;
  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view option = arguments[i];
    if (option == "--help" || option == "-h") return quill::writeAll(STDOUT_FILENO, kUsage) ? 0 : 1;
    if (option == "--version") {
      return quill::writeAll(STDOUT_FILENO, "quill-mcp-doctor " + settings.version + "\n") ? 0 : 1;
    }
    if (option == "--json") {
      json = true;
    } else if (option == "--client") {
      if (i + 1 >= arguments.size()) return usageError("--client needs a slug");
      settings.clientSlug = std::string(arguments[++i]);
    } else {
      return usageError("unknown option \"" + std::string(option) + "\"");
    }
  }

  const auto diagnosis = quill::doctor::diagnose(quill::processEnvironment(), std::move(settings));
  const std::string report =
      json ? quill::doctor::jsonReport(diagnosis).encodedData().value_or("") + "\n"
           : quill::doctor::textReport(diagnosis);
  quill::writeAll(STDOUT_FILENO, report);
  return diagnosis.toolListReceived() ? 0 : 1;
}
