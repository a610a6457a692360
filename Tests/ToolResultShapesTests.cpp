#include <gtest/gtest.h>

#include <string>

#include "Subprocess.h"
#include "ToolDefinition.h"
#include "ToolResultShapes.h"

using namespace quill;

namespace {

// Each result of the shared table, decided as the official client SDKs decide it: the end-to-end
// test feeds the same table through both of them.
TEST(ToolResultShapesTests, AcceptsWhatMCPClientsAccept) {
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
          << kind << ": " << valueOr(result.encodedData(), "");
    }
  }
  // What the shim builds itself is accepted, whatever it holds.
  EXPECT_TRUE(isAcceptedToolCallResult(ToolCallResult{"", true}.jsonValue()));
  EXPECT_TRUE(isAcceptedToolListResult(ToolDefinition::listResult({"a", "b"})));
}

}  // namespace
