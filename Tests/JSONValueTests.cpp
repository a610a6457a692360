#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "JSONValue.h"

using quill::JSONValue;

namespace {

JSONValue read(std::string_view text) {
  auto result = JSONValue::decode(text);
  EXPECT_TRUE(std::holds_alternative<JSONValue>(result)) << text;
  auto* value = std::get_if<JSONValue>(&result);
  return value ? *value : JSONValue();
}

bool reads(std::string_view text) {
  return std::holds_alternative<JSONValue>(JSONValue::decode(text));
}

std::string write(const JSONValue& value) {
  return value.encodedData().value_or("<failed>");
}

std::string repeat(std::string_view piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

// `levels` arrays nested in each other around `inner`.
std::string nestedArrays(std::size_t levels, std::string_view inner) {
  return repeat("[", levels) + std::string(inner) + repeat("]", levels);
}

// `levels` objects nested in each other under the key "k", the innermost holding `inner`.
std::string nestedObjects(std::size_t levels, std::string_view inner) {
  return repeat("{\"k\":", levels - 1) + "{\"k\":" + std::string(inner) + "}" +
         repeat("}", levels - 1);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

TEST(JSONValueTests, RoundTripsCanonicalTexts) {
  for (std::string_view text : {"1", "0.5", "null", "true", "false", "\"x\"", "[]", "{}",
                                R"({"a":2,"b":1})", R"("a/b")", R"([1,"two",[3],{"four":null}])"}) {
    EXPECT_EQ(write(read(text)), text);
  }
}

// ---------------------------------------------------------------------------------------------
// Reading

TEST(JSONValueTests, ReadsEveryNumberAsADouble) {
  struct Case {
    std::string_view text;
    double value;
    std::string_view written;
  };
  const Case cases[] = {
      {"1", 1.0, "1"},
      {"1.0", 1.0, "1"},
      {"1e2", 100.0, "100"},
      {"1E2", 100.0, "100"},
      {"0.5", 0.5, "0.5"},
      {"-32700", -32700.0, "-32700"},
      {"9007199254740991", 9007199254740991.0, "9007199254740991"},
      // Beyond 2^53 and beyond 64 bits: the nearest double.
      {"9007199254740993", 9007199254740992.0, "9007199254740992"},
      {"123456789012345678901234567890", 1.2345678901234568e29, "1.2345678901234568e+29"},
  };
  for (const auto& c : cases) {
    const JSONValue value = read(c.text);
    ASSERT_EQ(value.kind(), JSONValue::Kind::number) << c.text;
    EXPECT_EQ(*value.numberValue(), c.value) << c.text;
    EXPECT_EQ(write(value), c.written) << c.text;
  }
}

TEST(JSONValueTests, ReadsMinusZeroAsNegativeZeroAndWritesZero) {
  const JSONValue value = read("-0");
  ASSERT_TRUE(value.numberValue());
  EXPECT_EQ(*value.numberValue(), 0.0);
  EXPECT_TRUE(std::signbit(*value.numberValue()));
  EXPECT_EQ(write(value), "0");
  EXPECT_EQ(write(JSONValue(-0.0)), "0");
}

TEST(JSONValueTests, KeepsKindsApart) {
  EXPECT_EQ(read("true").boolValue(), true);
  EXPECT_EQ(read("false").boolValue(), false);
  EXPECT_EQ(read("\"true\"").stringValue(), "true");
  EXPECT_EQ(read("\"1\"").stringValue(), "1");
  EXPECT_FALSE(read("\"1\"").numberValue());
  EXPECT_FALSE(read("1").boolValue());
  EXPECT_FALSE(read("0").boolValue());
  EXPECT_FALSE(read("true").numberValue());
  EXPECT_TRUE(read("null").isNull());
  EXPECT_FALSE(read("null").stringValue());
  EXPECT_FALSE(read("\"null\"").isNull());
  EXPECT_FALSE(read("[]").objectValue());
  EXPECT_FALSE(read("{}").arrayValue());
}

TEST(JSONValueTests, RejectsTextsThatAreNotExactlyOneJSONValue) {
  const std::string_view texts[] = {
      "",
      "   \t\r\n ",
      "1 x",
      "true false",
      "{} {}",
      "[1] ]",
      "{\"a\":1}}",
      "[1,2",
      "{\"a\":1",
      "[1,]",
      "{\"a\"}",
      "{a:1}",
      "nul",
      "tru",
      "x",
      "'a'",
      "01",
      "+1",
      ".5",
      "1.",
      "NaN",
      "Infinity",
      "1e400",
      "\"abc",
      "\"\\x\"",
      "\"a\tb\"",  // raw control character inside a string
      std::string_view("\"a\0b\"", 5),
      // Invalid UTF-8, in a string, in a key and outside any string.
      "\"\xff\"",
      "{\"\xc3\":1}",
      "\"\xc0\xaf\"",
      "\"\xed\xa0\x80\"",  // a surrogate encoded directly
      "[1]\xff",
      // Unpaired surrogate escapes.
      "\"\\ud800\"",
      "\"\\udc00\"",
      "\"a\\ud800b\"",
      "\"\\ud800\\u0041\"",
      "\"\\ud800\\ud800\"",
      "\"\\udc00\\ud800\"",
      "{\"\\ud800\":1}",
  };
  for (const auto text : texts) {
    EXPECT_FALSE(reads(text)) << "accepted: " << text;
  }
}

TEST(JSONValueTests, ReadsASurrogatePairAsOneFourByteCharacter) {
  EXPECT_EQ(read("\"\\ud83d\\ude00\"").stringValue(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(read("\"\\u00e9\\u2014\"").stringValue(), "\xC3\xA9\xE2\x80\x94");
  EXPECT_EQ(read("{\"\\ud83d\\ude00\":1}")["\xF0\x9F\x98\x80"], JSONValue(1));
}

TEST(JSONValueTests, ReadsNestingUpToTheLimitAndFailsBeyondIt) {
  const std::size_t limit = JSONValue::maxReadDepth;
  for (std::string_view inner : {"", "1", "\"s\"", "null", "{}"}) {
    // "{}" inside adds a level of its own.
    const std::size_t levels = inner == "{}" ? limit - 1 : limit;
    const std::string text = nestedArrays(levels, inner);
    ASSERT_TRUE(reads(text)) << "inner " << inner;
    EXPECT_EQ(write(read(text)), text);
    EXPECT_FALSE(reads(nestedArrays(levels + 1, inner))) << "inner " << inner;
  }
  EXPECT_TRUE(reads(nestedObjects(limit, "7")));
  EXPECT_TRUE(reads(nestedObjects(limit - 1, "[]")));
  EXPECT_FALSE(reads(nestedObjects(limit + 1, "7")));
  EXPECT_FALSE(reads(nestedObjects(limit, "[]")));
}

TEST(JSONValueTests, PathologicalNestingIsAnOrdinaryReadFailure) {
  EXPECT_FALSE(reads(std::string(100000, '[')));
  EXPECT_FALSE(reads(nestedArrays(100000, "")));
  EXPECT_FALSE(reads(nestedObjects(2000, "1")));
  EXPECT_FALSE(reads(repeat("{\"k\":", 100000)));
  EXPECT_FALSE(reads(repeat("[{\"k\":", 1000) + "1" + repeat("}]", 1000)));
  // The reader is still usable afterwards.
  EXPECT_EQ(read("[1]"), JSONValue::array({1}));
}

TEST(JSONValueTests, DuplicateKeysInInputDoNotCrash) {
  const JSONValue value = read(R"({"a":1,"a":2,"b":{"c":[],"c":{}}})");
  ASSERT_TRUE(value.objectValue());
  EXPECT_EQ(value.objectValue()->size(), 2u);
  const auto a = value["a"];
  ASSERT_TRUE(a);
  EXPECT_TRUE(*a == JSONValue(1) || *a == JSONValue(2));
  EXPECT_EQ((*value["b"]).objectValue()->size(), 1u);
}

TEST(JSONValueTests, ReadsLargeTexts) {
  // Texts beyond the size for which the reader keeps its buffers take another path.
  std::string text = "[";
  for (int i = 0; i < 300000; ++i) text += (i ? ",\"abcdef\"" : "\"abcdef\"");
  text += "]";
  const JSONValue value = read(text);
  ASSERT_TRUE(value.arrayValue());
  EXPECT_EQ(value.arrayValue()->size(), 300000u);
  EXPECT_EQ(read("{\"small\":true}")["small"], JSONValue(true));
}

// ---------------------------------------------------------------------------------------------
// Depth without stack overflow

TEST(JSONValueTests, HandlesAMillionLevelsOfNestingWithoutRecursion) {
  constexpr std::size_t kLevels = 1000000;
  auto buildArrays = [](double innermost) {
    JSONValue value(innermost);
    for (std::size_t i = 0; i < kLevels; ++i) value = JSONValue::array({value});
    return value;
  };
  auto buildObjects = [](double innermost) {
    JSONValue value(innermost);
    for (std::size_t i = 0; i < kLevels; ++i) value = JSONValue::object({{"k", value}});
    return value;
  };

  {
    const JSONValue arrays = buildArrays(1);
    const JSONValue copy = arrays;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_TRUE(copy == arrays);
    EXPECT_FALSE(buildArrays(2) == arrays);
    const auto text = arrays.encodedData();
    ASSERT_TRUE(text);
    EXPECT_TRUE(*text == nestedArrays(kLevels, "1"));
  }
  {
    const JSONValue objects = buildObjects(1);
    const JSONValue copy = objects;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_TRUE(copy == objects);
    const auto text = objects.encodedData();
    ASSERT_TRUE(text);
    EXPECT_TRUE(*text == nestedObjects(kLevels, "1"));
  }
  {
    // A deep value whose innermost number is not finite fails to write.
    JSONValue value(kNaN);
    for (std::size_t i = 0; i < kLevels; ++i) {
      value = i % 2 ? JSONValue::array({value}) : JSONValue::object({{"k", value}});
    }
    EXPECT_FALSE(value.encodedData());
  }
}

// ---------------------------------------------------------------------------------------------
// Writing

TEST(JSONValueTests, WritesCompactWithMembersSortedAtEveryDepth) {
  const JSONValue value = JSONValue::object({
      {"b", 1},
      {"a", 2},
      {"c", JSONValue::array({JSONValue::object({{"z", nullptr}, {"y", true}}), "s"})},
      {"B", JSONValue::object({{"nested", JSONValue::object({{"2", 2}, {"10", 10}, {"1", 1}})}})},
  });
  EXPECT_EQ(write(value),
            R"({"B":{"nested":{"1":1,"10":10,"2":2}},"a":2,"b":1,"c":[{"y":true,"z":null},"s"]})");
}

TEST(JSONValueTests, WritesScalarsAndEmptyContainers) {
  struct Case {
    JSONValue value;
    std::string_view text;
  };
  const Case cases[] = {
      {JSONValue(), "null"},
      {JSONValue(true), "true"},
      {JSONValue(false), "false"},
      {JSONValue("x"), "\"x\""},
      {JSONValue(""), "\"\""},
      {JSONValue::array({}), "[]"},
      {JSONValue::object({}), "{}"},
      {JSONValue("a/b"), "\"a/b\""},
      {JSONValue("say \"hi\" \\ bye"), R"("say \"hi\" \\ bye")"},
      {JSONValue("line\nbreak"), R"("line\nbreak")"},
      {JSONValue("tab\there"), R"("tab\there")"},
      {JSONValue("cr\r"), R"("cr\r")"},
      {JSONValue(std::string("nul\0byte", 8)), R"("nul\u0000byte")"},
      {JSONValue("\x1f"), R"("\u001f")"},
      {JSONValue("\x7f"), "\"\x7f\""},
      {JSONValue("caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80"),
       "\"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80\""},
  };
  for (const auto& c : cases) EXPECT_EQ(write(c.value), c.text);
}

TEST(JSONValueTests, EscapesEveryControlCharacter) {
  for (int c = 0; c < 0x20; ++c) {
    const std::string text(1, static_cast<char>(c));
    const std::string written = write(JSONValue(text));
    for (char byte : written) {
      EXPECT_GE(static_cast<unsigned char>(byte), 0x20) << "control character " << c;
    }
    EXPECT_EQ(written[1], '\\') << "control character " << c;
    EXPECT_EQ(read(written).stringValue(), text) << "control character " << c;
  }
}

TEST(JSONValueTests, WritesWholeNumbersBelowTwoToThe53AsIntegers) {
  struct Case {
    JSONValue value;
    std::string_view text;
  };
  const Case cases[] = {
      {JSONValue(1.0), "1"},
      {JSONValue(-32700.0), "-32700"},
      {JSONValue(0.0), "0"},
      {JSONValue(1e15), "1000000000000000"},
      {JSONValue(9007199254740991.0), "9007199254740991"},
      {JSONValue(-9007199254740991.0), "-9007199254740991"},
      {JSONValue(std::int64_t{42}), "42"},
      {JSONValue(1.5), "1.5"},
      {JSONValue(-0.25), "-0.25"},
      {JSONValue(0.1), "0.1"},
  };
  for (const auto& c : cases) EXPECT_EQ(write(c.value), c.text);
}

TEST(JSONValueTests, WritesOtherNumbersInAFormThatReadsBackTheSame) {
  const double numbers[] = {
      9007199254740992.0,  // 2^53
      -9007199254740992.0,
      9007199254740994.0,
      1e300,
      -1.7976931348623157e308,
      1.2345678901234568e29,
      0.1 + 0.2,
      5e-324,
      1.0 / 3.0,
      static_cast<double>(std::numeric_limits<std::int64_t>::max()),
  };
  for (double number : numbers) {
    const std::string text = write(JSONValue(number));
    EXPECT_EQ(text.find_first_not_of("0123456789.e+-"), std::string::npos) << text;
    const auto back = read(text).numberValue();
    ASSERT_TRUE(back) << text;
    EXPECT_EQ(*back, number) << text;
  }
}

TEST(JSONValueTests, NonFiniteNumbersAnywhereFailTheWholeWrite) {
  const JSONValue values[] = {
      JSONValue(kNaN),
      JSONValue(kInfinity),
      JSONValue(-kInfinity),
      JSONValue::array({1, "two", kNaN}),
      JSONValue::object(
          {{"a", 1}, {"z", JSONValue::array({JSONValue::object({{"x", kInfinity}})})}}),
      JSONValue::object({{"a", JSONValue::array({-kInfinity})}, {"b", "after"}}),
  };
  for (const auto& value : values) {
    EXPECT_FALSE(value.encodedData());
    EXPECT_FALSE(value.encodedString());
    std::string out = "kept";
    EXPECT_FALSE(value.encodeInto(out));
    EXPECT_EQ(out, "kept");
  }
  std::string out = "[";
  EXPECT_TRUE(JSONValue::array({1}).encodeInto(out));
  EXPECT_EQ(out, "[[1]");
}

TEST(JSONValueTests, WritesInvalidUTF8AsReplacementCharacters) {
  struct Case {
    std::string text;
    std::string_view written;
  };
  const Case cases[] = {
      {"a\xff!", "\"a\xEF\xBF\xBD!\""},
      {"\xC3", "\"\xEF\xBF\xBD\""},                  // truncated at the end
      {"\xC3(", "\"\xEF\xBF\xBD(\""},                // bad continuation
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},  // overlong "/"
      {"\x80\xC3\xA9", "\"\xEF\xBF\xBD\xC3\xA9\""},  // stray continuation, then valid
  };
  for (const auto& c : cases) EXPECT_EQ(write(JSONValue(c.text)), c.written);

  // Whatever the bytes, the output is valid UTF-8 (the reader accepts it) in values and keys.
  const std::string nasty[] = {"\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80",
                               "\xE2\x80",     "\xFE\xFF",         "ok\xF0\x9F\x98"};
  for (const auto& bytes : nasty) {
    const std::string written =
        write(JSONValue::object({{bytes, JSONValue(bytes)}, {"k", JSONValue(bytes + "\n")}}));
    EXPECT_TRUE(reads(written)) << written;
  }
}

// ---------------------------------------------------------------------------------------------
// Equality

TEST(JSONValueTests, EqualityFollowsIEEEAndKinds) {
  const JSONValue nan(kNaN);
  const JSONValue nanArray = JSONValue::array({kNaN});
  const JSONValue nanArrayCopy = nanArray;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_FALSE(nan == nan);
  EXPECT_FALSE(nanArray == nanArrayCopy);
  EXPECT_FALSE(JSONValue::object({{"n", kNaN}}) == JSONValue::object({{"n", kNaN}}));
  EXPECT_TRUE(JSONValue(0.0) == JSONValue(-0.0));
  EXPECT_TRUE(JSONValue(3) == JSONValue(3.0));
  EXPECT_TRUE(JSONValue(std::int64_t{3}) == read("3.0"));

  const JSONValue distinct[] = {JSONValue(),
                                JSONValue(true),
                                JSONValue(false),
                                JSONValue(1),
                                JSONValue(0),
                                JSONValue("1"),
                                JSONValue(""),
                                JSONValue::array({}),
                                JSONValue::object({}),
                                JSONValue::array({1}),
                                JSONValue::object({{"1", 1}})};
  for (std::size_t i = 0; i < std::size(distinct); ++i) {
    for (std::size_t j = 0; j < std::size(distinct); ++j) {
      EXPECT_EQ(distinct[i] == distinct[j], i == j) << i << " vs " << j;
    }
  }
}

TEST(JSONValueTests, ContainersCompareByContent) {
  EXPECT_TRUE(JSONValue::object({{"a", 1}, {"b", JSONValue::array({1, 2})}}) ==
              read(R"({"b":[1,2],"a":1})"));
  EXPECT_FALSE(JSONValue::array({1, 2}) == JSONValue::array({2, 1}));
  EXPECT_FALSE(JSONValue::array({1}) == JSONValue::array({1, 1}));
  EXPECT_FALSE(read(R"({"a":1})") == read(R"({"a":1,"b":1})"));
  EXPECT_FALSE(read(R"({"a":1})") == read(R"({"b":1})"));
  EXPECT_FALSE(read(R"({"a":null})") == read("{}"));
  EXPECT_FALSE(read(R"({"a":{"b":[1]}})") == read(R"({"a":{"b":[true]}})"));
}

// ---------------------------------------------------------------------------------------------
// Building

TEST(JSONValueTests, BuildsFromConstants) {
  EXPECT_EQ(write(JSONValue::array(
                {nullptr, true, 1, 2.5, "s", std::string("t"), std::string_view("u")})),
            R"([null,true,1,2.5,"s","t","u"])");
  std::vector<std::pair<std::string, JSONValue>> pairs = {{"z", 1}, {"a", "x"}};
  EXPECT_EQ(write(JSONValue::object(std::move(pairs))), R"({"a":"x","z":1})");
  // The 64-bit integer becomes the nearest double.
  EXPECT_EQ(*JSONValue(std::int64_t{9007199254740993}).numberValue(), 9007199254740992.0);
}

TEST(JSONValueDeathTest, RepeatedKeyInBuiltObjectStopsTheProcess) {
  EXPECT_DEATH(JSONValue::object({{"a", 1}, {"b", 2}, {"a", 3}}), "Duplicate values for key: 'a'");
  EXPECT_DEATH(JSONValue::object(
                   std::vector<std::pair<std::string, JSONValue>>{{"key one", 1}, {"key one", 1}}),
               "Duplicate values for key: 'key one'");
}

// ---------------------------------------------------------------------------------------------
// Accessors

TEST(JSONValueTests, SubscriptsGiveAbsentOutsideTheirKind) {
  const JSONValue object = read(R"({"a":null,"b":[10,20]})");
  EXPECT_EQ(object["a"], JSONValue());
  EXPECT_FALSE(object["c"]);
  EXPECT_FALSE(object[std::int64_t{0}]);
  EXPECT_EQ((*object["b"])[std::int64_t{1}], JSONValue(20));
  EXPECT_FALSE((*object["b"])[std::int64_t{2}]);
  EXPECT_FALSE((*object["b"])[std::int64_t{-1}]);
  EXPECT_FALSE((*object["b"])["a"]);
  EXPECT_FALSE(read("[]")[std::int64_t{0}]);
  EXPECT_FALSE(read("\"abc\"")["a"]);
  EXPECT_FALSE(read("\"abc\"")[std::int64_t{0}]);
  EXPECT_FALSE(read("null")["a"]);
  EXPECT_EQ(object.member("a"), &object.objectValue()->at("a"));
  EXPECT_EQ(object.member("c"), nullptr);
  EXPECT_EQ(JSONValue().member("a"), nullptr);
}

TEST(JSONValueTests, IntValueTruncatesTowardZero) {
  struct Case {
    JSONValue value;
    std::optional<std::int64_t> expected;
  };
  const Case cases[] = {
      {JSONValue(2.9), 2},
      {JSONValue(-2.9), -2},
      {JSONValue(1.9), 1},
      {JSONValue(-0.5), 0},
      {JSONValue(9223372036854774784.0), 9223372036854774784},  // largest double below 2^63
      {JSONValue(-9223372036854775808.0), std::numeric_limits<std::int64_t>::min()},
      {JSONValue(9223372036854775808.0), std::nullopt},  // 2^63
      {JSONValue(-1e19), std::nullopt},
      {JSONValue(1e300), std::nullopt},
      {JSONValue(kNaN), std::nullopt},
      {JSONValue(kInfinity), std::nullopt},
      {JSONValue(-kInfinity), std::nullopt},
      {JSONValue("2"), std::nullopt},
      {JSONValue(true), std::nullopt},
      {JSONValue(), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.intValue(), c.expected) << write(c.value);
}

}  // namespace
