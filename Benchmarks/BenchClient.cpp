// The end-to-end comparison behind scripts/bench. It starts each server as an MCP client would (a
// child process on two pipes) and measures it from here, natively, so that the client is never
// the bottleneck:
//
//   floor  a few lines of C that answer every line with one fixed line (Benchmarks/floor.c)
//   shim   quill-mcp, with a fast stand-in for the desktop application behind it
//   sdk    an MCP server on the official TypeScript SDK (Benchmarks/sdk-server/server.mjs)
//   relay  for tool calls only: a shim that does no work of its own (Benchmarks/relay.c), the
//          cost of the extra process and its hops alone
//
// Every figure is taken side by side in the same run, rounds interleaving the servers, and
// printed as median, minimum and maximum over the samples, with the ratios that the goals are
// stated in. `--json FILE` also saves every sample.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMiB = 1024 * 1024;

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "quill-bench-client: %s\n", message.c_str());
  std::exit(2);
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- Child processes on pipes -------------------------------------------------------------

struct Child {
  pid_t pid = -1;
  int input = -1;   // our end of the child's standard input
  int output = -1;  // our end of the child's standard output
  std::string pending;  // bytes read past the last line taken

  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  Child(Child&& other) noexcept { *this = std::move(other); }
  Child& operator=(Child&& other) noexcept {
    std::swap(pid, other.pid);
    std::swap(input, other.input);
    std::swap(output, other.output);
    std::swap(pending, other.pending);
    return *this;
  }
  ~Child() { finish(); }

  // Closes standard input, the child's cue to end, and reaps it; a child that does not end within
  // five seconds is killed.
  void finish() {
    if (input >= 0) ::close(input);
    input = -1;
    if (pid > 0) {
      const auto start = Clock::now();
      int status = 0;
      while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (secondsSince(start) > 5) {
          ::kill(pid, SIGKILL);
          ::waitpid(pid, &status, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      pid = -1;
    }
    if (output >= 0) ::close(output);
    output = -1;
  }
};

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& extra) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry; ++entry) {
    std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals != std::string_view::npos && extra.count(std::string(text.substr(0, equals)))) {
      continue;
    }
    result.emplace_back(text);
  }
  for (const auto& [key, value] : extra) result.push_back(key + "=" + value);
  return result;
}

Child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  int toChild[2];
  int fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) die("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (const auto& entry : environment) env.push_back(const_cast<char*>(entry.c_str()));
  env.push_back(nullptr);
  Child child;
  const int error = ::posix_spawnp(&child.pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  if (error != 0) die("cannot start " + argv[0] + ": " + std::strerror(error));
  child.input = toChild[1];
  child.output = fromChild[0];
  return child;
}

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die(std::string("write failed: ") + std::strerror(errno));
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Reads until `count` line feeds have arrived and returns the last of those lines (without its
// line feed). Bytes after it are kept for the next call.
std::string readLines(Child& child, std::size_t count) {
  static thread_local std::vector<char> buffer(1 << 20);
  std::string last;
  std::string carry;  // the unfinished line
  std::size_t seen = 0;
  auto feed = [&](std::string_view data) {
    std::size_t position = 0;
    while (seen < count) {
      const auto newline = data.find('\n', position);
      if (newline == std::string_view::npos) {
        carry.append(data.substr(position));
        return;
      }
      if (++seen == count) {
        last = std::move(carry);
        last.append(data.substr(position, newline - position));
      }
      carry.clear();
      position = newline + 1;
    }
    child.pending.assign(data.substr(position));
  };
  const std::string held = std::move(child.pending);
  child.pending.clear();
  feed(held);
  while (seen < count) {
    const ssize_t n = ::read(child.output, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      die("the server closed its output after " + std::to_string(seen) + " of " +
          std::to_string(count) + " answers");
    }
    feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
  }
  return last;
}

// Writes `bytes` on a thread of its own while the caller reads the answers, as a pipelining
// client does; otherwise both sides could block on full pipes.
class Writer {
 public:
  Writer(int fd, const std::string& bytes) : thread_([fd, &bytes] { writeAll(fd, bytes); }) {}
  ~Writer() { thread_.join(); }

 private:
  std::thread thread_;
};

// VmHWM (peak resident set) and VmRSS of a running process, in KiB. The child's own figure:
// ru_maxrss of a child started with vfork semantics would include the parent's peak.
struct Memory {
  long hwmKiB = 0;
  long rssKiB = 0;
};
Memory memoryOf(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  Memory memory;
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) memory.hwmKiB = std::atol(line.c_str() + 6);
    if (line.rfind("VmRSS:", 0) == 0) memory.rssKiB = std::atol(line.c_str() + 6);
  }
  return memory;
}

