#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
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
  return quill::valueOr(value.encodedData(), "<failed>");
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
  return repeat("{\"k\":", levels) + std::string(inner) + repeat("}", levels);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------------------------
// Reading

// One row per class of input: an example, and the text its value is written as, or nothing when
// it must not read.
TEST(JSONValueTests, ReadingRules) {
  const std::string zeros(3000, '0');
  const struct {
    std::string_view rule;
    std::string text;
    std::optional<std::string> written;
  } rows[] = {
      // Exactly one value, of any kind, with only JSON white space around and between tokens.
      {"a scalar at the top", "\"x\"", "\"x\""},
      {"white space of the four kinds", " \t\r\n[ 1 ,\t{ \"a\" :\r\n2 } ]\n", "[1,{\"a\":2}]"},
      {"white space after a literal", "false \t\n\r", "false"},
      {"nothing", "", std::nullopt},
      {"white space only", " \t\r\n", std::nullopt},
      {"a form feed", "\f1", std::nullopt},
      {"a no-break space", "1\xC2\xA0", std::nullopt},
      {"a byte-order mark", "\xEF\xBB\xBF{}", std::nullopt},
      {"text after the value", "{} {}", std::nullopt},
      {"a line feed and more", "1\n2", std::nullopt},
      // Literals, spelled exactly.
      {"a literal", "null", "null"},
      {"a literal in capitals", "True", std::nullopt},
      {"a literal cut short", "nul", std::nullopt},
      {"a literal run on", "truex", std::nullopt},
      {"NaN", "NaN", std::nullopt},
      {"Infinity", "[-Infinity]", std::nullopt},
      {"a comment", "[1/*c*/]", std::nullopt},
      {"a line comment", "[1]//c", std::nullopt},
      {"a single-quoted string", "'a'", std::nullopt},
      // Structure.
      {"a trailing comma in an array", "[1,]", std::nullopt},
      {"a trailing comma in an object", "{\"a\":1,}", std::nullopt},
      {"a leading comma", "[,1]", std::nullopt},
      {"a missing comma", "[1 2]", std::nullopt},
      {"a key without quotes", "{a:1}", std::nullopt},
      {"a key that is not a string", "{1:1}", std::nullopt},
      {"a member without a colon", "{\"a\" 1}", std::nullopt},
      {"a member without a value", "{\"a\":}", std::nullopt},
      {"the wrong closing bracket", "{\"id\":1,\"method\":\"ping\":]}", std::nullopt},
      {"an unclosed array", "[1,2", std::nullopt},
      {"a closing bracket too many", "[1]]", std::nullopt},
      {"a repeated key: the last wins", "{\"a\":1,\"b\":[],\"a\":{\"c\":2,\"c\":3}}",
       "{\"a\":{\"c\":3},\"b\":[]}"},
      {"members written in key order", "{\"b\":1,\"a\":2,\"B\":3}", "{\"B\":3,\"a\":2,\"b\":1}"},
      // Numbers: the grammar first.
      {"a leading zero", "01", std::nullopt},
      {"a negative leading zero", "-01", std::nullopt},
      {"a bare fraction", ".5", std::nullopt},
      {"a point without digits", "1.", std::nullopt},
      {"an exponent without digits", "1e+", std::nullopt},
      {"a plus sign", "+1", std::nullopt},
      {"a minus sign alone", "-", std::nullopt},
      {"a hexadecimal number", "0x10", std::nullopt},
      {"zero", "0", "0"},
      {"negative zero", "-0", "0"},
      {"a fraction and an exponent", "-1.5E+3", "-1500"},
      {"an exponent with many digits", "1e00000000000000000000", "1"},
      {"a negative exponent with many digits", "1.5E-000000000000000000001", "0.15"},
      {"an exponent with thousands of digits", "1e" + zeros + "1", "10"},
      {"a fraction with thousands of digits", "0." + zeros + "1e3001", "1"},
      {"more than 19 significant digits", "0.95000000000000000000", "0.95"},
      {"25 significant digits, to the nearest double", "0.1000000000000000055511151", "0.1"},
      {"an integer beyond 2^53", "9007199254740993", "9007199254740992"},
      {"an integer beyond 64 bits", "123456789012345678901234567890", "1.2345678901234568e+29"},
      {"the largest double", "1.7976931348623157e308", "1.7976931348623157e+308"},
      {"beyond the largest double", "1e309", std::nullopt},
      {"a long integer beyond the largest double", "1" + zeros, std::nullopt},
      {"the smallest double", "4.9406564584124654e-324", "5e-324"},
      {"below the smallest double", "-1e-400", "0"},
      // Strings: escapes.
      {"the short escapes", R"("\"\\\/\b\f\n\r\t")", R"("\"\\/\b\f\n\r\t")"},
      {"\\u escapes in either case", R"("\u0041\u00e9\u20AC\u0000")",
       "\"A\xC3\xA9\xE2\x82\xAC\\u0000\""},
      {"a surrogate pair", R"("\uD83D\ude00")", "\"\xF0\x9F\x98\x80\""},
      {"a lone high surrogate", R"("\ud800")", std::nullopt},
      {"a lone low surrogate", R"("\udc00\ud800")", std::nullopt},
      {"a high surrogate before another escape", R"("\ud800\u0041")", std::nullopt},
      {"a high surrogate before a character", R"("\ud800x")", std::nullopt},
      {"an unknown escape", R"("\x41")", std::nullopt},
      {"a short \\u escape", R"("\u12")", std::nullopt},
      {"a \\u escape with a control character for a digit", "\"\\u00\x11\x12\"", std::nullopt},
      {"a \\u escape with a letter beyond f", R"("\u00eG")", std::nullopt},
      {"a raw control character", "\"a\tb\"", std::nullopt},
      {"a raw NUL", std::string("\"a\0b\"", 5), std::nullopt},
      {"a raw DEL", "\"\x7F\"", "\"\x7F\""},
      {"an unterminated string", "\"abc", std::nullopt},
      // Strings: UTF-8.
      {"characters of two, three and four bytes", "\"\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80\"",
       "\"\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80\""},
      {"an overlong form of two bytes", "\"\xC0\xAF\"", std::nullopt},
      {"an overlong form of three bytes", "\"\xE0\x80\xAF\"", std::nullopt},
      {"an overlong form of four bytes", "\"\xF0\x80\x80\xAF\"", std::nullopt},
      {"a surrogate in UTF-8", "\"\xED\xA0\x80\"", std::nullopt},
      {"beyond U+10FFFF", "\"\xF4\x90\x80\x80\"", std::nullopt},
      {"a byte that never starts a character", "\"\xF8\x88\x80\x80\x80\"", std::nullopt},
      {"a stray continuation byte", "\"\x80\"", std::nullopt},
      {"a character cut short", "\"\xE2\x80\"", std::nullopt},
      {"invalid UTF-8 in a key", "{\"\xC3\":1}", std::nullopt},
      {"non-ASCII outside a string", "[1]\xFF", std::nullopt},
  };
  for (const auto& row : rows) {
    auto decoded = JSONValue::decode(row.text);
    const JSONValue* value = std::get_if<JSONValue>(&decoded);
    EXPECT_EQ(value ? std::optional(write(*value)) : std::nullopt, row.written) << row.rule;
  }
  // The sign of a zero is kept, however it is written.
  for (std::string_view text : {"-0", "-0.0", "-1e-400"}) {
    EXPECT_TRUE(std::signbit(*read(text).numberValue())) << text;
  }
}

