#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Subprocess.h"
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
    EXPECT_EQ(ToolDefinition::listResult(c.names).encodedData(), listText(c.described));
  }
  EXPECT_EQ(ToolDefinition::getContextPacketName, "get_context_packet");
}

TEST(ToolDefinitionTests, CallResultIsTheExactObject) {
  EXPECT_EQ((ToolCallResult{"", false}.jsonValue().encodedData()),
            R"({"content":[{"text":"","type":"text"}],"isError":false})");
  EXPECT_EQ((ToolCallResult{"Quill isn't running \xE2\x80\x94 see /tmp\n", true}
                 .jsonValue()
                 .encodedData()),
            "{\"content\":[{\"text\":\"Quill isn't running \xE2\x80\x94 see /tmp\\n\","
            "\"type\":\"text\"}],\"isError\":true}");
}

// Each result of the shared table, decided as the official client SDKs decide it: the end-to-end
// test feeds the same table through both of them.
TEST(ToolDefinitionTests, AcceptsWhatMCPClientsAccept) {
  const auto text =
      quill::testing::readFile(std::string(QUILL_SOURCE_DIR) + "/Tests/tool-result-shapes.json");
  ASSERT_TRUE(text);
  const auto table = std::get<JSONValue>(JSONValue::decode(*text));
  using Accepts = bool (*)(const JSONValue&);
  for (const auto& [kind, accepts] :
       {std::pair<const char*, Accepts>{"calls", isAcceptedToolCallResult},
        std::pair<const char*, Accepts>{"lists", isAcceptedToolListResult}}) {
    for (const JSONValue& c : *table.member(kind)->arrayValue()) {
      const JSONValue& result = *c.member("result");
      EXPECT_EQ(accepts(result), *c.member("accepted")->boolValue())
          << kind << ": " << result.encodedData().value_or("");
    }
  }
  // What the shim builds itself is accepted, whatever it holds.
  EXPECT_TRUE(isAcceptedToolCallResult(ToolCallResult{"", true}.jsonValue()));
  EXPECT_TRUE(isAcceptedToolListResult(ToolDefinition::listResult({"a", "b"})));
}

}  // namespace
