#include "JSONValue.h"

#include <algorithm>
#include <array>
#include <atomic>
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
// A stack whose first entries live in the stack itself, so that walking a shallow value needs no
// allocation; deeper entries go to the heap.
template <typename T, std::size_t kInline = 8>
class ShortStack {
 public:
  bool empty() const noexcept { return size_ == 0; }
  T& back() noexcept { return size_ > kInline ? deeper_.back() : shallow_[size_ - 1]; }
  void push(T item) {
    if (size_ < kInline) {
      shallow_[size_] = std::move(item);
    } else {
      deeper_.push_back(std::move(item));
    }
    ++size_;
  }
  void pop() noexcept {
    if (size_ > kInline) {
      deeper_.pop_back();
    } else {
      shallow_[size_ - 1] = T();
    }
    --size_;
  }

 private:
  std::array<T, kInline> shallow_{};
  std::vector<T> deeper_;
  std::size_t size_ = 0;
};

// Puts members in order of their keys, keeping members with equal keys in the order they came:
// a few by moving each back to its place, more by a merge sort.
void sortByKey(std::vector<JSONValue::Object::value_type>& members) {
  auto byKey = [](const auto& a, const auto& b) { return a.first < b.first; };
  constexpr std::size_t kFew = 16;
  if (std::is_sorted(members.begin(), members.end(), byKey)) return;
  if (members.size() > kFew) {
    std::stable_sort(members.begin(), members.end(), byKey);
    return;
  }
  for (std::size_t i = 1; i < members.size(); ++i) {
    if (!byKey(members[i], members[i - 1])) continue;
    auto moving = std::move(members[i]);
    std::size_t j = i;
    for (; j > 0 && byKey(moving, members[j - 1]); --j) members[j] = std::move(members[j - 1]);
    members[j] = std::move(moving);
  }
}

// The first member whose key is not below `key`, in members sorted by key.
template <typename Members>
auto lowerBound(Members& members, std::string_view key) noexcept {
  return std::lower_bound(members.begin(), members.end(), key,
                          [](const auto& member, std::string_view k) { return member.first < k; });
}

[[noreturn]] void duplicateKey(std::string_view key) {
  std::string message = "Duplicate values for key: '";
  message.append(key);
  message.append("'\n");
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::abort();
}

// True when `owner` holds the only reference to its container, which may then be taken apart.
// The acquire fence orders the tear-down after whatever other owners did before letting go.
template <typename Container>
bool soleOwner(const std::shared_ptr<Container>& owner) noexcept {
  if (!owner || owner.use_count() != 1) return false;
  std::atomic_thread_fence(std::memory_order_acquire);
  return true;
}

// An array or object with something in it: the only values whose tear-down reaches others.
bool nonEmptyContainer(const JSONValue& value) noexcept {
  if (const auto* array = value.arrayValue()) return !array->empty();
  if (const auto* object = value.objectValue()) return !object->empty();
  return false;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction, lifetime, access

JSONValue::JSONValue(Array elements)
    : storage_(std::in_place_index<3>, std::make_shared<Array>(std::move(elements))) {}

JSONValue::JSONValue(Object members)
    : storage_(std::in_place_index<4>, std::make_shared<Object>(std::move(members))) {}

JSONValue::Object JSONValue::Object::collect(std::vector<value_type> members) {
  sortByKey(members);
  // Of members with equal keys, the last one wins.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
    if (kept != i) members[kept] = std::move(members[i]);
    ++kept;
  }
  members.erase(members.begin() + static_cast<std::ptrdiff_t>(kept), members.end());
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
  auto repeated =
      std::adjacent_find(members.begin(), members.end(),
                         [](const auto& a, const auto& b) { return a.first == b.first; });
  if (repeated != members.end()) duplicateKey(repeated->first);
  return JSONValue(Object::collect(std::move(members)));
}

JSONValue::JSONValue(JSONValue&& other) noexcept : storage_(std::move(other.storage_)) {
  other.storage_.emplace<std::monostate>();
}

JSONValue& JSONValue::operator=(JSONValue&& other) noexcept {
  // No recursion when this held the last reference to a deep container: the container's
  // elements each take their own subtrees apart.
  if (this != &other) {
    storage_ = std::move(other.storage_);
    other.storage_.emplace<std::monostate>();
  }
  return *this;
}

