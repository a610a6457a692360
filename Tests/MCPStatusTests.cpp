// The status record the desktop application keeps, and the reading of its file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>

#include "MCPStatus.h"
#include "Subprocess.h"

namespace quill {

void PrintTo(const MCPStatus& status, std::ostream* out) {
  *out << valueOr(status.jsonValue().encodedData(), "<unencodable status>");
}

namespace {

constexpr std::string_view kStatusText =
    R"({"enabled":true,"signedIn":false,"listening":true,"version":"2.1 [40]","updatedAt":"2025-03-01T10:00:00Z"})";
const MCPStatus kStatus{true, false, true, "2.1 [40]", "2025-03-01T10:00:00Z"};

using Reason = MCPStatus::Reason;
using Read = Result<MCPStatus, Reason>;

// What a read gave, as one comparable text: the record's JSON, or the reason and errno.
std::string shown(const Read& read) {
  if (const auto* status = std::get_if<MCPStatus>(&read)) {
    return valueOr(status->jsonValue().encodedData(), "<unencodable status>");
  }
  return "reason " + std::to_string(static_cast<int>(failed(read)->reason)) + ", errno " +
         std::to_string(failed(read)->error);
}

TEST(MCPStatusTests, TextsThatDecode) {
  const struct {
    std::string_view text;
    MCPStatus expected;
  } cases[] = {
      {kStatusText, kStatus},
      {R"({"updatedAt":"","version":"","listening":false,"signedIn":true,"enabled":false})",
       {false, true, false, "", ""}},
      // Members beyond the five are ignored.
      {R"({"enabled":true,"signedIn":true,"listening":true,"version":"1","updatedAt":"t","pid":42,"extra":{"enabled":false}})",
       {true, true, true, "1", "t"}},
      {" {\"enabled\":true,\"signedIn\":true,\"listening\":false,\"version\":\"v\",\"updatedAt\":"
       "\"u\"}\n",
       {true, true, false, "v", "u"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(shown(MCPStatus::decode(c.text)), shown(c.expected)) << c.text;
  }
}

TEST(MCPStatusTests, TextsThatDoNotDecode) {
  const std::string_view cases[] = {
      "",
      "not json",
      "null",
      "[]",
      // One member missing.
      R"({"signedIn":true,"listening":true,"version":"1","updatedAt":"t"})",
      R"({"enabled":true,"listening":true,"version":"1","updatedAt":"t"})",
      R"({"enabled":true,"signedIn":true,"version":"1","updatedAt":"t"})",
      R"({"enabled":true,"signedIn":true,"listening":true,"updatedAt":"t"})",
      R"({"enabled":true,"signedIn":true,"listening":true,"version":"1"})",
      // Null or the wrong kind.
      R"({"enabled":1,"signedIn":true,"listening":true,"version":"1","updatedAt":"t"})",
      R"({"enabled":true,"signedIn":"true","listening":true,"version":"1","updatedAt":"t"})",
      R"({"enabled":true,"signedIn":true,"listening":0,"version":"1","updatedAt":"t"})",
      R"({"enabled":true,"signedIn":true,"listening":true,"version":1,"updatedAt":"t"})",
      R"({"enabled":true,"signedIn":true,"listening":true,"version":"1","updatedAt":1740000000})",
      // Keys are matched exactly.
      R"({"Enabled":true,"signedIn":true,"listening":true,"version":"1","updatedAt":"t"})",
      // Trailing text after the object.
      R"({"enabled":true,"signedIn":true,"listening":true,"version":"1","updatedAt":"t"},)",
  };
  for (std::string_view text : cases) {
    EXPECT_TRUE(failed(MCPStatus::decode(text))) << text;
  }
}

TEST(MCPStatusTests, EncodesWithSortedKeys) {
  EXPECT_EQ(
      shown(kStatus),
      R"({"enabled":true,"listening":true,"signedIn":false,"updatedAt":"2025-03-01T10:00:00Z","version":"2.1 [40]"})");
  EXPECT_EQ(
      shown(MCPStatus{false, true, false, "a/b", "\"q\""}),
      R"({"enabled":false,"listening":false,"signedIn":true,"updatedAt":"\"q\"","version":"a/b"})");
}

// ---- Reading the file -----------------------------------------------------------------------

// The status text padded with trailing white space to exactly `bytes` bytes.
std::string paddedStatus(std::size_t bytes) {
  std::string text(kStatusText);
  text.resize(bytes, ' ');
  return text;
}

TEST(MCPStatusTests, ReadsARegularFileOfAtMost64KiBAndSaysWhyNot) {
  testing::TemporaryDirectory directory;
  const Failure<Reason> notJSON{Reason::notJSON}, wrongMembers{Reason::wrongMembers};
  const struct {
    std::string contents;
    Read expected;
  } cases[] = {
      {std::string(kStatusText), kStatus},
      {std::string(kStatusText) + "\n", kStatus},
      {paddedStatus(65'536), kStatus},
      {paddedStatus(65'537), Failure<Reason>{Reason::tooLarge}},
      {"", notJSON},
      {"{\"enabled\":true", notJSON},
      {R"({"enabled":true})", wrongMembers},
  };
  for (const auto& c : cases) {
    const std::string path = directory.file("mcp-status.json");
    testing::writeFile(path, c.contents);
    EXPECT_EQ(shown(MCPStatus::readFile(path)), shown(c.expected)) << c.contents.size() << " bytes";
  }

  // A symbolic link to a status file is followed.
  ASSERT_EQ(::symlink(directory.file("mcp-status.json").c_str(), directory.file("link").c_str()),
            0);
  testing::writeFile(directory.file("mcp-status.json"), kStatusText);
  EXPECT_EQ(shown(MCPStatus::readFile(directory.file("link"))), shown(kStatus));
}

TEST(MCPStatusTests, ThingsThatAreNotStatusFiles) {
  testing::TemporaryDirectory directory;
  testing::writeFile(directory.file("file"), kStatusText);
  const Failure<Reason> notRegular{Reason::notRegularFile};
  const struct {
    std::string path;
    Failure<Reason> expected;
  } cases[] = {
      {directory.file("missing.json"), {Reason::absent, ENOENT}},
      {"", {Reason::absent, ENOENT}},
      {directory.file("file") + "/below", {Reason::absent, ENOTDIR}},
      {directory.path(), notRegular},
      {"/dev/zero", notRegular},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(shown(MCPStatus::readFile(c.path)), shown(c.expected)) << c.path;
  }
  if (::geteuid() != 0) {  // root reads anything
    ASSERT_EQ(::chmod(directory.file("file").c_str(), 0), 0);
    EXPECT_EQ(shown(MCPStatus::readFile(directory.file("file"))),
              shown(Failure<Reason>{Reason::unreadable, EACCES}));
  }
}

TEST(MCPStatusTests, AFIFOIsNoStatusFileAndIsNotWaitedFor) {
  testing::TemporaryDirectory directory;
  const std::string fifo = directory.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  auto reading = std::async(std::launch::async, [&] { return MCPStatus::readFile(fifo); });
  if (reading.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    // Release the blocked reader so the test fails instead of hanging.
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) ::close(writer);
    FAIL() << "reading a FIFO blocked";
  }
  const std::string notRegular = shown(Failure<Reason>{Reason::notRegularFile});
  EXPECT_EQ(shown(reading.get()), notRegular);

  // Not even when a writer holds it open with a valid status in it.
  const int both = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(both, 0);
  ASSERT_EQ(::write(both, kStatusText.data(), kStatusText.size()),
            static_cast<ssize_t>(kStatusText.size()));
  EXPECT_EQ(shown(MCPStatus::readFile(fifo)), notRegular);
  ::close(both);
}

// The record goes to a new file that takes the old one's place: never into the old file, never
// through a link, never half written, and nothing is left beside it.
TEST(MCPStatusTests, WritingTheFileReplacesItWholeAndNeverFollowsALink) {
  testing::TemporaryDirectory directory;
  const std::string victim = directory.file("victim");
  testing::writeFile(victim, "keep");
  const struct {
    std::string name;  // in the folder
    std::function<void(const std::string&)> before;
  } cases[] = {
      {"new/folders/status.json", [](const std::string&) {}},
      {"old.json", [](const std::string& path) { testing::writeFile(path, "old"); }},
      {"link.json",
       [&](const std::string& path) { ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = directory.file(c.name);
    c.before(path);
    const FileDescriptor old(::open(path.c_str(), O_RDONLY | O_NOFOLLOW));
    EXPECT_FALSE(failed(kStatus.writeFile(path)));
    EXPECT_EQ(testing::readFile(path), shown(kStatus) + "\n");
    char bytes[8];
    EXPECT_TRUE(!old.valid() || ::read(old.get(), bytes, sizeof bytes) == 3) << "written in place";
  }
  EXPECT_EQ(testing::readFile(victim), "keep");
  const std::filesystem::directory_iterator files(directory.path());
  EXPECT_EQ(std::distance(files, {}), 4) << "a temporary file is left";

  // Where no file can take the place, the failure says at which step.
  EXPECT_EQ(std::get<Failure<FileWriteReason>>(kStatus.writeFile(directory.path())),
            (Failure<FileWriteReason>{FileWriteReason::rename, EISDIR}));
  EXPECT_EQ(std::get<Failure<FileWriteReason>>(kStatus.writeFile(victim + "/status.json")),
            (Failure<FileWriteReason>{FileWriteReason::create, ENOTDIR}));
}

}  // namespace
}  // namespace quill
