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
    "which quill-mcp the files of Claude Desktop (and its extensions), Claude Code, Cursor,\n"
    "VS Code, Windsurf, Gemini CLI, Qwen Code, Codex, Copilot CLI and opencode start, whether it\n"
    "can run and answers, and how to register quill-mcp. It ends with what to do, in order. It\n"
    "reads the same environment as quill-mcp (QUILL_MCP_SOCKET, QUILL_MCP_STATUS,\n"
    "QUILL_MCP_NO_LAUNCH, TMPDIR) and the project files of the working folder, and never starts\n"
    "Quill. It runs no program a project's files name, and none through a shell.\n"
    "\n"
    "Options:\n"
    "  --client SLUG  ask as the client with this slug, as quill-mcp --client SLUG does\n"
    "  --json         one JSON object instead of text, for scripts\n"
    "  --version      show the version\n"
    "  --help         show this text\n"
    "\n"
    "Exit status: 0 when Quill answers and nothing read is broken, 1 when no tool list came back\n"
    "from Quill, 3 when a registration or a client's file is broken, 2 for usage errors.\n";

// The exit status of writing `text` to standard output.
int written(std::string_view text) {
  return quill::failed(quill::writeAll(STDOUT_FILENO, text)) ? 1 : 0;
}

int usageError(const std::string& problem) {
  (void)quill::writeAll(STDERR_FILENO, "quill-mcp-doctor: " + problem + " (see --help)\n");
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
    if (option == "--help" || option == "-h") return written(kUsage);
    if (option == "--version") return written("quill-mcp-doctor " + settings.version + "\n");
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
  const quill::JSONValue report = quill::doctor::jsonReport(diagnosis);
  // Texts, flags and whole numbers alone: written without fail.
  (void)quill::writeAll(STDOUT_FILENO, json ? std::get<std::string>(report.encodedData()) + "\n"
                                            : quill::doctor::textReport(report));
  return diagnosis.exitStatus();
}
