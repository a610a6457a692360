// The programs that registrations name: where each leads, whether it can run, whether this
// program may run it, and what each quill-mcp answers.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>

#include "ChildProcess.h"
#include "Diagnosis.h"
#include "FileDescriptor.h"

namespace quill::doctor {

namespace {

// Programs asked at most, however many registrations name distinct ones.
constexpr std::size_t kMaxAsked = 32;
// What a client started from the macOS Dock searches for a bare name.
constexpr std::string_view kDockPath = "/usr/bin:/bin:/usr/sbin:/sbin";

// Why this program will not run `program`, a resolved path from the user's own files; nothing
// when it is a quill-mcp that only the user (or the system) can change.
std::optional<std::string> distrust(const std::string& program) {
  if (program.substr(program.rfind('/') + 1) != "quill-mcp") {
    return "it is not quill-mcp, and this program runs no other";
  }
  struct stat info {};
  if (::stat(program.c_str(), &info) != 0) return "it cannot be examined";
  if (info.st_uid != ::geteuid() && info.st_uid != 0) {
    return "it belongs to another user (uid " + std::to_string(info.st_uid) + ")";
  }
  if (info.st_mode & (S_IWGRP | S_IWOTH)) return "others than its owner may change it";
  return std::nullopt;
}

// The version in quill-mcp's answer to `initialize`.
std::optional<std::string> versionIn(
    const quill::Result<std::string, MCPSocketClient::Reason>& answer) {
  const JSONValue decoded = valueOr(JSONValue::decode(valueOr(answer, "")), JSONValue());
  const JSONValue* found = memberAt(decoded, {"result", "serverInfo", "version"});
  if (found && found->stringValue()) return std::string(*found->stringValue());
  return std::nullopt;
}

// Starts every program at once, each in a process group of its own with one end of a socket pair
// as its standard input and output, asks each with one `initialize`, side by side, and gives what
// each answered before `seconds` have passed, in the order of `programs`. All of them, and all
// they started, are killed then.
std::vector<std::optional<std::string>> ask(const std::vector<std::string>& programs,
                                            const std::string& version, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  const std::string request =
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
      R"("capabilities":{},"clientInfo":{"name":"quill-mcp-doctor","version":")" +
      version + "\"}}}";
  std::vector<std::optional<std::string>> versions(programs.size());
  std::vector<ChildProcess> children;  // killed when they go, as each waits for more as servers do
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < programs.size(); ++i) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) continue;
    FileDescriptor ours(ends[0]), theirs(ends[1]);
    // Started one after another, no program inherits another's end.
    for (int end : ends) ::fcntl(end, F_SETFD, FD_CLOEXEC);
    auto started = ChildProcess::start(programs[i], {}, {ends[1], ends[1], -1}, true);
    if (auto* child = std::get_if<ChildProcess>(&started)) {
      children.push_back(std::move(*child));
      threads.emplace_back([&versions, &request, deadline, i, ours = std::move(ours)] {
        const double left =
            std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        versions[i] = versionIn(
            MCPSocketClient::exchangeLine(ours.get(), request, std::max(left, 0.001), 1 << 20));
      });
    }
  }
  for (std::thread& thread : threads) thread.join();
  return versions;
}

}  // namespace

Result<std::string, ProgramReason> runnableFile(const std::string& command) {
  if (command.empty()) return Failure<ProgramReason>{ProgramReason::noCommand};
  std::string path = command;
  if (command.find('/') == std::string::npos) {
    const char* found = std::getenv("PATH");
    const std::string_view folders = found ? found : "";
    path.clear();
    for (std::size_t start = 0; start <= folders.size() && path.empty();) {
      std::size_t end = folders.find(':', start);
      if (end == std::string_view::npos) end = folders.size();
      const std::string candidate =
          MCPPaths::join(end == start ? "." : folders.substr(start, end - start), command);
      if (::access(candidate.c_str(), X_OK) == 0) path = candidate;
      start = end + 1;
    }
    if (path.empty()) return Failure<ProgramReason>{ProgramReason::notOnPath};
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0)
    return Failure<ProgramReason>{ProgramReason::missing, errno};
  if (!S_ISREG(info.st_mode)) return Failure<ProgramReason>{ProgramReason::cannotRun};
  if (::access(path.c_str(), X_OK) != 0) {
    return Failure<ProgramReason>{ProgramReason::cannotRun, errno};
  }
  char resolved[PATH_MAX];
  return std::string(::realpath(path.c_str(), resolved) ? resolved : path);
}

std::string problemText(const std::string& command, const Failure<ProgramReason>& failure) {
  switch (failure.reason) {
    case ProgramReason::noCommand:
      return "the entry has no command";
    case ProgramReason::notOnPath:
      return command + " is not on this PATH; write its full path";
    case ProgramReason::missing:
      return command + " does not exist";
    case ProgramReason::cannotRun:
      break;
  }
  return command + " is not a program that can run";
}

void checkRegistrations(const std::string& version, double seconds, Diagnosis& diagnosis) {
  std::vector<std::string> programs;
  for (Registration& entry : diagnosis.registrations) {
    if (entry.remote) continue;
    const std::string& command = entry.command;
    if (command.find('/') == std::string::npos && !command.empty()) {
      entry.warnings.push_back(
          "It is a bare name: a client started from the Dock looks for it only in " +
          std::string(kDockPath) + ". Write its full path.");
    } else if (!command.starts_with("/") && !command.empty()) {
      entry.warnings.push_back(
          "It is relative: it depends on the folder the client starts it in. Write its full path.");
    }
    auto file = runnableFile(command);
    if (const auto* failure = failed(file)) {
      if (!entry.broken) entry.broken = problemText(command, *failure);
      continue;
    }
    entry.program = std::get<std::string>(file);
    if (!entry.notRun) entry.notRun = distrust(entry.program);
    const bool listed =
        std::find(programs.begin(), programs.end(), entry.program) != programs.end();
    if (entry.notRun || entry.broken || listed) continue;
    if (programs.size() == kMaxAsked) {
      entry.notRun = "more than " + std::to_string(kMaxAsked) + " programs are registered";
    } else {
      programs.push_back(entry.program);
    }
  }
  const auto versions = ask(programs, version, seconds);
  for (Registration& entry : diagnosis.registrations) {
    const auto asked = std::find(programs.begin(), programs.end(), entry.program);
    if (asked == programs.end() || entry.notRun || entry.broken) continue;
    entry.version = versions[asked - programs.begin()];
    if (!entry.version) {
      entry.broken = entry.command + " does not answer initialize as quill-mcp does";
    } else if (*entry.version != version) {
      entry.warnings.push_back("It is quill-mcp " + *entry.version + ", not " + version +
                               " as this program is: another installation.");
    }
  }
}

}  // namespace quill::doctor
