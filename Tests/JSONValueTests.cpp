#include <gtest/gtest.h>

#include "JSONValue.h"

using quill::JSONValue;

namespace {

JSONValue read(std::string_view text) {
  auto result = JSONValue::decode(text);
  EXPECT_TRUE(std::holds_alternative<JSONValue>(result)) << text;
  auto* value = std::get_if<JSONValue>(&result);
  return value ? *value : JSONValue();
}

std::string write(const JSONValue& value) { return value.encodedData().value_or("<failed>"); }

TEST(JSONValueTests, RoundTripsCanonicalTexts) {
  for (std::string_view text :
       {"1", "0.5", "null", "true", "\"x\"", "[]", "{}", R"({"a":2,"b":1})", R"("a/b")"}) {
    EXPECT_EQ(write(read(text)), text);
  }
}

}  // namespace
