// Where the shim looks for the application's socket and status file.
#include <gtest/gtest.h>
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

struct SocketPathCase {
  std::string name;
  Environment environment;
  std::string support;
  std::string expected;
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
     "/tmp/x.sock"},
    {"override of any length, kept byte for byte",
     {{"QUILL_MCP_SOCKET", "run/.." + longOverride + "/"}},
     fits,
     "run/.." + longOverride + "/"},
    {"empty override is unset",
     {{"QUILL_MCP_SOCKET", ""}},
     "/home/u/Quill",
     "/home/u/Quill/mcp.sock"},
    {"default",
     {},
     "/Users/u/Library/Application Support/Quill",
     "/Users/u/Library/Application Support/Quill/mcp.sock"},
    {"support with trailing slash", {}, "/data/Quill/", "/data/Quill/mcp.sock"},
    {"default of 103 bytes", {{"TMPDIR", "/var/tmp"}}, fits, fits + "/mcp.sock"},
    {"103 bytes counted in UTF-8", {{"TMPDIR", "/var/tmp"}}, accented, accented + "/mcp.sock"},
    {"104 bytes in UTF-8", {{"TMPDIR", "/var/tmp"}}, accentedTooLong, "/var/tmp/quill-mcp.sock"},
    {"default of 104 bytes", {{"TMPDIR", "/var/tmp"}}, tooLong, "/var/tmp/quill-mcp.sock"},
    {"TMPDIR with trailing slash", {{"TMPDIR", "/var/tmp/"}}, tooLong, "/var/tmp/quill-mcp.sock"},
    {"fallback without a length test",
     {{"TMPDIR", longOverride}},
     tooLong,
     longOverride + "/quill-mcp.sock"},
#if !defined(__APPLE__)
    {"no TMPDIR", {{"HOME", "/home/u"}}, tooLong, "/tmp/quill-mcp.sock"},
    // The user's own runtime folder comes before the shared /tmp; TMPDIR before both.
    {"no TMPDIR, a runtime folder",
     {{"XDG_RUNTIME_DIR", "/run/user/501"}},
     tooLong,
     "/run/user/501/quill-mcp.sock"},
    {"a relative runtime folder is not used",
     {{"XDG_RUNTIME_DIR", "run/user/501"}},
     tooLong,
     "/tmp/quill-mcp.sock"},
    {"TMPDIR before the runtime folder",
     {{"XDG_RUNTIME_DIR", "/run/user/501"}, {"TMPDIR", "/var/tmp"}},
     tooLong,
     "/var/tmp/quill-mcp.sock"},
#endif
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MCPPaths::socketPath(c.environment, c.support), c.expected) << c.name;
  }
}

TEST(MCPPathsTests, FallbackWithoutTMPDIRIsAnAbsoluteTemporaryPath) {
  const std::string path = MCPPaths::socketPath({}, supportForSocketPathOf(200));
  EXPECT_TRUE(path.starts_with("/")) << path;
  EXPECT_TRUE(path.ends_with("/quill-mcp.sock")) << path;
  EXPECT_EQ(path.find("//"), std::string::npos) << path;
}

TEST(MCPPathsTests, EmptyOrRelativeTMPDIRIsResolvedAgainstTheWorkingDirectory) {
  const std::string tooLong = supportForSocketPathOf(104);
  inDirectory("/", [&] {
    EXPECT_EQ(MCPPaths::socketPath({{"TMPDIR", ""}}, tooLong), "/quill-mcp.sock");
    EXPECT_EQ(MCPPaths::socketPath({{"TMPDIR", "run"}}, tooLong), "/run/quill-mcp.sock");
  });
  testing::TemporaryDirectory directory;
  char resolved[PATH_MAX];
  ASSERT_NE(::realpath(directory.path().c_str(), resolved), nullptr);
  const std::string here = resolved;
  inDirectory(here, [&] {
    EXPECT_EQ(MCPPaths::socketPath({{"TMPDIR", ""}}, tooLong), here + "/quill-mcp.sock");
    EXPECT_EQ(MCPPaths::socketPath({{"TMPDIR", "a/b/"}}, tooLong), here + "/a/b/quill-mcp.sock");
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
    EXPECT_EQ(MCPPaths::statusFilePath(c.environment, c.support), c.expected) << c.support;
  }
  EXPECT_EQ(MCPPaths::socketPath({{"QUILL_MCP_STATUS", "/tmp/s.json"}}, "/home/u/Quill"),
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

TEST(MCPPathsTests, PathsFromTheEnvironmentAlone) {
  EXPECT_EQ(MCPPaths::socketPath({{"HOME", "/home/u"}}), "/home/u/.local/share/Quill/mcp.sock");
  EXPECT_EQ(MCPPaths::statusFilePath({{"HOME", "/home/u"}}),
            "/home/u/.local/share/Quill/mcp-status.json");
  // A home deep enough to push the default socket path past the limit.
  const std::string deepHome = "/" + std::string(100, 'h');
  EXPECT_EQ(MCPPaths::socketPath({{"HOME", deepHome}, {"TMPDIR", "/var/tmp/"}}),
            "/var/tmp/quill-mcp.sock");
  EXPECT_EQ(MCPPaths::statusFilePath({{"HOME", deepHome}, {"TMPDIR", "/var/tmp/"}}),
            deepHome + "/.local/share/Quill/mcp-status.json");
}

#endif

}  // namespace
}  // namespace quill