// A failure says what was wrong and where, as a person finds it in an editor: lines end at line
// feeds, columns count bytes.
TEST(JSONValueTests, ReadingFailuresNameWhatAndWhere) {
  const struct {
    std::string_view text, description;
  } cases[] = {
      {"", "empty input at line 1, column 1"},
      {"[1,]", "not a JSON value at line 1, column 4"},
      {"[1", "expected ',' or ']' at line 1, column 3"},
      {"{\r\n  \"a\": 1,\n  \"b\" 2\n}", "expected ':' at line 3, column 7"},
      {"[\"\xC3\xA9\",\n\"caf\xC3\xA9\x80\"]", "invalid UTF-8 at line 2, column 7"},
      {"\n\n  {\"key\": \"open]}", "unterminated string at line 3, column 11"},
      {"[\"ok\", \"\\ud800\"]", "unpaired surrogate at line 1, column 9"},
      {"[1e400]", "number beyond the range of a double at line 1, column 2"},
  };
  for (const auto& c : cases) {
    auto decoded = JSONValue::decode(c.text);
    const auto* failure = quill::failed(decoded);
    EXPECT_EQ(failure ? failure->detail : "<read>", c.description) << c.text;
  }
}

TEST(JSONValueTests, ReadsEachKindApart) {
  EXPECT_EQ(read("false").boolValue(), false);
  EXPECT_EQ(read("\"1\"").stringValue(), "1");
  EXPECT_FALSE(read("\"1\"").numberValue());
  EXPECT_FALSE(read("0").boolValue());
  EXPECT_FALSE(read("true").numberValue());
  EXPECT_TRUE(read("null").isNull());
  EXPECT_FALSE(read("\"null\"").isNull());
  EXPECT_FALSE(read("[]").objectValue());
  EXPECT_FALSE(read("{}").arrayValue());
  // A surrogate pair is one four-byte character in keys too.
  EXPECT_EQ(read("{\"\\ud83d\\ude00\":1}")["\xF0\x9F\x98\x80"], JSONValue(1));
}

