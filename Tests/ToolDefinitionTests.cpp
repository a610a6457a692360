#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ToolDefinition.h"

namespace {

using namespace quill;
using Names = std::vector<std::string>;

constexpr std::string_view kDescription =
    "Returns Quill's cited briefing for one of the user's projects: known facts with sources and "
    "match %, uncertain items to verify, hard do-NOT rules, what was deliberately withheld, and "
    "what changed since this client last asked. Call before doing work on a user's project.";

// The schema and annotations as the agent sees them, whatever the project names.
constexpr std::string_view kSchema =
    R"({"properties":{"project":{"description":"Project name as shown in Quill (fuzzy-matched). )"
    R"(Omit if the user has only one project.","type":"string"},"task":{"description":"What )"
    "you're about to do \xE2\x80\x94 selects the most relevant facts. Optional.\","
    R"("type":"string"}},"required":[],"type":"object"})";
constexpr std::string_view kAnnotations = R"({"openWorldHint":false,"readOnlyHint":true})";

JSONValue read(std::string_view text) {
  return std::get<JSONValue>(JSONValue::decode(text));
}

TEST(ToolDefinitionTests, BuildsGetContextPacket) {
  const ToolDefinition tool = ToolDefinition::getContextPacket({});
  EXPECT_EQ(tool.name, "get_context_packet");
  EXPECT_EQ(tool.title, "Get Quill context packet");
  EXPECT_EQ(tool.description, kDescription);
  EXPECT_EQ(tool.description.size(), 269u);
  EXPECT_EQ(tool.inputSchema.encodedData(), kSchema);
  EXPECT_EQ(tool.annotations.encodedData(), kAnnotations);
  const auto task = (*(*(*tool.inputSchema["properties"])["task"])["description"]).stringValue();
  ASSERT_TRUE(task);
  EXPECT_EQ(task->size(), 70u);
  EXPECT_EQ(ToolDefinition::getContextPacketName, "get_context_packet");
}

TEST(ToolDefinitionTests, FoldsProjectNamesIntoTheDescriptionUnchanged) {
  const std::string base(kDescription);
  struct Case {
    Names names;
    std::string description;
  };
  const Case cases[] = {
      {{}, base},
      {{"Alpha", "Beta Two"}, base + " Current projects: Alpha, Beta Two."},
      {{"Solo"}, base + " Current projects: Solo."},
      {{"Zeta", "alpha", "Zeta"}, base + " Current projects: Zeta, alpha, Zeta."},
      {{""}, base + " Current projects: ."},
      {{"", ""}, base + " Current projects: , ."},
      {{" padded ", "a, b", "say \"hi\"", "two\nlines"},
       base + " Current projects:  padded , a, b, say \"hi\", two\nlines."},
  };
  for (const auto& c : cases) {
    const ToolDefinition tool = ToolDefinition::getContextPacket(c.names);
    EXPECT_EQ(tool.description, c.description);
    EXPECT_EQ(tool.inputSchema.encodedData(), kSchema);
    EXPECT_EQ(tool.annotations.encodedData(), kAnnotations);
    const JSONValue list = ToolDefinition::listResult(c.names);
    ASSERT_TRUE(list["tools"] && list["tools"]->arrayValue());
    EXPECT_EQ(list["tools"]->arrayValue()->size(), 1u);
    EXPECT_TRUE((*list["tools"])[std::int64_t{0}] == tool.jsonValue());
  }
}

TEST(ToolDefinitionTests, ListResultIsTheExactObject) {
  const std::string expected =
      R"({"tools":[{"annotations":)" + std::string(kAnnotations) + R"(,"description":")" +
      std::string(kDescription) + R"( Current projects: Alpha, Beta \"Two\"\n.","inputSchema":)" +
      std::string(kSchema) +
      R"(,"name":"get_context_packet","title":"Get Quill context packet"}]})";
  EXPECT_EQ(ToolDefinition::listResult({"Alpha", "Beta \"Two\"\n"}).encodedData(), expected);
  // The same object, member by member.
  EXPECT_TRUE(ToolDefinition::listResult({"Alpha", "Beta \"Two\"\n"}) == read(expected));
}

TEST(ToolDefinitionTests, ComparesAllFields) {
  const ToolDefinition tool = ToolDefinition::getContextPacket({"A"});
  EXPECT_TRUE(tool == ToolDefinition::getContextPacket({"A"}));
  EXPECT_FALSE(tool == ToolDefinition::getContextPacket({"B"}));
  ToolDefinition other = tool;
  other.annotations = read(R"({"openWorldHint":false,"readOnlyHint":false})");
  EXPECT_FALSE(tool == other);
  other = tool;
  other.inputSchema = read(R"({"type":"object"})");
  EXPECT_FALSE(tool == other);
}

TEST(ToolDefinitionTests, CallResultIsTheExactObject) {
  struct Case {
    ToolCallResult result;
    std::string_view text;
  };
  const Case cases[] = {
      {{"", false}, R"({"content":[{"text":"","type":"text"}],"isError":false})"},
      {{"briefing", false}, R"({"content":[{"text":"briefing","type":"text"}],"isError":false})"},
      {{"Quill isn't running \xE2\x80\x94 see /tmp\n", true},
       "{\"content\":[{\"text\":\"Quill isn't running \xE2\x80\x94 see "
       "/tmp\\n\",\"type\":\"text\"}],"
       "\"isError\":true}"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.result.jsonValue().encodedData(), c.text);
  EXPECT_TRUE((ToolCallResult{"a", true}) == (ToolCallResult{"a", true}));
  EXPECT_FALSE((ToolCallResult{"a", true}) == (ToolCallResult{"a", false}));
  EXPECT_FALSE((ToolCallResult{"a", true}) == (ToolCallResult{"b", true}));
}

}  // namespace
