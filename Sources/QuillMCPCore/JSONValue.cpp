#include "JSONValue.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---- Platform: converting number text in the C locale ----------------------------------------
// strtod_l and newlocale come from <xlocale.h> on macOS and from <stdlib.h> and <locale.h> (with
// _GNU_SOURCE, which the C++ compilers define) on Linux.
#include <locale.h>
#if defined(__APPLE__)
#include <xlocale.h>
#endif
// ---- End of platform ---------------------------------------------------------------------

#include "UTF8.h"

namespace quill {

namespace {
// Puts members in order of their keys, keeping members with equal keys in the order they came.
void sortByKey(std::vector<JSONValue::Object::value_type>& members) {
  auto byKey = [](const auto& a, const auto& b) { return a.first < b.first; };
  if (!std::is_sorted(members.begin(), members.end(), byKey)) {
    std::stable_sort(members.begin(), members.end(), byKey);
  }
}

// The first member whose key is not below `key`, in members sorted by key.
template <typename Members>
auto lowerBound(Members& members, std::string_view key) noexcept {
  return std::lower_bound(members.begin(), members.end(), key,
                          [](const auto& member, std::string_view k) { return member.first < k; });
}

bool sameKey(const JSONValue::Object::value_type& a, const JSONValue::Object::value_type& b) {
  return a.first == b.first;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction and access

JSONValue::JSONValue(Array elements)
    : storage_(std::in_place_index<3>, std::make_shared<const Array>(std::move(elements))) {}

JSONValue::JSONValue(Object members)
    : storage_(std::in_place_index<4>, std::make_shared<const Object>(std::move(members))) {}

JSONValue::Object JSONValue::Object::collect(std::vector<value_type> members) {
  sortByKey(members);
  // Of members with equal keys the last one wins: `unique` keeps the first of each run, so it
  // runs from the back, gathering the kept members there.
  members.erase(members.begin(), std::unique(members.rbegin(), members.rend(), sameKey).base());
  Object object;
  object.members_ = std::move(members);
  return object;
}

JSONValue::Object::const_iterator JSONValue::Object::find(std::string_view key) const noexcept {
  auto position = lowerBound(members_, key);
  return position != members_.end() && position->first == key ? position : end();
}

std::pair<JSONValue::Object::iterator, bool> JSONValue::Object::try_emplace(std::string key,
                                                                            JSONValue value) {
  auto position = lowerBound(members_, key);
  if (position != members_.end() && position->first == key) return {position, false};
  return {members_.emplace(position, std::move(key), std::move(value)), true};
}

std::pair<JSONValue::Object::iterator, bool> JSONValue::Object::insert_or_assign(std::string key,
                                                                                 JSONValue value) {
  auto [position, inserted] = try_emplace(std::move(key), JSONValue());
  position->second = std::move(value);
  return {position, inserted};
}

JSONValue JSONValue::array(std::initializer_list<JSONValue> elements) {
  return JSONValue(Array(elements));
}

JSONValue JSONValue::object(std::initializer_list<std::pair<std::string_view, JSONValue>> members) {
  std::vector<std::pair<std::string, JSONValue>> list;
  list.reserve(members.size());
  for (const auto& [key, value] : members) list.emplace_back(key, value);
  return object(std::move(list));
}

JSONValue JSONValue::object(std::vector<std::pair<std::string, JSONValue>> members) {
  sortByKey(members);
  if (auto repeated = std::adjacent_find(members.begin(), members.end(), sameKey);
      repeated != members.end()) {
    std::fprintf(stderr, "Duplicate values for key: '%s'\n", repeated->first.c_str());
    std::abort();
  }
  return JSONValue(Object::collect(std::move(members)));
}

std::optional<std::int64_t> JSONValue::intValue() const noexcept {
  auto number = numberValue();
  if (!number || !std::isfinite(*number)) return std::nullopt;
  const double truncated = std::trunc(*number);
  // [-2^63, 2^63) is exactly representable at both ends.
  if (truncated < -9223372036854775808.0 || truncated >= 9223372036854775808.0) return std::nullopt;
  return static_cast<std::int64_t>(truncated);
}

const JSONValue* JSONValue::member(std::string_view key) const noexcept {
  const Object* object = objectValue();
  if (!object) return nullptr;
  auto found = object->find(key);
  return found == object->end() ? nullptr : &found->second;
}

std::optional<JSONValue> JSONValue::operator[](std::string_view key) const {
  if (const JSONValue* value = member(key)) return *value;
  return std::nullopt;
}

// Copies share storage, but there is no shortcut for that: a NaN inside makes a value unequal
// even to its own copy.
bool operator==(const JSONValue& lhs, const JSONValue& rhs) {
  if (lhs.kind() != rhs.kind()) return false;
  if (const auto* elements = lhs.arrayValue()) return *elements == *rhs.arrayValue();
  if (const auto* members = lhs.objectValue()) {
    const auto* others = rhs.objectValue();
    return std::equal(members->begin(), members->end(), others->begin(), others->end());
  }
  return lhs.storage_ == rhs.storage_;  // scalars: IEEE equality for numbers
}

// ---------------------------------------------------------------------------------------------
// Strings, shared by the reader (which refuses what is not well formed) and the writer (which
// replaces it)

namespace {

// The length of the well-formed UTF-8 sequence at `s` (lead byte >= 0x80), or 0.
std::size_t utf8SequenceLength(const unsigned char* s, std::size_t available) noexcept {
  std::uint32_t ignored = 0;
  return decodeUTF8(s, available, ignored);
}

void appendUTF8(std::string& out, std::uint32_t codePoint) {
  // The lead byte's marker and highest bits, then six bits per continuation byte.
  static constexpr unsigned kLeadMarker[] = {0, 0xC0, 0xE0, 0xF0};
  const int continuations = codePoint < 0x80      ? 0
                            : codePoint < 0x800   ? 1
                            : codePoint < 0x10000 ? 2
                                                  : 3;
  out.push_back(static_cast<char>(kLeadMarker[continuations] | (codePoint >> (6 * continuations))));
  for (int shift = 6 * (continuations - 1); shift >= 0; shift -= 6) {
    out.push_back(static_cast<char>(0x80 | ((codePoint >> shift) & 0x3F)));
  }
}

// The high bit of each of the 8 bytes that is a control character, '"', '\\' or not ASCII: the
// bytes that neither the reader nor the writer of a string may pass over unexamined. The lowest
// bit set marks the first such byte exactly (bits above it may be set by carries).
std::uint64_t careMask(const unsigned char* bytes) noexcept {
  static_assert(std::endian::native == std::endian::little, "the first byte is the lowest");
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  constexpr std::uint64_t ones = 0x0101010101010101ull;
  constexpr std::uint64_t highs = 0x8080808080808080ull;
  const std::uint64_t quote = word ^ (ones * '"');
  const std::uint64_t backslash = word ^ (ones * '\\');
  const std::uint64_t control = (word - ones * 0x20) & ~word;
  return (((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | control | word) & highs;
}

// The escapes of one letter, and the characters they stand for ("/" is plain to the writer).
constexpr std::string_view kEscapeLetters = "\"\\/bfnrt", kEscaped = "\"\\/\b\f\n\r\t";

// Bytes that stand for themselves inside a string: printable ASCII but for '"' and '\\'.
constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return plain;
}();

// The first byte at or after `i` that is not plain: eight bytes at a time, then one by one.
std::size_t skipPlain(const unsigned char* bytes, std::size_t i, std::size_t size) noexcept {
  for (; i + 8 <= size; i += 8) {
    if (const std::uint64_t care = careMask(bytes + i)) return i + std::countr_zero(care) / 8;
  }
  while (i < size && kPlain[bytes[i]]) ++i;
  return i;
}

// ---------------------------------------------------------------------------------------------
// Writing

// What stands in a string for the byte `c`, which may not stand for itself: an escape, or U+FFFD
// REPLACEMENT CHARACTER for a byte that starts no well-formed UTF-8 sequence.
void writeReplacement(unsigned char c, std::string& out) {
  static constexpr char hex[] = "0123456789abcdef";
  if (c >= 0x80) {
    out.append("\xEF\xBF\xBD");
  } else if (const std::size_t found = kEscaped.find(static_cast<char>(c));
             found != std::string_view::npos) {
    out.append({'\\', kEscapeLetters[found]});
  } else {
    out.append({'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]});
  }
}

void writeString(std::string_view text, std::string& out) {
  const std::size_t size = text.size();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  // Room for the whole string at once, growing geometrically, so that a long one is copied once.
  const std::size_t needed = out.size() + size + 2;
  if (out.capacity() < needed) out.reserve(std::max(needed + size / 16, 2 * out.capacity()));
  out.push_back('"');
  std::size_t run = 0;  // the start of the bytes not yet copied
  for (std::size_t i = skipPlain(bytes, 0, size); i < size; i = skipPlain(bytes, i, size)) {
    const unsigned char c = bytes[i];
    if (const std::size_t length = c >= 0x80 ? utf8SequenceLength(bytes + i, size - i) : 0) {
      i += length;
      continue;
    }
    out.append(text.data() + run, i - run);
    writeReplacement(c, out);
    run = ++i;
  }
  out.append(text.data() + run, size - run);
  out.push_back('"');
}

bool writeNumber(double number, std::string& out) {
  if (!std::isfinite(number)) return false;
  char digits[32];
  std::to_chars_result result;
  if (number == std::trunc(number) && std::fabs(number) < 9007199254740992.0) {
    // Whole and exact: a plain integer (negative zero becomes 0).
    result = std::to_chars(digits, digits + sizeof digits, static_cast<std::int64_t>(number));
  } else {
    result = std::to_chars(digits, digits + sizeof digits, number);  // shortest round trip
  }
  out.append(digits, result.ptr);
  return true;
}

// Stops at the first number that cannot be written, leaving the text unfinished.
bool writeValue(const JSONValue& value, std::string& out) {
  switch (value.kind()) {
    case JSONValue::Kind::null:
      out.append("null");
      return true;
    case JSONValue::Kind::boolean:
      out.append(*value.boolValue() ? "true" : "false");
      return true;
    case JSONValue::Kind::number:
      return writeNumber(*value.numberValue(), out);
    case JSONValue::Kind::string:
      writeString(*value.stringValue(), out);
      return true;
    case JSONValue::Kind::array: {
      out.push_back('[');
      bool first = true;
      for (const auto& element : *value.arrayValue()) {
        if (!std::exchange(first, false)) out.push_back(',');
        if (!writeValue(element, out)) return false;
      }
      out.push_back(']');
      return true;
    }
    case JSONValue::Kind::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : *value.objectValue()) {
        if (!std::exchange(first, false)) out.push_back(',');
        writeString(key, out);
        out.push_back(':');
        if (!writeValue(member, out)) return false;
      }
      out.push_back('}');
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Reading

// `text` is a number that the grammar accepted. Whatever locale the process has set, the decimal
// point is '.': the conversion uses a C locale of its own. The result is correctly rounded,
// infinite when the number lies beyond the range of a double.
double convertNumber(const std::string& text) {
  static const locale_t cLocale = ::newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  if (!cLocale) return std::nan("");  // no memory for a locale: the number cannot be read
  return ::strtod_l(text.c_str(), nullptr, cLocale);
}

// Reads by recursive descent, one level of the machine stack per level of nesting: the depth cap
// bounds the stack that hostile text can take.
class JSONReader {
 public:
  explicit JSONReader(std::string_view text)
      : bytes_(reinterpret_cast<const unsigned char*>(text.data())), size_(text.size()) {}

  Result<JSONValue, JSONReadReason> read() {
    JSONValue value;
    if (size_ == 0) {
      fail("empty input");
    } else if (readValue(value, 0)) {
      skipSpace();
      if (position_ == size_) return value;
      fail("text after the value");
    }
    // Where the reading stopped, as a person finds it in an editor.
    const std::string_view before(reinterpret_cast<const char*>(bytes_), position_);
    const std::size_t lastBreak = before.rfind('\n');
    const std::size_t column =
        lastBreak == std::string_view::npos ? position_ + 1 : position_ - lastBreak;
    const auto line = 1 + std::count(before.begin(), before.end(), '\n');
    return Failure<JSONReadReason>{reason_, 0,
                                   std::string(error_) + " at line " + std::to_string(line) +
                                       ", column " + std::to_string(column)};
  }

 private:
  // Records what was wrong at the current position.
  bool fail(const char* what, JSONReadReason reason = JSONReadReason::malformed) {
    error_ = what;
    reason_ = reason;
    return false;
  }

  void skipSpace() noexcept {
    while (position_ < size_) {
      const unsigned char c = bytes_[position_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
      ++position_;
    }
  }

  bool consume(char c) noexcept {
    if (position_ == size_ || bytes_[position_] != static_cast<unsigned char>(c)) return false;
    ++position_;
    return true;
  }

  bool consumeWord(std::string_view word) noexcept {
    const std::string_view rest(reinterpret_cast<const char*>(bytes_) + position_,
                                size_ - position_);
    if (!rest.starts_with(word)) return false;
    position_ += word.size();
    return true;
  }

  // Room for a usual container's contents at once: growing from nothing takes three allocations
  // for four entries, and makes reading a small request some 60% slower.
  static constexpr std::size_t kUsualSize = 4;

  // The value at the current position, after any white space, inside `depth` containers.
  bool readValue(JSONValue& value, std::size_t depth) {
    skipSpace();
    if (position_ >= size_) return fail("expected a value");
    switch (bytes_[position_]) {
      case '[':
        return readArray(value, depth + 1);
      case '{':
        return readObject(value, depth + 1);
      case '"': {
        std::string text;
        if (!readString(text)) return false;
        value = JSONValue(std::move(text));
        return true;
      }
      case 't':
        value = JSONValue(true);
        return consumeWord("true") || fail("not a JSON value");
      case 'f':
        value = JSONValue(false);
        return consumeWord("false") || fail("not a JSON value");
      case 'n':
        value = JSONValue();
        return consumeWord("null") || fail("not a JSON value");
      default:
        return readNumber(value);
    }
  }

  // The array whose '[' is at the current position, the `depth`th container open.
  bool readArray(JSONValue& value, std::size_t depth) {
    if (depth > JSONValue::maxReadDepth) return fail("nesting too deep", JSONReadReason::tooDeep);
    ++position_;
    JSONValue::Array elements;
    skipSpace();
    if (!consume(']')) {
      elements.reserve(kUsualSize);
      do {
        if (!readValue(elements.emplace_back(), depth)) return false;
        skipSpace();
      } while (consume(','));
      if (!consume(']')) return fail("expected ',' or ']'");
    }
    value = JSONValue(std::move(elements));
    return true;
  }

  // The object whose '{' is at the current position, the `depth`th container open.
  bool readObject(JSONValue& value, std::size_t depth) {
    if (depth > JSONValue::maxReadDepth) return fail("nesting too deep", JSONReadReason::tooDeep);
    ++position_;
    std::vector<JSONValue::Object::value_type> members;
    skipSpace();
    if (!consume('}')) {
      members.reserve(kUsualSize);
      do {
        skipSpace();
        if (position_ >= size_ || bytes_[position_] != '"') return fail("expected a key");
        auto& [key, member] = members.emplace_back();
        if (!readString(key)) return false;
        skipSpace();
        if (!consume(':')) return fail("expected ':'");
        if (!readValue(member, depth)) return false;
        skipSpace();
      } while (consume(','));
      if (!consume('}')) return fail("expected ',' or '}'");
    }
    value = JSONValue(JSONValue::Object::collect(std::move(members)));
    return true;
  }

  // The string whose opening quote is at the current position, unescaped, into `out`.
  bool readString(std::string& out) {
    const std::size_t start = position_;
    std::size_t run = ++position_;  // the start of the bytes not yet copied
    for (std::size_t i = skipPlain(bytes_, run, size_);; i = skipPlain(bytes_, i, size_)) {
      if (i >= size_) {
        position_ = start;
        return fail("unterminated string");
      }
      const unsigned char c = bytes_[i];
      if (c == '"') {
        out.append(reinterpret_cast<const char*>(bytes_) + run, i - run);
        position_ = i + 1;
        return true;
      }
      position_ = i;  // where a failure is reported
      if (c >= 0x80) {
        const std::size_t length = utf8SequenceLength(bytes_ + i, size_ - i);
        if (length == 0) return fail("invalid UTF-8");
        i += length;
        continue;
      }
      if (c < 0x20) return fail("control character in a string");
      out.append(reinterpret_cast<const char*>(bytes_) + run, i - run);
      if (!readEscape(out)) {
        position_ = i;  // a person looks for the escape from its backslash
        return false;
      }
      i = run = position_;
    }
  }

  // The escape at the current position, into `out`; surrogates only as a high-low pair.
  bool readEscape(std::string& out) {
    if (size_ - position_ < 2) return fail("unterminated string");
    const char c = static_cast<char>(bytes_[position_ + 1]);
    position_ += 2;
    if (const std::size_t found = kEscapeLetters.find(c); found != std::string_view::npos) {
      out.push_back(kEscaped[found]);
      return true;
    }
    std::uint32_t codePoint = 0;
    if (c != 'u' || !readHex(codePoint)) return fail("invalid escape");
    if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) return fail("unpaired surrogate");
    if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
      std::uint32_t low = 0;
      if (!consumeWord("\\u") || !readHex(low) || low < 0xDC00 || low > 0xDFFF) {
        return fail("unpaired surrogate");
      }
      codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
    }
    appendUTF8(out, codePoint);
    return true;
  }

  // Four hexadecimal digits, in either case.
  bool readHex(std::uint32_t& value) {
    if (size_ - position_ < 4) return false;
    const char* digits = reinterpret_cast<const char*>(bytes_) + position_;
    if (std::from_chars(digits, digits + 4, value, 16).ptr != digits + 4) return false;
    position_ += 4;
    return true;
  }

  // At least one digit; fails at the byte where one is missing.
  bool readDigits() {
    const std::size_t start = position_;
    while (position_ < size_ && bytes_[position_] >= '0' && bytes_[position_] <= '9') ++position_;
    return position_ > start || fail("expected a digit");
  }

  // A number by the grammar -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?, then converted.
  bool readNumber(JSONValue& value) {
    const std::size_t start = position_;
    const bool negative = consume('-');
    if (!consume('0') && !readDigits()) return negative ? false : fail("not a JSON value");
    if (consume('.') && !readDigits()) return false;
    if (consume('e') || consume('E')) {
      if (!consume('+')) consume('-');
      if (!readDigits()) return false;
    }
    const double number = convertNumber(
        std::string(reinterpret_cast<const char*>(bytes_) + start, position_ - start));
    if (!std::isfinite(number)) {
      position_ = start;
      return fail("number beyond the range of a double", JSONReadReason::numberOutOfRange);
    }
    value = JSONValue(number);
    return true;
  }

  const unsigned char* bytes_;
  std::size_t size_;
  std::size_t position_ = 0;
  const char* error_ = "";
  JSONReadReason reason_ = JSONReadReason::malformed;
};

}  // namespace

Result<Done, JSONWriteReason> JSONValue::encodeInto(std::string& out) const {
  const std::size_t start = out.size();
  if (writeValue(*this, out)) return Done{};
  out.resize(start);
  return Failure<JSONWriteReason>{JSONWriteReason::nonFiniteNumber};
}

Result<std::string, JSONWriteReason> JSONValue::encodedData() const {
  std::string out;
  out.reserve(128);  // a usual answer at once
  if (!writeValue(*this, out)) return Failure<JSONWriteReason>{JSONWriteReason::nonFiniteNumber};
  return out;
}

Result<JSONValue, JSONReadReason> JSONValue::decode(std::string_view bytes) {
  return JSONReader(bytes).read();
}

}  // namespace quill