TEST(JSONValueTests, ReadsNestingUpToTheLimitAndFailsBeyondIt) {
  const std::size_t limit = JSONValue::maxReadDepth;
  for (std::string_view inner : {"", "1", "{}"}) {
    // "{}" inside adds a level of its own.
    const std::size_t levels = inner == "{}" ? limit - 1 : limit;
    const std::string text = nestedArrays(levels, inner);
    EXPECT_EQ(write(read(text)), text);
    EXPECT_FALSE(reads(nestedArrays(levels + 1, inner))) << "inner " << inner;
  }
  EXPECT_TRUE(reads(nestedObjects(limit, "7")));
  EXPECT_FALSE(reads(nestedObjects(limit + 1, "7")));
  EXPECT_FALSE(reads(nestedObjects(limit, "[]")));
  // Far deeper nesting is an ordinary failure.
  EXPECT_FALSE(reads(std::string(100000, '[')));
  EXPECT_FALSE(reads(repeat("[{\"k\":", 1000) + "1" + repeat("}]", 1000)));
}

// An object's members do not mix with those of the objects around it or of objects read before it.
TEST(JSONValueTests, ObjectsKeepTheirOwnMembersAcrossNesting) {
  auto wide = [](int count) {  // keys k<count-1> down to k0, each holding its number
    std::string text = "{";
    for (int i = count - 1; i >= 0; --i) {
      text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + (i > 0 ? "," : "}");
    }
    return text;
  };
  const JSONValue outer = read(R"({"a":1,"w":)" + wide(1500) + R"(,"z":{"y":[{"q":1},{"r":2}]}})");
  ASSERT_EQ(outer.objectValue()->size(), 3u);
  const JSONValue* inner = outer.member("w");
  ASSERT_EQ(inner->objectValue()->size(), 1500u);
  EXPECT_EQ(*inner->member("k0"), JSONValue(0));
  EXPECT_EQ(*inner->member("k1499"), JSONValue(1499));
  EXPECT_EQ(write(*outer.member("z")), R"({"y":[{"q":1},{"r":2}]})");
  EXPECT_EQ(write(read("[" + wide(3) + R"(,{"b":{"c":3}}])")),
            R"([{"k0":0,"k1":1,"k2":2},{"b":{"c":3}}])");
}

// ---------------------------------------------------------------------------------------------
// Writing