// ---- Messages -----------------------------------------------------------------------------

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
    R"("capabilities":{},"clientInfo":{"name":"quill-bench","version":"1.0"}}})"
    "\n";

std::string pingLine(long id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping"})" + "\n";
}

std::string callLine(long id, std::string_view task) {
  std::string line = R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                     R"(,"method":"tools/call","params":{"name":"get_context_packet",)"
                     R"("arguments":{"project":"Atlas","task":")";
  line.append(task);
  line += "\"}}}\n";
  return line;
}

// What quill-mcp sends to the application for callLine(id, task), byte for byte.
std::string wireCallLine(long id, std::string_view task) {
  std::string line = R"({"id":)" + std::to_string(id) +
                     R"(,"method":"tools/call","params":{"arguments":{"project":"Atlas","task":")";
  line.append(task);
  line += R"("},"name":"get_context_packet"},"v":1})";
  line += "\n";
  return line;
}

// ASCII prose of exactly `bytes` bytes, needing no escapes.
std::string prose(std::size_t bytes) {
  static constexpr std::string_view words =
      "Quill keeps cited facts, uncertain items and hard rules per project. ";
  std::string text;
  text.reserve(bytes);
  while (text.size() < bytes) {
    text.append(words.substr(0, std::min(words.size(), bytes - text.size())));
  }
  return text;
}

// A request line of exactly `bytes` bytes, line feed included: a ping whose params hold one long
// string, or a tool call whose task is that long.
std::string largeLine(std::size_t bytes, bool toolCall) {
  const std::string frame =
      toolCall ? callLine(1, "") : R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"blob":""}})" "\n";
  const std::size_t fill = bytes - frame.size();
  if (toolCall) return callLine(1, prose(fill));
  return R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"blob":")" + prose(fill) +
         "\"}}\n";
}

// ---- Statistics ---------------------------------------------------------------------------

struct Stats {
  std::vector<double> samples;
  double median() const {
    if (samples.empty()) return 0;
    auto sorted = samples;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  }
  double min() const { return samples.empty() ? 0 : *std::min_element(samples.begin(), samples.end()); }
  double max() const { return samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end()); }
};

// ---- The servers --------------------------------------------------------------------------

struct Server {
  std::string name;
  std::vector<std::string> argv;
  std::vector<std::string> environment;
};

Child startAndInitialize(const Server& server) {
  Child child = spawn(server.argv, server.environment);
  writeAll(child.input, kInitialize);
  readLines(child, 1);
  return child;
}

// Seconds from the start of the process to the answer of `initialize`.
double coldStart(const Server& server) {
  const auto start = Clock::now();
  Child child = spawn(server.argv, server.environment);
  writeAll(child.input, kInitialize);
  readLines(child, 1);
  const double elapsed = secondsSince(start);
  child.finish();
  return elapsed;
}

struct PingRun {
  double rate;   // answers per second
  long hwmKiB;   // peak resident set after the last answer
};

PingRun pipelinedPings(const Server& server, long count) {
  std::string requests;
  requests.reserve(static_cast<std::size_t>(count) * 48);
  for (long i = 1; i <= count; ++i) requests += pingLine(i);
  Child child = startAndInitialize(server);
  const auto start = Clock::now();
  {
    Writer writer(child.input, requests);
    readLines(child, static_cast<std::size_t>(count));
  }
  const double elapsed = secondsSince(start);
  const Memory memory = memoryOf(child.pid);
  child.finish();
  return {static_cast<double>(count) / elapsed, memory.hwmKiB};
}

