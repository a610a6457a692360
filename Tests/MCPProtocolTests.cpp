#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "MCPProtocol.h"

namespace {

using namespace quill;

TEST(MCPProtocolTests, NegotiatesOnlyExactlyListedVersions) {
  const struct {
    std::optional<std::string_view> requested;
    std::string_view agreed;
  } cases[] = {
      {std::nullopt, "2025-06-18"},
      {"2025-06-18", "2025-06-18"},
      {"2025-03-26", "2025-03-26"},
      {"2024-11-05", "2024-11-05"},
      {"2025-11-25", "2025-06-18"},  // newer than any listed
      {"2024-10-07", "2025-06-18"},  // older than any listed
      {"", "2025-06-18"},
      {" 2025-03-26", "2025-06-18"},
      {std::string_view("2025-03-26\0", 11), "2025-06-18"},
      {"latest", "2025-06-18"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MCPProtocol::negotiateVersion(c.requested), c.agreed)
        << (c.requested ? std::string(*c.requested) : "<absent>");
  }
}

TEST(MCPProtocolTests, InitializeResultIsTheExactObject) {
  const std::string instructions =
      "Quill holds the user's project memory on this Mac: cited facts, uncertain items, and hard "
      "do-NOT rules, kept strictly separate per project. Before doing any work on one of the "
      "user's projects, call get_context_packet with the project's name (and what you're about "
      "to do) so you start from their ground truth instead of guessing.";
  EXPECT_EQ(MCPProtocol::instructions, instructions);
  // The server version is placed unchanged; writing escapes it.
  EXPECT_EQ(MCPProtocol::initializeResult("2024-11-05", "2.0 \"beta\"\n").encodedData(),
            R"({"capabilities":{"tools":{"listChanged":false}},"instructions":")" + instructions +
                R"(","protocolVersion":"2024-11-05","serverInfo":{"name":"quill","title":"Quill",)"
                R"("version":"2.0 \"beta\"\n"}})");
  EXPECT_EQ(MCPProtocol::initializeResult(std::nullopt, "1.0")["protocolVersion"],
            JSONValue("2025-06-18"));
}

}  // namespace