TEST(JSONValueTests, WritesCompactWithMembersSortedAtEveryDepth) {
  const JSONValue value = JSONValue::object({
      {"b", 1},
      {"a", JSONValue::array({})},
      {"c", JSONValue::array({JSONValue::object({{"z", nullptr}, {"y", true}}), "s", false})},
      {"B", JSONValue::object({{"nested", JSONValue::object({{"2", 2}, {"10", 10}, {"1", {}}})}})},
  });
  EXPECT_EQ(
      write(value),
      R"({"B":{"nested":{"1":null,"10":10,"2":2}},"a":[],"b":1,"c":[{"y":true,"z":null},"s",false]})");
  // Members added one by one are kept in order, a replaced one where it was.
  JSONValue::Object members;
  EXPECT_TRUE(members.insert_or_assign("b", 1).second);
  EXPECT_TRUE(members.insert_or_assign("a", 2).second);
  EXPECT_FALSE(members.insert_or_assign("b", 3).second);
  EXPECT_FALSE(members.try_emplace("a", 4).second);
  EXPECT_EQ(write(JSONValue(std::move(members))), R"({"a":2,"b":3})");
}

TEST(JSONValueTests, WritesStringsWithTheFewestEscapes) {
  const struct {
    std::string text;
    std::string_view written;
  } cases[] = {
      {"", "\"\""},
      {"a/b", "\"a/b\""},
      {"say \"hi\" \\ bye", R"("say \"hi\" \\ bye")"},
      {"line\nbreak\ttab\rcr", R"("line\nbreak\ttab\rcr")"},
      {std::string("nul\0byte", 8), R"("nul\u0000byte")"},
      {"\x1f", R"("\u001f")"},
      {"\x7f", "\"\x7f\""},
      {"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80",
       "\"caf\xC3\xA9 \xE2\x80\x94 \xF0\x9F\x98\x80\""},
      // Invalid UTF-8 becomes U+FFFD, one per byte that starts no valid sequence.
      {"a\xff!", "\"a\xEF\xBF\xBD!\""},
      {"\xC3", "\"\xEF\xBF\xBD\""},                                  // truncated at the end
      {"\xC3(", "\"\xEF\xBF\xBD(\""},                                // bad continuation
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // overlong "/"
      {"\xE0\x80\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // overlong "/" in three
      {"\x80\xC3\xA9", "\"\xEF\xBF\xBD\xC3\xA9\""},  // stray continuation, then valid
  };
  for (const auto& c : cases) EXPECT_EQ(write(JSONValue(c.text)), c.written);

  // Every control character is escaped and reads back the same.
  for (int c = 0; c < 0x20; ++c) {
    const std::string text(1, static_cast<char>(c));
    const std::string written = write(JSONValue(text));
    EXPECT_TRUE(std::all_of(written.begin(), written.end(), [](char b) { return b >= 0x20; }));
    EXPECT_EQ(read(written).stringValue(), text) << "control character " << c;
  }
  // Whatever the bytes, the output is valid UTF-8 (the reader accepts it) in values and keys.
  for (const std::string bytes : {"\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80",
                                  "\xE2\x80", "\xFE\xFF", "ok\xF0\x9F\x98"}) {
    const std::string written =
        write(JSONValue::object({{bytes, JSONValue(bytes)}, {"k", JSONValue(bytes + "\n")}}));
    EXPECT_TRUE(reads(written)) << written;
  }
}

TEST(JSONValueTests, WritesWholeNumbersBelowTwoToThe53AsIntegersAndOthersToReadBackTheSame) {
  const struct {
    JSONValue value;
    std::string_view text;
  } exact[] = {
      {JSONValue(-0.0), "0"},
      {JSONValue(1e15), "1000000000000000"},
      {JSONValue(-9007199254740991.0), "-9007199254740991"},
      // The 64-bit integer becomes the nearest double.
      {JSONValue(std::int64_t{9007199254740993}), "9007199254740992"},
      {JSONValue(-0.25), "-0.25"},
      {JSONValue(0.1), "0.1"},
  };
  for (const auto& c : exact) EXPECT_EQ(write(c.value), c.text);
  for (double number : {-9007199254740992.0, 9007199254740994.0, 1e300, -1.7976931348623157e308,
                        0.1 + 0.2, 5e-324, 1.0 / 3.0}) {
    const std::string text = write(JSONValue(number));
    EXPECT_EQ(text.find_first_not_of("0123456789.e+-"), std::string::npos) << text;
    EXPECT_EQ(read(text).numberValue(), number) << text;
  }
}

TEST(JSONValueTests, NonFiniteNumbersAnywhereFailTheWholeWrite) {
  for (const JSONValue& value : {
           JSONValue(kNaN),
           JSONValue(-kInfinity),
           JSONValue::array({1, "two", kNaN}),
           JSONValue::object(
               {{"a", 1}, {"z", JSONValue::array({JSONValue::object({{"x", kInfinity}})})}}),
       }) {
    EXPECT_TRUE(quill::failed(value.encodedData()));
    std::string out = "kept";
    EXPECT_TRUE(quill::failed(value.encodeInto(out)));
    EXPECT_EQ(out, "kept");
  }
  std::string out = "[";
  EXPECT_FALSE(quill::failed(JSONValue::array({1}).encodeInto(out)));
  EXPECT_EQ(out, "[[1]");
}

// ---------------------------------------------------------------------------------------------
// Equality, building and access

TEST(JSONValueTests, EqualityFollowsIEEEKindsAndContent) {
  const JSONValue nanArray = JSONValue::array({kNaN});
  const JSONValue nanArrayCopy = nanArray;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_FALSE(JSONValue(kNaN) == JSONValue(kNaN));
  EXPECT_FALSE(nanArray == nanArrayCopy);
  EXPECT_TRUE(JSONValue(0.0) == JSONValue(-0.0));
  EXPECT_TRUE(JSONValue(std::int64_t{3}) == read("3.0"));
  EXPECT_TRUE(JSONValue::object({{"a", 1}, {"b", JSONValue::array({1, 2})}}) ==
              read(R"({"b":[1,2],"a":1})"));

  std::vector<JSONValue> distinct;
  for (std::string_view text : {"null", "true", "false", "1", "0", "\"1\"", "\"2\"", "[]", "{}",
                                "[1,2]", "[2,1]", "[1,2,2]", R"({"a":1})", R"({"b":1})",
                                R"({"a":null})", R"({"a":1,"b":1})", R"({"a":{"b":[true]}})"}) {
    distinct.push_back(read(text));
  }
  for (std::size_t i = 0; i < distinct.size(); ++i) {
    for (std::size_t j = 0; j < distinct.size(); ++j) {
      EXPECT_EQ(distinct[i] == distinct[j], i == j) << i << " vs " << j;
    }
  }
}

TEST(JSONValueDeathTest, RepeatedKeyInBuiltObjectStopsTheProcess) {
  EXPECT_DEATH(JSONValue::object({{"a", 1}, {"b", 2}, {"a", 3}}), "Duplicate values for key: 'a'");
  EXPECT_DEATH(JSONValue::object(
                   std::vector<std::pair<std::string, JSONValue>>{{"key one", 1}, {"key one", 1}}),
               "Duplicate values for key: 'key one'");
}

TEST(JSONValueTests, SubscriptsGiveAbsentOutsideTheirKind) {
  const JSONValue object = read(R"({"a":null,"b":[10,20]})");
  EXPECT_EQ(object["a"], JSONValue());
  EXPECT_FALSE(object["c"]);
  EXPECT_FALSE((*object["b"])["a"]);
  EXPECT_FALSE(read("\"abc\"")["a"]);
  EXPECT_EQ(object.member("a"), &object.objectValue()->find("a")->second);
  EXPECT_EQ(object.member("c"), nullptr);
  EXPECT_EQ(JSONValue().member("a"), nullptr);
}

TEST(JSONValueTests, IntValueTruncatesTowardZero) {
  const struct {
    JSONValue value;
    std::optional<std::int64_t> expected;
  } cases[] = {
      {JSONValue(2.9), 2},
      {JSONValue(-2.9), -2},
      {JSONValue(9223372036854774784.0), 9223372036854774784},  // largest double below 2^63
      {JSONValue(-9223372036854775808.0), std::numeric_limits<std::int64_t>::min()},
      {JSONValue(9223372036854775808.0), std::nullopt},  // 2^63
      {JSONValue(-1e19), std::nullopt},
      {JSONValue(kNaN), std::nullopt},
      {JSONValue(kInfinity), std::nullopt},
      {JSONValue("2"), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.intValue(), c.expected) << write(c.value);
}

}  // namespace