// Seconds from the first byte of each large line to its answer, `lines` lines one after another
// on one process.
std::vector<double> largeLines(const Server& server, const std::string& line, int lines) {
  Child child = startAndInitialize(server);
  std::vector<double> times;
  for (int i = 0; i < lines; ++i) {
    const auto start = Clock::now();
    {
      Writer writer(child.input, line);
      readLines(child, 1);
    }
    times.push_back(secondsSince(start));
  }
  child.finish();
  return times;
}

// Tool calls through a server: one at a time (each waits for its answer), or all written at
// once. Seconds per call.
double toolCalls(const Server& server, long count, bool pipelined) {
  Child child = startAndInitialize(server);
  const std::string task = "review the release notes before shipping";
  const auto start = Clock::now();
  if (pipelined) {
    std::string requests;
    for (long i = 1; i <= count; ++i) requests += callLine(i, task);
    Writer writer(child.input, requests);
    readLines(child, static_cast<std::size_t>(count));
  } else {
    for (long i = 1; i <= count; ++i) {
      writeAll(child.input, callLine(i, task));
      readLines(child, 1);
    }
  }
  const double elapsed = secondsSince(start);
  child.finish();
  return elapsed / static_cast<double>(count);
}

int connectTo(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket failed");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The same exchanges without the shim: connect, send the wire request, read the answer line,
// close. Seconds per call.
double directCalls(const std::string& socketPath, long count) {
  const std::string task = "review the release notes before shipping";
  std::vector<char> buffer(64 * 1024);
  const auto start = Clock::now();
  for (long i = 1; i <= count; ++i) {
    const int fd = connectTo(socketPath);
    if (fd < 0) die("cannot connect to the peer");
    writeAll(fd, wireCallLine(i, task));
    for (;;) {
      const ssize_t n = ::read(fd, buffer.data(), buffer.size());
      if (n <= 0) die("the peer closed without an answer");
      if (std::memchr(buffer.data(), '\n', static_cast<std::size_t>(n))) break;
    }
    ::close(fd);
  }
  return secondsSince(start) / static_cast<double>(count);
}

// Keeps this process, and the given others, on one CPU while it lives, then lets them run anywhere
// again. Children started meanwhile inherit it. On a virtual machine a wake-up that crosses CPUs
// can cost more than a whole exchange, and whether it happens depends on where the scheduler puts
// each process; on one CPU the exchange costs what its own work and context switches cost.
class OneCPU {
 public:
  explicit OneCPU(std::vector<pid_t> others) : others_(std::move(others)) {
    ::sched_getaffinity(0, sizeof all_, &all_);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(firstAllowed(), &one);
    ::sched_setaffinity(0, sizeof one, &one);
    for (pid_t pid : others_) ::sched_setaffinity(pid, sizeof one, &one);
  }
  ~OneCPU() {
    ::sched_setaffinity(0, sizeof all_, &all_);
    for (pid_t pid : others_) ::sched_setaffinity(pid, sizeof all_, &all_);
  }

 private:
  int firstAllowed() const {
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &all_)) return cpu;
    }
    return 0;
  }
  cpu_set_t all_{};
  std::vector<pid_t> others_;
};

struct MemoryRun {
  long baselineRssKiB = 0;
  long hwmAfterFirstKiB = 0;
  long hwmAfterLastKiB = 0;
  long rssAfterLastKiB = 0;
  long largestRssBetweenLinesKiB = 0;
  std::vector<long> rssAfterEachKiB;
};

// `lines` requests of `bytes` bytes each, one after another, watching the resident set.
MemoryRun largeLineMemory(const Server& server, std::size_t bytes, int lines) {
  const std::string line = largeLine(bytes, false);
  Child child = startAndInitialize(server);
  MemoryRun run;
  run.baselineRssKiB = memoryOf(child.pid).rssKiB;
  for (int i = 0; i < lines; ++i) {
    {
      Writer writer(child.input, line);
      readLines(child, 1);
    }
    const Memory memory = memoryOf(child.pid);
    if (i == 0) run.hwmAfterFirstKiB = memory.hwmKiB;
    run.hwmAfterLastKiB = memory.hwmKiB;
    run.rssAfterLastKiB = memory.rssKiB;
    run.largestRssBetweenLinesKiB = std::max(run.largestRssBetweenLinesKiB, memory.rssKiB);
    run.rssAfterEachKiB.push_back(memory.rssKiB);
  }
  child.finish();
  return run;
}