class JSONValue::Pending : public ShortStack<JSONValue> {};

template <typename Visit>
void JSONValue::forEachOwnedChild(Visit visit) noexcept {
  if (auto* array = std::get_if<std::shared_ptr<Array>>(&storage_); array && soleOwner(*array)) {
    for (auto& element : **array) visit(element);
  } else if (auto* object = std::get_if<std::shared_ptr<Object>>(&storage_);
             object && soleOwner(*object)) {
    for (auto& member : **object) visit(member.second);
  }
}

void JSONValue::releaseInto(Pending& pending) noexcept {
  forEachOwnedChild([&](JSONValue& child) {
    if (nonEmptyContainer(child)) pending.push(std::move(child));
  });
  storage_.emplace<std::monostate>();  // what is left inside reaches no further
}

JSONValue::~JSONValue() {
  // Only the last owner of a container that holds others with something in them has a subtree
  // to take apart; any other value goes with its variant, without recursion.
  bool nested = false;
  forEachOwnedChild([&](JSONValue& child) { nested = nested || nonEmptyContainer(child); });
  if (!nested) return;
  Pending pending;
  releaseInto(pending);
  while (!pending.empty()) {
    JSONValue next = std::move(pending.back());
    pending.pop();
    next.releaseInto(pending);
  }
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

// ---------------------------------------------------------------------------------------------
// Equality, without recursion. Copies share storage, but there is no shortcut for that: a NaN
// inside makes a value unequal even to its own copy.

bool operator==(const JSONValue& lhs, const JSONValue& rhs) {
  ShortStack<std::pair<const JSONValue*, const JSONValue*>> pending;
  pending.push({&lhs, &rhs});
  while (!pending.empty()) {
    auto [a, b] = pending.back();
    pending.pop();
    if (a->kind() != b->kind()) return false;
    if (const auto* elements = a->arrayValue()) {
      const auto& others = *b->arrayValue();
      if (elements->size() != others.size()) return false;
      for (std::size_t i = 0; i < others.size(); ++i) pending.push({&(*elements)[i], &others[i]});
    } else if (const auto* members = a->objectValue()) {
      const auto& otherMembers = *b->objectValue();
      if (members->size() != otherMembers.size()) return false;
      for (auto i = members->begin(), j = otherMembers.begin(); i != members->end(); ++i, ++j) {
        if (i->first != j->first) return false;
        pending.push({&i->second, &j->second});
      }
    } else if (!(a->storage_ == b->storage_)) {  // scalars: IEEE equality for numbers
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// UTF-8, shared by the reader (which refuses what is not well formed) and the writer (which
// replaces it)

namespace {

// The length of the well-formed UTF-8 sequence at `s` (lead byte >= 0x80), or 0.
std::size_t utf8SequenceLength(const unsigned char* s, std::size_t available) noexcept {
  std::uint32_t ignored = 0;
  return decodeUTF8(s, available, ignored);
}

void appendUTF8(std::string& out, std::uint32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
    return;
  }
  // The lead byte's marker and highest bits, then six bits per continuation byte.
  static constexpr unsigned kLeadMarker[] = {0, 0xC0, 0xE0, 0xF0};
  const int continuations = codePoint < 0x800 ? 1 : codePoint < 0x10000 ? 2 : 3;
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

}  // namespace

// ---------------------------------------------------------------------------------------------
// Writing, without recursion

namespace {

class JSONWriter {
 public:
  explicit JSONWriter(std::string& out) : out_(out) {}

  bool write(const JSONValue& root) {
    const std::size_t start = out_.size();
    if (writeTree(root)) return true;
    out_.resize(start);
    return false;
  }

 private:
  // An array or object being written, and how many of its elements or members are done.
  struct Frame {
    const JSONValue::Array* array = nullptr;
    const JSONValue::Object* object = nullptr;
    std::size_t done = 0;
  };

  bool writeTree(const JSONValue& root) {
    ShortStack<Frame> open;
    const JSONValue* next = &root;
    for (;;) {
      if (next) {
        if (!writeOrOpen(*next, open)) return false;
        next = nullptr;
        continue;
      }
      if (open.empty()) return true;
      Frame& frame = open.back();
      const std::size_t size = frame.array ? frame.array->size() : frame.object->size();
      if (frame.done == size) {
        out_.push_back(frame.array ? ']' : '}');
        open.pop();
        continue;
      }
      if (frame.done > 0) out_.push_back(',');
      if (frame.array) {
        next = &(*frame.array)[frame.done];
      } else {
        const auto& member = *(frame.object->begin() + static_cast<std::ptrdiff_t>(frame.done));
        writeString(member.first);
        out_.push_back(':');
        next = &member.second;
      }
      ++frame.done;
    }
  }

  bool writeOrOpen(const JSONValue& value, ShortStack<Frame>& open) {
    switch (value.kind()) {
      case JSONValue::Kind::null:
        out_.append("null");
        return true;
      case JSONValue::Kind::boolean:
        out_.append(*value.boolValue() ? "true" : "false");
        return true;
      case JSONValue::Kind::number:
        return writeNumber(*value.numberValue());
      case JSONValue::Kind::string:
        writeString(*value.stringValue());
        return true;
      case JSONValue::Kind::array:
        out_.push_back('[');
        open.push({value.arrayValue(), nullptr});
        return true;
      case JSONValue::Kind::object:
        out_.push_back('{');
        open.push({nullptr, value.objectValue()});
        return true;
    }
    return false;
  }

  bool writeNumber(double number) {
    if (!std::isfinite(number)) return false;
    char digits[32];
    std::to_chars_result result;
    if (number == std::trunc(number) && std::fabs(number) < 9007199254740992.0) {
      // Whole and exact: a plain integer (negative zero becomes 0).
      result = std::to_chars(digits, digits + sizeof digits, static_cast<std::int64_t>(number));
    } else {
      result = std::to_chars(digits, digits + sizeof digits, number);  // shortest round trip
    }
    out_.append(digits, result.ptr);
    return true;
  }

  void writeString(std::string_view text) {
    const std::size_t size = text.size();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    // Room for the whole string at once, growing geometrically, so that a long one is copied once.
    const std::size_t needed = out_.size() + size + 2;
    if (out_.capacity() < needed) out_.reserve(std::max(needed + size / 16, 2 * out_.capacity()));
    out_.push_back('"');
    std::size_t run = 0;  // the start of the bytes not yet copied
    for (std::size_t i = skipPlain(bytes, 0, size); i < size; i = skipPlain(bytes, i, size)) {
      const unsigned char c = bytes[i];
      if (c >= 0x80) {
        if (const std::size_t length = utf8SequenceLength(bytes + i, size - i)) {
          i += length;
          continue;
        }
      }
      out_.append(text.data() + run, i - run);
      if (c >= 0x80) {
        out_.append("\xEF\xBF\xBD");  // U+FFFD REPLACEMENT CHARACTER
      } else {
        writeEscape(c);
      }
      run = ++i;
    }
    out_.append(text.data() + run, size - run);
    out_.push_back('"');
  }

  void writeEscape(unsigned char c) {
    static constexpr std::string_view kShort = "\"\\\b\f\n\r\t", kLetters = "\"\\bfnrt";
    const std::size_t found = kShort.find(static_cast<char>(c));
    if (found != std::string_view::npos) {
      const char escape[2] = {'\\', kLetters[found]};
      out_.append(escape, sizeof escape);
    } else {
      static constexpr char hex[] = "0123456789abcdef";
      const char escape[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
      out_.append(escape, sizeof escape);
    }
  }

  std::string& out_;
};

}  // namespace

bool JSONValue::encodeInto(std::string& out) const {
  return JSONWriter(out).write(*this);
}

std::optional<std::string> JSONValue::encodedData() const {
  std::string out;
  out.reserve(128);  // a usual answer at once
  if (!encodeInto(out)) return std::nullopt;
  return out;
}

// ---------------------------------------------------------------------------------------------
// Reading, without recursion

namespace {

// `text` is a number that the grammar accepted. Whatever locale the process has set, the decimal
// point is '.': the conversion uses a C locale of its own. The result is correctly rounded,
// infinite when the number lies beyond the range of a double.
double convertNumber(const std::string& text) {
  static const locale_t cLocale = ::newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  if (!cLocale) return std::nan("");  // no memory for a locale: the number cannot be read
  return ::strtod_l(text.c_str(), nullptr, cLocale);
}

class JSONReader {
 public:
  explicit JSONReader(std::string_view text)
      : bytes_(reinterpret_cast<const unsigned char*>(text.data())), size_(text.size()) {}

  std::variant<JSONValue, JSONReadError> read() {
    if (size_ == 0) return JSONReadError{"empty input"};
    JSONValue value;
    skipSpace();
    for (;;) {
      // A value starts here.
      if (position_ < size_ && (bytes_[position_] == '[' || bytes_[position_] == '{')) {
        const bool object = bytes_[position_] == '{';
        if (open_.size() == JSONValue::maxReadDepth) return failure("nesting too deep");
        ++position_;
        skipSpace();
        if (!consume(object ? '}' : ']')) {
          open(object);
          if (object && !readKey()) return failure(error_);
          continue;  // to the first element or member value
        }
        value = object ? JSONValue(JSONValue::Object()) : JSONValue(JSONValue::Array());
      } else if (!readScalar(value)) {
        return failure(error_);
      }
      // A value is complete: it goes into the innermost open container, which then goes on, ends
      // (completing another value) or is malformed.
      for (;;) {
        if (open_.empty()) {
          skipSpace();
          if (position_ != size_) return failure("text after the value");
          return value;
        }
        Open& open = open_.back();
        if (open.object) {
          open.members.emplace_back(std::move(open.key), std::move(value));
        } else {
          open.elements.push_back(std::move(value));
        }
        skipSpace();
        if (consume(',')) {
          skipSpace();
          if (open.object && !readKey()) return failure(error_);
          break;
        }
        if (!consume(open.object ? '}' : ']')) {
          return failure("expected ',' or the end of the container");
        }
        // The container is complete: its elements or members become its value.
        value = open.object ? JSONValue(JSONValue::Object::collect(std::move(open.members)))
                            : JSONValue(std::move(open.elements));
        open_.pop_back();
      }
    }
  }

 private:
  // A container being read: what it holds so far and, for an object, the key of the member
  // whose value is being read.
  struct Open {
    bool object = false;
    JSONValue::Array elements;
    std::vector<JSONValue::Object::value_type> members;
    std::string key;
  };

  // Opens a container, with room for a usual one's contents at once.
  void open(bool object) {
    constexpr std::size_t kUsualDepth = 8, kUsualSize = 4;
    if (open_.empty()) open_.reserve(kUsualDepth);
    open_.push_back(Open{object, {}, {}, {}});
    if (object) {
      open_.back().members.reserve(kUsualSize);
    } else {
      open_.back().elements.reserve(kUsualSize);
    }
  }

  JSONReadError failure(const char* what) const {
    return JSONReadError{std::string(what) + " at byte " + std::to_string(position_)};
  }
  bool fail(const char* what) {
    error_ = what;
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
    if (position_ < size_ && bytes_[position_] == static_cast<unsigned char>(c)) {
      ++position_;
      return true;
    }
    return false;
  }

  bool consumeWord(std::string_view word) noexcept {
    if (size_ - position_ < word.size() ||
        std::memcmp(bytes_ + position_, word.data(), word.size()) != 0) {
      return false;
    }
    position_ += word.size();
    return true;
  }

  // A key, its colon and the space up to its value; the key waits in its object for the value.
  bool readKey() {
    if (position_ >= size_ || bytes_[position_] != '"') return fail("expected a key");
    std::string& key = open_.back().key;
    key.clear();
    if (!readString(key)) return false;
    skipSpace();
    if (!consume(':')) return fail("expected ':'");
    skipSpace();
    return true;
  }

  bool readScalar(JSONValue& value) {
    if (position_ >= size_) return fail("expected a value");
    switch (bytes_[position_]) {
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
      default: {
        double number = 0;
        if (!readNumber(number)) return false;
        value = JSONValue(number);
        return true;
      }
    }
  }

  // The string whose opening quote is at the current position, unescaped, into `out`.
  bool readString(std::string& out) {
    std::size_t run = ++position_;  // the start of the bytes not yet copied
    for (std::size_t i = skipPlain(bytes_, run, size_);; i = skipPlain(bytes_, i, size_)) {
      if (i >= size_) return fail("unterminated string");
      const unsigned char c = bytes_[i];
      if (c == '"') {
        out.append(reinterpret_cast<const char*>(bytes_) + run, i - run);
        position_ = i + 1;
        return true;
      }
      if (c >= 0x80) {
        const std::size_t length = utf8SequenceLength(bytes_ + i, size_ - i);
        position_ = i;
        if (length == 0) return fail("invalid UTF-8");
        i += length;
        continue;
      }
      position_ = i;
      if (c < 0x20) return fail("control character in a string");
      out.append(reinterpret_cast<const char*>(bytes_) + run, i - run);
      if (!readEscape(out)) return false;
      i = run = position_;
    }
  }

  // The escape at the current position, into `out`; surrogates only as a high-low pair.
  bool readEscape(std::string& out) {
    if (size_ - position_ < 2) return fail("unterminated string");
    const char c = static_cast<char>(bytes_[position_ + 1]);
    position_ += 2;
    static constexpr std::string_view kLetters = "\"\\/bfnrt", kMeanings = "\"\\/\b\f\n\r\t";
    if (const std::size_t found = kLetters.find(c); found != std::string_view::npos) {
      out.push_back(kMeanings[found]);
      return true;
    }
    if (c != 'u') return fail("invalid escape");
    std::uint32_t codePoint = 0;
    if (!readHex(codePoint)) return false;
    if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) return fail("unpaired surrogate");
    if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
      std::uint32_t low = 0;
      if (!consumeWord("\\u") || !readHex(low)) return fail("unpaired surrogate");
      if (low < 0xDC00 || low > 0xDFFF) return fail("unpaired surrogate");
      codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
    }
    appendUTF8(out, codePoint);
    return true;
  }

  bool readHex(std::uint32_t& value) {
    if (size_ - position_ < 4) return fail("invalid escape");
    for (std::size_t k = 0; k < 4; ++k) {
      const int c = bytes_[position_ + k], lower = c | 0x20;
      const bool digit = c >= '0' && c <= '9', letter = lower >= 'a' && lower <= 'f';
      if (!digit && !letter) return fail("invalid escape");
      value = value * 16 + static_cast<std::uint32_t>(digit ? c - '0' : lower - 'a' + 10);
    }
    position_ += 4;
    return true;
  }

  bool isDigit(std::size_t i) const noexcept {
    return i < size_ && bytes_[i] >= '0' && bytes_[i] <= '9';
  }

  // A number by the grammar -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?, then converted.
  bool readNumber(double& number) {
    const std::size_t start = position_;
    std::size_t i = start;
    const bool negative = i < size_ && bytes_[i] == '-';
    if (negative) ++i;
    if (!isDigit(i)) return fail(negative ? "expected a digit" : "not a JSON value");
    if (bytes_[i++] != '0') {
      while (isDigit(i)) ++i;
    }
    const std::size_t integerDigits = i - start - (negative ? 1 : 0);
    bool whole = true;
    if (i < size_ && bytes_[i] == '.') {
      whole = false;
      if (!isDigit(++i)) return fail("expected a digit");
      while (isDigit(i)) ++i;
    }
    if (i < size_ && (bytes_[i] == 'e' || bytes_[i] == 'E')) {
      whole = false;
      if (++i < size_ && (bytes_[i] == '+' || bytes_[i] == '-')) ++i;
      if (!isDigit(i)) return fail("expected a digit");
      while (isDigit(i)) ++i;
    }
    // Integers of up to 15 digits are exact as doubles; everything else is rounded by the C
    // library's correctly rounding conversion.
    if (whole && integerDigits <= 15) {
      std::int64_t magnitude = 0;
      for (std::size_t k = i - integerDigits; k < i; ++k) {
        magnitude = magnitude * 10 + (bytes_[k] - '0');
      }
      number = negative ? -static_cast<double>(magnitude) : static_cast<double>(magnitude);
    } else {
      number = convertNumber(std::string(reinterpret_cast<const char*>(bytes_) + start, i - start));
      if (!std::isfinite(number)) return fail("number beyond the range of a double");
    }
    position_ = i;
    return true;
  }

  const unsigned char* bytes_;
  std::size_t size_;
  std::size_t position_ = 0;
  const char* error_ = "";
  // The containers open around the current position, innermost last.
  std::vector<Open> open_;
};

}  // namespace

std::variant<JSONValue, JSONReadError> JSONValue::decode(std::string_view bytes) {
  return JSONReader(bytes).read();
}

}  // namespace quill
