#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ToolDefinition.h"

namespace {

using namespace quill;

constexpr std::string_view kDescription =
    "Returns Quill's cited briefing for one of the user's projects: known facts with sources and "
    "match %, uncertain items to verify, hard do-NOT rules, what was deliberately withheld, and "
    "what changed since this client last asked. Call before doing work on a user's project.";

// The list result with `projects` folded into the description as written (JSON-escaped).
std::string listText(std::string_view projects) {
  return R"({"tools":[{"annotations":{"openWorldHint":false,"readOnlyHint":true},"description":")" +
         std::string(kDescription) + std::string(projects) +
         R"(","inputSchema":{"properties":{"project":{"description":"Project name as shown in )"
         R"(Quill (fuzzy-matched). Omit if the user has only one project.","type":"string"},)"
         "\"task\":{\"description\":\"What you're about to do \xE2\x80\x94 selects the most "
         R"(relevant facts. Optional.","type":"string"}},"required":[],"type":"object"},)"
         R"("name":"get_context_packet","title":"Get Quill context packet"}]})";
}

TEST(ToolDefinitionTests, ListResultFoldsProjectNamesIntoTheDescriptionUnchanged) {
  const struct {
    std::vector<std::string> names;
    std::string_view described;  // as written after the fixed description
  } cases[] = {
      {{}, ""},
      {{"Solo"}, " Current projects: Solo."},
      {{"Zeta", "alpha", "Zeta"}, " Current projects: Zeta, alpha, Zeta."},
      {{"", ""}, " Current projects: , ."},
      {{" padded ", "a, b", "say \"hi\"", "two\nlines"},
       R"( Current projects:  padded , a, b, say \"hi\", two\nlines.)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(valueOr(ToolDefinition::listResult(c.names).encodedData(), "<unwritable>"),
              listText(c.described));
  }
  EXPECT_EQ(ToolDefinition::getContextPacketName, "get_context_packet");
}

TEST(ToolDefinitionTests, CallResultIsTheExactObject) {
  EXPECT_EQ(valueOr(ToolCallResult{"", false}.jsonValue().encodedData(), "<unwritable>"),
            R"({"content":[{"text":"","type":"text"}],"isError":false})");
  EXPECT_EQ(valueOr(ToolCallResult{"Quill isn't running \xE2\x80\x94 see /tmp\n", true}
                        .jsonValue()
                        .encodedData(),
                    "<unwritable>"),
            "{\"content\":[{\"text\":\"Quill isn't running \xE2\x80\x94 see /tmp\\n\","
            "\"type\":\"text\"}],\"isError\":true}");
}

}  // namespace