// ---- Report -------------------------------------------------------------------------------

struct Options {
  std::string floor, shim, peer, relay, node = "node", sdkScript, jsonPath;
  int runs = 5;
  long pings = 200'000;
  long sdkPings = 200'000;
  long calls = 2'000;
  int memoryLines = 100;
  bool check = false;
  std::string only;  // one measurement alone, for profiling: start, pings, large, calls, memory
};

std::string formatStats(const Stats& stats, double scale, int precision) {
  if (stats.samples.empty()) return "-";
  char text[96];
  std::snprintf(text, sizeof text, "%.*f [%.*f-%.*f]", precision, stats.median() * scale,
                precision, stats.min() * scale, precision, stats.max() * scale);
  return text;
}

std::string jsonArray(const std::vector<double>& values) {
  std::ostringstream out;
  out.precision(9);
  out << '[';
  for (std::size_t i = 0; i < values.size(); ++i) out << (i ? "," : "") << values[i];
  out << ']';
  return out.str();
}

std::string readFirstLine(const std::string& path, const std::string& prefix) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind(prefix, 0) == 0) {
      const auto colon = line.find(':');
      auto value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(" \t"));
      return value;
    }
  }
  return "unknown";
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die("missing value after " + arg);
      return argv[++i];
    };
    if (arg == "--floor") options.floor = value();
    else if (arg == "--shim") options.shim = value();
    else if (arg == "--peer") options.peer = value();
    else if (arg == "--relay") options.relay = value();
    else if (arg == "--node") options.node = value();
    else if (arg == "--sdk-server") options.sdkScript = value();
    else if (arg == "--json") options.jsonPath = value();
    else if (arg == "--runs") options.runs = std::atoi(value().c_str());
    else if (arg == "--pings") options.pings = options.sdkPings = std::atol(value().c_str());
    else if (arg == "--calls") options.calls = std::atol(value().c_str());
    else if (arg == "--memory-lines") options.memoryLines = std::atoi(value().c_str());
    else if (arg == "--check") options.check = true;
    else if (arg == "--only") options.only = value();
    else die("unknown argument " + arg);
  }
  if (options.floor.empty() || options.shim.empty() || options.peer.empty()) {
    die("usage: quill-bench-client --floor PATH --shim PATH --peer PATH [--relay PATH] "
        "[--sdk-server SCRIPT] "
        "[--node PATH] [--runs N] [--pings N] [--calls N] [--memory-lines N] [--json FILE] "
        "[--check] [--only start|pings|large|calls|memory]");
  }
  if (options.runs < 1) options.runs = 1;
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  ::signal(SIGPIPE, SIG_IGN);

  char directory[] = "/tmp/quill-bench-XXXXXX";
  if (!::mkdtemp(directory)) die("mkdtemp failed");
  const std::string socketPath = std::string(directory) + "/peer.sock";
  Child peer = spawn({options.peer, socketPath}, environmentWith({}));
  for (int attempt = 0;; ++attempt) {
    const int fd = connectTo(socketPath);
    if (fd >= 0) {
      ::close(fd);
      break;
    }
    if (attempt > 500) die("the fast peer did not start listening");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  const auto quiet = environmentWith({{"QUILL_MCP_SOCKET", socketPath},
                                      {"QUILL_MCP_STATUS", std::string(directory) + "/none.json"},
                                      {"QUILL_MCP_NO_LAUNCH", "1"}});
  const Server floor{"floor", {options.floor}, quiet};
  const Server shim{"shim", {options.shim, "--client", "quill-bench"}, quiet};
  const bool withSdk = !options.sdkScript.empty();
  const Server sdk{"sdk", {options.node, options.sdkScript}, quiet};
  std::vector<const Server*> servers{&floor, &shim};
  if (withSdk) servers.push_back(&sdk);

  std::map<std::string, Stats> start, pingRate, pingHwm, large8Ping, large8Call;
  Stats direct, shimSequential, shimPipelined, relaySequential, relayPipelined;
  const Server relay{"relay", {options.relay}, quiet};
  const std::size_t largeBytes = 8 * kMiB;
  const std::string largePing = largeLine(largeBytes, false);
  const std::string largeCall = largeLine(largeBytes, true);

  auto wanted = [&](std::string_view name) { return options.only.empty() || options.only == name; };
  std::fprintf(stderr, "measuring: %d rounds", options.runs);
  for (int round = 0; round < options.runs; ++round) {
    for (const Server* server : servers) {
      const bool isSdk = server == &sdk;
      // Cold start: several starts per round (fewer for the slow one).
      for (int i = 0; wanted("start") && i < (isSdk ? 2 : 10); ++i) {
        start[server->name].samples.push_back(coldStart(*server));
      }
      if (wanted("pings")) {
        const PingRun pings = pipelinedPings(*server, isSdk ? options.sdkPings : options.pings);
        pingRate[server->name].samples.push_back(pings.rate);
        pingHwm[server->name].samples.push_back(static_cast<double>(pings.hwmKiB));
      }
      if (wanted("large")) {
        for (double t : largeLines(*server, largePing, 3)) large8Ping[server->name].samples.push_back(t);
        for (double t : largeLines(*server, largeCall, 3)) large8Call[server->name].samples.push_back(t);
      }
    }
    if (wanted("calls")) {
      const OneCPU pinned({peer.pid});
      direct.samples.push_back(directCalls(socketPath, options.calls));
      shimSequential.samples.push_back(toolCalls(shim, options.calls, false));
      shimPipelined.samples.push_back(toolCalls(shim, options.calls, true));
      if (!options.relay.empty()) {
        relaySequential.samples.push_back(toolCalls(relay, options.calls, false));
        relayPipelined.samples.push_back(toolCalls(relay, options.calls, true));
      }
    }
    std::fprintf(stderr, ".");
  }
  MemoryRun memory;
  if (wanted("memory")) {
    std::fprintf(stderr, " 16 MiB lines");
    memory = largeLineMemory(shim, 16 * kMiB, options.memoryLines);
  }
  std::fprintf(stderr, " done\n");
  peer.finish();
  std::remove(socketPath.c_str());
  ::rmdir(directory);

  // ---- The table ----
  utsname machine{};
  ::uname(&machine);
  const std::string cpu = readFirstLine("/proc/cpuinfo", "model name");
  std::printf("machine: %s %s, %ld cores (nproc), %s\n", machine.sysname, machine.release,
              ::sysconf(_SC_NPROCESSORS_ONLN), cpu.c_str());
  std::printf("rounds: %d; pings per run: %ld; tool calls per run: %ld; large line: %zu bytes\n\n",
              options.runs, options.pings, options.calls, largeBytes);

  auto row = [&](const char* label, std::map<std::string, Stats>& stats, double scale, int precision) {
    std::printf("%-34s %-30s %-30s %-30s\n", label, formatStats(stats["floor"], scale, precision).c_str(),
                formatStats(stats["shim"], scale, precision).c_str(),
                withSdk ? formatStats(stats["sdk"], scale, precision).c_str() : "-");
  };
  std::printf("%-34s %-30s %-30s %-30s\n", "median [min-max]", "floor", "quill-mcp", "SDK server");
  row("cold start to initialize (ms)", start, 1e3, 3);
  row("pipelined pings (answers/s)", pingRate, 1, 0);
  row("peak RSS after pings (KiB)", pingHwm, 1, 0);
  row("8 MiB ping line (ms)", large8Ping, 1e3, 2);
  row("8 MiB tools/call line (ms)", large8Call, 1e3, 2);
  std::printf("\ntool calls against the fast peer, client, shim and peer on one CPU:\n");
  std::printf("%-34s %s\n", "tool call, direct to peer (us)", formatStats(direct, 1e6, 1).c_str());
  auto added = [&](const Stats& stats) {
    return direct.samples.empty() ? 0.0 : stats.median() / direct.median() - 1;
  };
  std::printf("%-34s %s (+%.0f%%)\n", "tool call via shim, one by one (us)",
              formatStats(shimSequential, 1e6, 1).c_str(), 100 * added(shimSequential));
  std::printf("%-34s %s (+%.0f%%)\n", "tool call via shim, pipelined (us)",
              formatStats(shimPipelined, 1e6, 1).c_str(), 100 * added(shimPipelined));
  if (!options.relay.empty()) {
    std::printf("%-34s %s (+%.0f%%)\n", "via a relay, one by one (us)",
                formatStats(relaySequential, 1e6, 1).c_str(), 100 * added(relaySequential));
    std::printf("%-34s %s (+%.0f%%)\n", "via a relay, pipelined (us)",
                formatStats(relayPipelined, 1e6, 1).c_str(), 100 * added(relayPipelined));
  }
  const double lineMiB = 16.0;
  const double costMultiple =
      static_cast<double>(memory.hwmAfterFirstKiB - memory.baselineRssKiB) / 1024.0 / lineMiB;
  std::printf("\n%d requests of 16 MiB: RSS before %ld KiB; peak after the first %ld KiB, after "
              "the last %ld KiB; RSS after the last %ld KiB (largest between lines %ld KiB)\n",
              options.memoryLines, memory.baselineRssKiB, memory.hwmAfterFirstKiB,
              memory.hwmAfterLastKiB, memory.rssAfterLastKiB, memory.largestRssBetweenLinesKiB);

  // ---- Goals ----
  struct Goal {
    std::string name;
    double value;
    std::string rule;
    bool met;
  };
  std::vector<Goal> goals;
  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
  const double startVsFloor = ratio(start["shim"].median(), start["floor"].median());
  goals.push_back({"cold start: shim / floor", startVsFloor, "<= 2", startVsFloor <= 2});
  const double pingsVsFloor = ratio(pingRate["shim"].median(), pingRate["floor"].median());
  goals.push_back({"pings: shim rate / floor rate", pingsVsFloor, ">= 0.35", pingsVsFloor >= 0.35});
  const double hwmMiB = pingHwm["shim"].max() / 1024.0;
  goals.push_back({"peak RSS after pings (MiB, worst run)", hwmMiB, "<= 4", hwmMiB <= 4});
  goals.push_back({"16 MiB line: peak growth / line size", costMultiple, "<= 4 (small multiple)",
                   costMultiple <= 4});
  const double growthMiB =
      static_cast<double>(memory.hwmAfterLastKiB - memory.hwmAfterFirstKiB) / 1024.0;
  goals.push_back({"16 MiB lines: peak growth, first to last (MiB)", growthMiB, "<= 1", growthMiB <= 1});
  const double keptMiB =
      static_cast<double>(memory.rssAfterLastKiB - memory.baselineRssKiB) / 1024.0;
  goals.push_back({"16 MiB lines: RSS kept after the last (MiB)", keptMiB, "<= 1 (given back)",
                   keptMiB <= 1});
  const double pingLineVsFloor = ratio(large8Ping["shim"].median(), large8Ping["floor"].median());
  goals.push_back({"8 MiB ping: shim time / floor time", pingLineVsFloor, "<= 5", pingLineVsFloor <= 5});
  const double callLineVsFloor = ratio(large8Call["shim"].median(), large8Call["floor"].median());
  goals.push_back({"8 MiB tools/call: shim time / floor time", callLineVsFloor, "<= 5", callLineVsFloor <= 5});
  // The added cost of a tool call is reported above, not held to a goal: a relay that does no
  // work of its own already adds most of what the shim adds.
  if (withSdk) {
    const double pingsVsSdk = ratio(pingRate["shim"].median(), pingRate["sdk"].median());
    goals.push_back({"pings: shim rate / SDK rate", pingsVsSdk, ">= 12", pingsVsSdk >= 12});
    const double pingLineVsSdk = ratio(large8Ping["sdk"].median(), large8Ping["shim"].median());
    goals.push_back({"8 MiB ping: SDK time / shim time", pingLineVsSdk, ">= 8", pingLineVsSdk >= 8});
    const double callLineVsSdk = ratio(large8Call["sdk"].median(), large8Call["shim"].median());
    goals.push_back({"8 MiB tools/call: SDK time / shim time", callLineVsSdk, ">= 8", callLineVsSdk >= 8});
  }
  // Moving 8 MiB through a pipe costs the floor anywhere from under 2 ms to about 10 ms on a
  // virtual machine, depending on whether writer and reader share a CPU; the best runs show the
  // cost with the least of that noise.
  std::printf("\nbest runs (min / min): 8 MiB ping shim / floor %.2f, 8 MiB tools/call shim / floor %.2f\n",
              ratio(large8Ping["shim"].min(), large8Ping["floor"].min()),
              ratio(large8Call["shim"].min(), large8Call["floor"].min()));
  std::printf("\n%-48s %12s  %-22s %s\n", "goal (ratios of medians)", "measured", "target", "");
  bool allMet = true;
  for (const auto& goal : goals) {
    std::printf("%-48s %12.3f  %-22s %s\n", goal.name.c_str(), goal.value, goal.rule.c_str(),
                goal.met ? "met" : "MISSED");
    allMet = allMet && goal.met;
  }

  if (!options.jsonPath.empty()) {
    std::ofstream out(options.jsonPath);
    out.precision(9);
    out << "{\n  \"machine\": {\"system\": \"" << machine.sysname << ' ' << machine.release
        << "\", \"nproc\": " << ::sysconf(_SC_NPROCESSORS_ONLN) << ", \"cpu\": \"" << cpu
        << "\"},\n  \"rounds\": " << options.runs << ", \"pings\": " << options.pings
        << ", \"calls\": " << options.calls << ", \"largeLineBytes\": " << largeBytes << ",\n";
    auto series = [&](const char* key, std::map<std::string, Stats>& stats, const char* unit) {
      out << "  \"" << key << "\": {\"unit\": \"" << unit << "\"";
      for (const Server* server : servers) {
        out << ", \"" << server->name << "\": " << jsonArray(stats[server->name].samples);
      }
      out << "},\n";
    };
    series("coldStart", start, "s");
    series("pingRate", pingRate, "answers/s");
    series("pingPeakRss", pingHwm, "KiB");
    series("largePing", large8Ping, "s");
    series("largeToolCall", large8Call, "s");
    out << "  \"toolCall\": {\"unit\": \"s/call\", \"direct\": " << jsonArray(direct.samples)
        << ", \"shimOneByOne\": " << jsonArray(shimSequential.samples)
        << ", \"shimPipelined\": " << jsonArray(shimPipelined.samples)
        << ", \"relayOneByOne\": " << jsonArray(relaySequential.samples)
        << ", \"relayPipelined\": " << jsonArray(relayPipelined.samples) << "},\n";
    out << "  \"largeLineMemory\": {\"lineBytes\": " << 16 * kMiB << ", \"baselineRssKiB\": "
        << memory.baselineRssKiB << ", \"hwmAfterFirstKiB\": " << memory.hwmAfterFirstKiB
        << ", \"hwmAfterLastKiB\": " << memory.hwmAfterLastKiB << ", \"rssAfterEachKiB\": [";
    for (std::size_t i = 0; i < memory.rssAfterEachKiB.size(); ++i) {
      out << (i ? "," : "") << memory.rssAfterEachKiB[i];
    }
    out << "]},\n  \"goals\": [";
    for (std::size_t i = 0; i < goals.size(); ++i) {
      out << (i ? ",\n    " : "\n    ") << "{\"goal\": \"" << goals[i].name << "\", \"measured\": "
          << goals[i].value << ", \"target\": \"" << goals[i].rule << "\", \"met\": "
          << (goals[i].met ? "true" : "false") << "}";
    }
    out << "\n  ]\n}\n";
  }
  return options.check && !allMet ? 1 : 0;
}
