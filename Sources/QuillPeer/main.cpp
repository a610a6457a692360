// quill-peer: a small stand-in for the Quill desktop application's side of the agent link.
// It serves briefings for the projects of a JSON file on the application's socket and keeps
// the application's status file, so that quill-mcp can be run and tested without Quill.

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "MCPPaths.h"
#include "PeerServer.h"
#include "PeerService.h"
#include "Projects.h"
#include "WatchedFile.h"

namespace {

using quill::Environment;

constexpr std::string_view kUsage =
    "Usage: quill-peer [options]\n"
    "\n"
    "Stands in for the Quill desktop application: listens on Quill's agent socket, answers\n"
    "tool lists and briefings for the projects of a JSON file, and keeps Quill's status file.\n"
    "Serves several clients at once, each with its own time-out, and only clients that run as\n"
    "the same user; the socket is readable and writable by that user only. SIGHUP re-reads\n"
    "the projects file. Stops cleanly on SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --projects FILE           projects to serve (see examples/projects.json); without it\n"
    "                            there are no projects. Watched like the state file, and\n"
    "                            re-read on SIGHUP; a bad edit keeps the old projects\n"
    "  --disabled                agent access is turned off: every request answers \"disabled\"\n"
    "  --signed-out              nobody is signed in: every request answers \"signedOut\"\n"
    "  --state FILE              agent access and sign-in from a JSON file such as\n"
    "                            {\"enabled\": true, \"signedIn\": false}, instead of\n"
    "                            --disabled and --signed-out. Watched while running: an edit\n"
    "                            applies before the next answer and within a tenth of a\n"
    "                            second, to the answers and to the status file\n"
    "  --delay SECONDS           wait this long before listening, like an application that is\n"
    "                            still starting\n"
    "  --socket PATH             listen here instead of at QUILL_MCP_SOCKET or the default;\n"
    "                            only a stale socket of this user is replaced there\n"
    "  --status PATH             write the status here instead of at QUILL_MCP_STATUS or the\n"
    "                            default\n"
    "  --request-timeout SECONDS how long a client may take to send its request, and then to\n"
    "                            take its answer (default 10)\n"
    "  --help                    show this text\n"
    "\n"
    "Exit status: 0 after a stop signal, 1 when it cannot listen (also when anything but a\n"
    "stale socket of this user is at the socket path), 2 for bad options or a projects or\n"
    "state file that cannot be read.\n";

int usageError(const std::string& problem) {
  quill::reportLine(problem + " (see --help)");
  return 2;
}

std::optional<double> seconds(std::string_view text, bool zeroAllowed) {
  const std::string copy(text);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (copy.empty() || end != copy.c_str() + copy.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  if (value < 0 || (value == 0 && !zeroAllowed) || value > 86400) return std::nullopt;
  return value;
}

// A watched file loaded at start-up; false after reporting why it cannot be used.
template <typename T>
bool load(std::optional<quill::WatchedFile<T>>& file, const char* noun,
          const std::optional<std::string>& path, std::size_t maxBytes,
          typename quill::WatchedFile<T>::Parse parse) {
  if (!path) return true;
  auto loaded = quill::WatchedFile<T>::load(noun, *path, maxBytes, parse);
  if (auto* problem = std::get_if<std::string>(&loaded)) {
    quill::reportLine(*problem);
    return false;
  }
  file.emplace(std::get<quill::WatchedFile<T>>(std::move(loaded)));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Environment environment = quill::processEnvironment();
  std::optional<std::string> projectsPath;
  std::optional<std::string> statePath;
  quill::PeerOptions options;

  const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view option = arguments[i];
    if (option == "--help" || option == "-h") {
      (void)!::write(STDOUT_FILENO, kUsage.data(), kUsage.size());
      return 0;
    }
    if (option == "--disabled") {
      options.access.enabled = false;
      continue;
    }
    if (option == "--signed-out") {
      options.access.signedIn = false;
      continue;
    }
    const bool takesValue = option == "--projects" || option == "--state" || option == "--delay" ||
                            option == "--socket" || option == "--status" ||
                            option == "--request-timeout";
    if (!takesValue) return usageError("unknown option \"" + std::string(option) + "\"");
    if (i + 1 >= arguments.size()) {
      return usageError("the option " + std::string(option) + " needs a value");
    }
    const std::string_view value = arguments[++i];
    if (option == "--projects") {
      projectsPath = std::string(value);
    } else if (option == "--state") {
      statePath = std::string(value);
    } else if (option == "--socket") {
      environment[std::string(quill::MCPPaths::socketEnvKey)] = std::string(value);
    } else if (option == "--status") {
      environment[std::string(quill::MCPPaths::statusEnvKey)] = std::string(value);
    } else {
      const bool isDelay = option == "--delay";
      auto parsed = seconds(value, isDelay);
      if (!parsed) {
        return usageError(std::string(option) + " needs a number of seconds " +
                          (isDelay ? "from 0" : "above 0") + " to 86400, not \"" +
                          std::string(value) + "\"");
      }
      (isDelay ? options.delaySeconds : options.requestTimeoutSeconds) = *parsed;
    }
  }

  if (!load(options.projectsFile, "projects", projectsPath, quill::ProjectFile::maxBytes,
            quill::ProjectFile::parse) ||
      !load(options.stateFile, "state", statePath, 64 * 1024, quill::AccessState::parse)) {
    return 2;
  }
  options.socketPath = quill::MCPPaths::socketPath(environment);
  options.statusPath = quill::MCPPaths::statusFilePath(environment);
  return quill::runPeer(std::move(options));
}
