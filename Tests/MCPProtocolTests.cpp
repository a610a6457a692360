#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "MCPProtocol.h"

namespace {

using namespace quill;

constexpr std::string_view kInstructions =
    "Quill holds the user's project memory on this Mac: cited facts, uncertain items, and hard "
    "do-NOT rules, kept strictly separate per project. Before doing any work on one of the user's "
    "projects, call get_context_packet with the project's name (and what you're about to do) so "
    "you start from their ground truth instead of guessing.";

TEST(MCPProtocolTests, SupportsThreeVersionsNewestFirst) {
  ASSERT_EQ(MCPProtocol::supportedVersions.size(), 3u);
  EXPECT_EQ(MCPProtocol::supportedVersions[0], "2025-06-18");
  EXPECT_EQ(MCPProtocol::supportedVersions[1], "2025-03-26");
  EXPECT_EQ(MCPProtocol::supportedVersions[2], "2024-11-05");
}

TEST(MCPProtocolTests, NegotiatesOnlyExactlyListedVersions) {
  struct Case {
    std::optional<std::string_view> requested;
    std::string_view agreed;
  };
  const Case cases[] = {
      {std::nullopt, "2025-06-18"},
      {"2025-06-18", "2025-06-18"},
      {"2025-03-26", "2025-03-26"},
      {"2024-11-05", "2024-11-05"},
      {"2025-11-25", "2025-06-18"},  // newer than any listed
      {"2024-10-07", "2025-06-18"},  // older than any listed
      {"", "2025-06-18"},
      {"2025-06-18 ", "2025-06-18"},
      {" 2025-03-26", "2025-06-18"},
      {"2024-11-05\n", "2025-06-18"},
      {std::string_view("2025-03-26\0", 11), "2025-06-18"},
      {"2025-03", "2025-06-18"},
      {"latest", "2025-06-18"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MCPProtocol::negotiateVersion(c.requested), c.agreed)
        << (c.requested ? std::string(*c.requested) : "<absent>");
    const JSONValue result = MCPProtocol::initializeResult(c.requested, "1.0");
    EXPECT_EQ(result["protocolVersion"], JSONValue(c.agreed));
  }
}

TEST(MCPProtocolTests, InstructionsAreTheExactText) {
  EXPECT_EQ(MCPProtocol::instructions, kInstructions);
  EXPECT_EQ(MCPProtocol::instructions.size(), 328u);
}

TEST(MCPProtocolTests, InitializeResultIsTheExactObject) {
  const std::string expected =
      R"({"capabilities":{"tools":{"listChanged":false}},"instructions":")" +
      std::string(kInstructions) +
      R"(","protocolVersion":"2025-06-18","serverInfo":{"name":"quill","title":"Quill","version":"1.0"}})";
  EXPECT_EQ(MCPProtocol::initializeResult(std::nullopt, "1.0").encodedData(), expected);

  const std::string older =
      R"({"capabilities":{"tools":{"listChanged":false}},"instructions":")" +
      std::string(kInstructions) +
      R"(","protocolVersion":"2024-11-05","serverInfo":{"name":"quill","title":"Quill","version":""}})";
  EXPECT_EQ(MCPProtocol::initializeResult("2024-11-05", "").encodedData(), older);

  // The server version is placed unchanged; writing escapes it.
  const JSONValue odd = MCPProtocol::initializeResult("2025-03-26", "2.0 \"beta\"\n");
  EXPECT_EQ((*odd["serverInfo"]).encodedData(),
            R"({"name":"quill","title":"Quill","version":"2.0 \"beta\"\n"})");
}

TEST(MCPProtocolTests, RepeatedCallsGiveEqualValues) {
  EXPECT_TRUE(MCPProtocol::initializeResult(std::nullopt, "1.0") ==
              MCPProtocol::initializeResult(std::nullopt, "1.0"));
  EXPECT_TRUE(MCPProtocol::initializeResult("2025-11-25", "1.0") ==
              MCPProtocol::initializeResult(std::nullopt, "1.0"));
  EXPECT_FALSE(MCPProtocol::initializeResult("2025-03-26", "1.0") ==
               MCPProtocol::initializeResult(std::nullopt, "1.0"));
}

}  // namespace
