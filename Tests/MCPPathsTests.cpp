// Where the shim looks for the application's socket and status file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "MCPPaths.h"
#include "Subprocess.h"

namespace quill {
namespace {

// A support folder whose default socket path, <support>/mcp.sock, is exactly `socketPathBytes`
// long.
std::string supportForSocketPathOf(std::size_t socketPathBytes) {
  const std::size_t supportBytes = socketPathBytes - std::string_view("/mcp.sock").size();
  return "/" + std::string(supportBytes - 1, 's');
}

// Runs `body` with the working directory changed to `directory`, then changes back.
template <typename Body>
void inDirectory(const std::string& directory, Body body) {
  char previous[PATH_MAX];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(directory.c_str()), 0);
  body();
  ASSERT_EQ(::chdir(previous), 0);
}

using MCPPaths::Rule;

// The socket path for `support`, and the rule that chose it.
std::pair<std::string, Rule> socketAt(const Environment& environment, std::string_view support) {
  const MCPPaths::Location location = MCPPaths::socketLocation(environment, support);
  return {location.path, location.rule};
}

// The name of the fallback socket in a folder that other users may write to.
const std::string kSharedName = "quill-mcp-" + std::to_string(::geteuid()) + ".sock";

struct SocketPathCase {
  std::string name;
  Environment environment;
  std::string support;
  std::string expected;
  Rule rule = Rule::fallback;
};

TEST(MCPPathsTests, SocketPath) {
  const std::string fits = supportForSocketPathOf(103);
  const std::string tooLong = supportForSocketPathOf(104);
  ASSERT_EQ((fits + "/mcp.sock").size(), 103u);
  const std::string longOverride = "/" + std::string(300, 'o') + "/x.sock";
  // 47 two-byte letters: 94 bytes of folder, 103 bytes of path, but only 56 characters.
  std::string accented = "/";
  for (int i = 0; i < 46; ++i) accented += "\xC3\xA9";
  accented += "e";
  ASSERT_EQ((accented + "/mcp.sock").size(), 103u);
  std::string accentedTooLong = accented + "e";

  const SocketPathCase cases[] = {
    {"override wins",
     {{"QUILL_MCP_SOCKET", "/tmp/x.sock"}, {"TMPDIR", "/var/tmp"}},
     tooLong,
     "/tmp/x.sock",
     Rule::override},
    {"override of any length, kept byte for byte",
     {{"QUILL_MCP_SOCKET", "run/.." + longOverride + "/"}},
     fits,
     "run/.." + longOverride + "/",
     Rule::override},
    {"empty override is unset",
     {{"QUILL_MCP_SOCKET", ""}},
     "/home/u/Quill",
     "/home/u/Quill/mcp.sock",
     Rule::supportFolder},
    {"default",
     {},
     "/Users/u/Library/Application Support/Quill",
     "/Users/u/Library/Application Support/Quill/mcp.sock",
     Rule::supportFolder},
    {"support with trailing slash",
     {},
     "/data/Quill/",
     "/data/Quill/mcp.sock",
     Rule::supportFolder},
    {"default of 103 bytes",
     {{"TMPDIR", "/var/tmp"}},
     fits,
     fits + "/mcp.sock",
     Rule::supportFolder},
    {"103 bytes counted in UTF-8",
     {{"TMPDIR", "/var/tmp"}},
     accented,
     accented + "/mcp.sock",
     Rule::supportFolder},
#if defined(__APPLE__)
    {"104 bytes in UTF-8", {{"TMPDIR", "/var/tmp"}}, accentedTooLong, "/var/tmp/quill-mcp.sock"},
    {"default of 104 bytes", {{"TMPDIR", "/var/tmp"}}, tooLong, "/var/tmp/quill-mcp.sock"},
    {"TMPDIR with trailing slash", {{"TMPDIR", "/var/tmp/"}}, tooLong, "/var/tmp/quill-mcp.sock"},
    {"fallback without a length test",
     {{"TMPDIR", longOverride}},
     tooLong,
     longOverride + "/quill-mcp.sock"},
#else
    // TMPDIR is a folder that others may write to, as /tmp is.
    {"104 bytes in UTF-8", {{"TMPDIR", "/var/tmp"}}, accentedTooLong, "/var/tmp/" + kSharedName},
    {"default of 104 bytes", {{"TMPDIR", "/var/tmp"}}, tooLong, "/var/tmp/" + kSharedName},
    {"TMPDIR with trailing slash", {{"TMPDIR", "/var/tmp/"}}, tooLong, "/var/tmp/" + kSharedName},
    {"fallback without a length test",
     {{"TMPDIR", longOverride}},
     tooLong,
     longOverride + "/" + kSharedName},
    {"no TMPDIR, no runtime folder", {{"HOME", "/home/u"}}, tooLong, "/tmp/" + kSharedName},
#endif
  };
  for (const auto& c : cases) {
    EXPECT_EQ(socketAt(c.environment, c.support), std::pair(c.expected, c.rule)) << c.name;
  }
}

TEST(MCPPathsTests, FallbackWithoutTMPDIRIsAnAbsoluteTemporaryPath) {
  const std::string path = MCPPaths::socketLocation({}, supportForSocketPathOf(200)).path;
  EXPECT_TRUE(path.starts_with("/")) << path;
  EXPECT_TRUE(path.substr(path.rfind('/')).starts_with("/quill-mcp")) << path;
  EXPECT_EQ(path.find("//"), std::string::npos) << path;
}

TEST(MCPPathsTests, EmptyOrRelativeTMPDIRIsResolvedAgainstTheWorkingDirectory) {
  const std::string tooLong = supportForSocketPathOf(104);
#if defined(__APPLE__)
  const std::string kFallbackName = "quill-mcp.sock";
#else
  const std::string kFallbackName = kSharedName;
#endif
  inDirectory("/", [&] {
    EXPECT_EQ(socketAt({{"TMPDIR", ""}}, tooLong).first, "/" + kFallbackName);
    EXPECT_EQ(socketAt({{"TMPDIR", "run"}}, tooLong).first, "/run/" + kFallbackName);
  });
  testing::TemporaryDirectory directory;
  char resolved[PATH_MAX];
  ASSERT_NE(::realpath(directory.path().c_str(), resolved), nullptr);
  const std::string here = resolved;
  inDirectory(here, [&] {
    EXPECT_EQ(socketAt({{"TMPDIR", ""}}, tooLong).first, here + "/" + kFallbackName);
    EXPECT_EQ(socketAt({{"TMPDIR", "a/b/"}}, tooLong).first, here + "/a/b/" + kFallbackName);
  });
}

TEST(MCPPathsTests, StatusFilePath) {
  const std::string longSupport = "/" + std::string(400, 'l');
  const struct {
    Environment environment;
    std::string support;
    std::string expected;
  } cases[] = {
      {{{"QUILL_MCP_STATUS", "/tmp/s.json"}}, "/home/u/Quill", "/tmp/s.json"},
      {{{"QUILL_MCP_STATUS", ""}}, "/home/u/Quill", "/home/u/Quill/mcp-status.json"},
      // The socket override does not move the status file, nor the other way round.
      {{{"QUILL_MCP_SOCKET", "/tmp/x.sock"}}, "/home/u/Quill", "/home/u/Quill/mcp-status.json"},
      // No length rule for the status file.
      {{{"TMPDIR", "/var/tmp"}}, longSupport, longSupport + "/mcp-status.json"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MCPPaths::statusFileLocation(c.environment, c.support).path, c.expected) << c.support;
  }
  EXPECT_EQ(socketAt({{"QUILL_MCP_STATUS", "/tmp/s.json"}}, "/home/u/Quill").first,
            "/home/u/Quill/mcp.sock");
}

TEST(MCPPathsTests, Join) {
  const struct {
    std::string_view directory, name, expected;
  } cases[] = {
      {"/a", "b", "/a/b"}, {"/a/", "b", "/a/b"},        {"/a//", "b", "/a/b"},   {"/", "b", "/b"},
      {"//", "b", "/b"},   {"a", "b.sock", "a/b.sock"}, {"/a b", "c", "/a b/c"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MCPPaths::join(c.directory, c.name), c.expected) << c.directory;
  }
}

#if !defined(__APPLE__)

TEST(MCPPathsTests, SupportDirectoryFollowsTheXDGDataHome) {
  const struct {
    Environment environment;
    std::string expected;
  } cases[] = {
      {{{"XDG_DATA_HOME", "/data"}, {"HOME", "/home/u"}}, "/data/Quill"},
      {{{"XDG_DATA_HOME", "data"}, {"HOME", "/home/u"}}, "/home/u/.local/share/Quill"},
      {{{"XDG_DATA_HOME", ""}, {"HOME", "/home/u"}}, "/home/u/.local/share/Quill"},
      {{{"HOME", "/home/u"}}, "/home/u/.local/share/Quill"},
      {{{"HOME", "/home/u/"}}, "/home/u/.local/share/Quill"},
      {{{"XDG_DATA_HOME", "/data/"}}, "/data/Quill"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MCPPaths::supportDirectory(c.environment), c.expected) << c.expected;
  }
}

// The fallback socket goes into the user's runtime folder only when nobody else may write there;
// elsewhere its name holds the user's id, so that no other user can take it first.
TEST(MCPPathsTests, TheRuntimeFolderHoldsTheFallbackOnlyWhenItIsPrivate) {
  using Problem = MCPPaths::RuntimeFolderProblem;
  testing::TemporaryDirectory directory;
  const auto folder = [&](std::string_view name, mode_t mode) {
    const std::string path = directory.file(name);
    EXPECT_EQ(::mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  };
  const std::string own = folder("own", 0700), open = folder("open", 01777);
  const std::string group = folder("group", 0770), foreign = folder("foreign", 0700);
  testing::writeFile(directory.file("file"), "");
  const bool canGiveAway = ::chown(foreign.c_str(), 65534, 65534) == 0;
  const struct {
    Environment environment;
    std::string expected;
    std::optional<Problem> problem;
  } cases[] = {
      {{{"XDG_RUNTIME_DIR", own}}, own + "/quill-mcp.sock", std::nullopt},
      {{}, "/tmp/" + kSharedName, Problem::unset},
      {{{"XDG_RUNTIME_DIR", ""}}, "/tmp/" + kSharedName, Problem::unset},
      {{{"XDG_RUNTIME_DIR", "run/user/1"}}, "/tmp/" + kSharedName, Problem::notAbsolute},
      {{{"XDG_RUNTIME_DIR", directory.file("none")}}, "/tmp/" + kSharedName, Problem::missing},
      {{{"XDG_RUNTIME_DIR", directory.file("file")}}, "/tmp/" + kSharedName, Problem::notAFolder},
      {{{"XDG_RUNTIME_DIR", open}}, "/tmp/" + kSharedName, Problem::openToOthers},
      {{{"XDG_RUNTIME_DIR", group}}, "/tmp/" + kSharedName, Problem::openToOthers},
      {{{"XDG_RUNTIME_DIR", foreign}},
       canGiveAway ? "/tmp/" + kSharedName : foreign + "/quill-mcp.sock",
       canGiveAway ? std::optional(Problem::otherOwner) : std::nullopt},
      // TMPDIR comes first: the runtime folder is not looked at.
      {{{"XDG_RUNTIME_DIR", own}, {"TMPDIR", "/var/tmp"}}, "/var/tmp/" + kSharedName, std::nullopt},
  };
  const std::string tooLong = supportForSocketPathOf(104);
  for (const auto& c : cases) {
    const MCPPaths::Location location = MCPPaths::socketLocation(c.environment, tooLong);
    EXPECT_EQ(location.path, c.expected) << c.expected;
    EXPECT_EQ(location.rule, Rule::fallback);
    EXPECT_EQ(location.defaultPath, tooLong + "/mcp.sock");
    EXPECT_EQ(location.runtimeFolderProblem, c.problem) << c.expected;
  }
}

TEST(MCPPathsTests, PathsFromTheEnvironmentAlone) {
  EXPECT_EQ(MCPPaths::socketPath({{"HOME", "/home/u"}}), "/home/u/.local/share/Quill/mcp.sock");
  EXPECT_EQ(MCPPaths::statusFilePath({{"HOME", "/home/u"}}),
            "/home/u/.local/share/Quill/mcp-status.json");
  // A home deep enough to push the default socket path past the limit.
  const std::string deepHome = "/" + std::string(100, 'h');
  EXPECT_EQ(MCPPaths::socketPath({{"HOME", deepHome}, {"TMPDIR", "/var/tmp/"}}),
            "/var/tmp/" + kSharedName);
  EXPECT_EQ(MCPPaths::statusFilePath({{"HOME", deepHome}, {"TMPDIR", "/var/tmp/"}}),
            deepHome + "/.local/share/Quill/mcp-status.json");
}

#endif

}  // namespace
}  // namespace quill
