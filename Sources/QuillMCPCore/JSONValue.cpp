#include "JSONValue.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "LargeBuffer.h"

namespace quill {

// ---------------------------------------------------------------------------------------------
// Construction, lifetime, readers

JSONValue::JSONValue(std::string value) {
  if (value.size() <= ShortText::capacity) {
    setText(value, false);
  } else {
    storage_.emplace<StringPtr>(ownedText(std::move(value), false));
  }
}

void JSONValue::setText(std::string_view bytes, bool verbatim) {
  if (bytes.size() <= ShortText::capacity) {
    ShortText& text = storage_.emplace<ShortText>();
    std::memcpy(text.bytes, bytes.data(), bytes.size());
    text.size = static_cast<std::uint8_t>(bytes.size());
    text.verbatim = verbatim;
  } else {
    storage_.emplace<StringPtr>(ownedText(std::string(bytes), verbatim));
  }
}

JSONValue::StringPtr JSONValue::ownedText(std::string bytes, bool verbatim) {
  struct Owned {
    std::string storage;
    Text text;
  };
  auto owned = std::make_shared<Owned>(Owned{std::move(bytes), {}});
  owned->text = Text{owned->storage, verbatim};
  return StringPtr(owned, &owned->text);
}

JSONValue::StringPtr JSONValue::borrowedText(std::string_view bytes, const Backing& backing) {
  struct Borrowed {
    Backing backing;
    Text text;
  };
  auto borrowed = std::make_shared<Borrowed>(Borrowed{backing, Text{bytes, true}});
  return StringPtr(borrowed, &borrowed->text);
}

JSONValue::JSONValue(Array elements)
    : storage_(std::in_place_index<3>, std::make_shared<Array>(std::move(elements))) {}

JSONValue::JSONValue(Object members)
    : storage_(std::in_place_index<4>, std::make_shared<Object>(std::move(members))) {}

JSONValue::Object JSONValue::Object::collect(std::vector<value_type> members) {
  Object object;
  auto byKey = [](const value_type& a, const value_type& b) { return a.first < b.first; };
  // Usually the members come sorted already and the sort costs one pass; a few are put in order
  // in place, more with a merge sort. Both keep equal keys in their order.
  constexpr std::size_t kFew = 16;
  if (std::is_sorted(members.begin(), members.end(), byKey)) {
  } else if (members.size() <= kFew) {
    for (std::size_t i = 1; i < members.size(); ++i) {
      for (std::size_t j = i; j > 0 && byKey(members[j], members[j - 1]); --j) {
        std::swap(members[j], members[j - 1]);
      }
    }
  } else {
    std::stable_sort(members.begin(), members.end(), byKey);
  }
  // Of each run of equal keys, the last member wins.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
    if (kept != i) members[kept] = std::move(members[i]);
    ++kept;
  }
  members.erase(members.begin() + static_cast<std::ptrdiff_t>(kept), members.end());
  object.members_ = std::move(members);
  return object;
}

namespace {
// The first member whose key is not below `key`, in members sorted by key.
template <typename Members>
auto lowerBound(Members& members, std::string_view key) noexcept {
  return std::lower_bound(members.begin(), members.end(), key,
                          [](const auto& member, std::string_view k) { return member.first < k; });
}
}  // namespace

JSONValue::Object::const_iterator JSONValue::Object::find(std::string_view key) const noexcept {
  auto position = lowerBound(members_, key);
  return position != members_.end() && position->first == key ? position : end();
}

const JSONValue& JSONValue::Object::at(std::string_view key) const {
  auto position = find(key);
  if (position == end()) throw std::out_of_range("no member with this key");
  return position->second;
}

std::pair<JSONValue::Object::iterator, bool> JSONValue::Object::try_emplace(std::string key,
                                                                            JSONValue value) {
  auto position = lowerBound(members_, key);
  if (position != members_.end() && position->first == key) return {position, false};
  return {members_.emplace(position, std::move(key), std::move(value)), true};
}

std::pair<JSONValue::Object::iterator, bool> JSONValue::Object::insert_or_assign(std::string key,
                                                                                 JSONValue value) {
  auto position = lowerBound(members_, key);
  if (position != members_.end() && position->first == key) {
    position->second = std::move(value);
    return {position, false};
  }
  return {members_.emplace(position, std::move(key), std::move(value)), true};
}

JSONValue JSONValue::array(std::initializer_list<JSONValue> elements) {
  return JSONValue(Array(elements));
}

namespace {
[[noreturn]] void duplicateKey(std::string_view key) {
  std::string message = "Duplicate values for key: '";
  message.append(key);
  message.append("'\n");
  std::fwrite(message.data(), 1, message.size(), stderr);
  std::abort();
}
}  // namespace

JSONValue JSONValue::object(std::initializer_list<std::pair<std::string_view, JSONValue>> members) {
  Object object;
  for (const auto& [key, value] : members) {
    if (!object.emplace(std::string(key), value).second) duplicateKey(key);
  }
  return JSONValue(std::move(object));
}

JSONValue JSONValue::object(std::vector<std::pair<std::string, JSONValue>> members) {
  Object object;
  for (auto& [key, value] : members) {
    auto [position, inserted] = object.try_emplace(std::move(key), std::move(value));
    if (!inserted) duplicateKey(position->first);
  }
  return JSONValue(std::move(object));
}

JSONValue::JSONValue(JSONValue&& other) noexcept : storage_(std::move(other.storage_)) {
  other.storage_.emplace<std::monostate>();
}

JSONValue& JSONValue::operator=(JSONValue&& other) noexcept {
  if (this != &other) {
    JSONValue old(std::move(*this));
    storage_ = std::move(other.storage_);
    other.storage_.emplace<std::monostate>();
  }
  return *this;
}

// Containers waiting to be torn down: the first few on the stack, more in a vector.
class JSONValue::Pending {
 public:
  bool empty() const noexcept { return count_ == 0; }
  void push(JSONValue&& value) {
    if (count_ < kInline) {
      inline_[count_] = std::move(value);
    } else {
      spilled_.push_back(std::move(value));
    }
    ++count_;
  }
  JSONValue pop() noexcept {
    --count_;
    if (count_ < kInline) return std::move(inline_[count_]);
    JSONValue last = std::move(spilled_.back());
    spilled_.pop_back();
    return last;
  }

 private:
  static constexpr std::size_t kInline = 8;
  JSONValue inline_[kInline];
  std::size_t count_ = 0;
  std::vector<JSONValue> spilled_;
};

// Moves the children of a container that nobody else shares into `pending` and leaves this
// value null, so that deep trees are torn down by a loop instead of by recursion.
void JSONValue::releaseChildrenInto(Pending& pending) noexcept {
  if (auto* array = std::get_if<ArrayPtr>(&storage_)) {
    if (*array && array->use_count() == 1) {
      for (auto& element : **array) {
        if (element.kind() == Kind::array || element.kind() == Kind::object) {
          pending.push(std::move(element));
        }
      }
    }
  } else if (auto* object = std::get_if<ObjectPtr>(&storage_)) {
    if (*object && object->use_count() == 1) {
      for (auto& [key, value] : **object) {
        if (value.kind() == Kind::array || value.kind() == Kind::object) {
          pending.push(std::move(value));
        }
      }
    }
  }
  storage_.emplace<std::monostate>();
}

JSONValue::~JSONValue() {
  // Only a container that nobody else shares has children to tear down.
  long owners = 0;
  if (auto* array = std::get_if<ArrayPtr>(&storage_)) {
    owners = array->use_count();
  } else if (auto* object = std::get_if<ObjectPtr>(&storage_)) {
    owners = object->use_count();
  }
  if (owners != 1) return;
  Pending pending;
  releaseChildrenInto(pending);
  while (!pending.empty()) pending.pop().releaseChildrenInto(pending);
}

std::optional<bool> JSONValue::boolValue() const noexcept {
  if (auto* value = std::get_if<bool>(&storage_)) return *value;
  return std::nullopt;
}

std::optional<double> JSONValue::numberValue() const noexcept {
  if (auto* value = std::get_if<double>(&storage_)) return *value;
  return std::nullopt;
}

std::optional<std::int64_t> JSONValue::intValue() const noexcept {
  auto number = numberValue();
  if (!number || !std::isfinite(*number)) return std::nullopt;
  const double truncated = std::trunc(*number);
  // [-2^63, 2^63) is exactly representable at both ends.
  if (truncated < -9223372036854775808.0 || truncated >= 9223372036854775808.0) return std::nullopt;
  return static_cast<std::int64_t>(truncated);
}

std::optional<std::string_view> JSONValue::stringValue() const noexcept {
  if (auto* value = std::get_if<StringPtr>(&storage_)) return (*value)->bytes;
  if (auto* text = std::get_if<ShortText>(&storage_))
    return std::string_view(text->bytes, text->size);
  return std::nullopt;
}

const JSONValue::Array* JSONValue::arrayValue() const noexcept {
  if (auto* value = std::get_if<ArrayPtr>(&storage_)) return value->get();
  if (std::holds_alternative<WrittenPtr>(storage_)) return readFromText().arrayValue();
  return nullptr;
}

const JSONValue::Object* JSONValue::objectValue() const noexcept {
  if (auto* value = std::get_if<ObjectPtr>(&storage_)) return value->get();
  if (std::holds_alternative<WrittenPtr>(storage_)) return readFromText().objectValue();
  return nullptr;
}

struct JSONValue::Written {
  Kind kind;  // array or object
  std::string text;
  mutable std::once_flag once;
  mutable JSONValue value;
};

JSONValue::Kind JSONValue::textKind() const noexcept {
  return std::get<WrittenPtr>(storage_)->kind;
}

const JSONValue& JSONValue::readFromText() const noexcept {
  const Written& written = *std::get<WrittenPtr>(storage_);
  std::call_once(written.once, [&written] {
    auto decoded = decode(written.text);
    if (auto* value = std::get_if<JSONValue>(&decoded)) {
      written.value = std::move(*value);
    } else {
      // The text was written by this program and reads back; only a lack of memory gets here.
      written.value = written.kind == Kind::array ? JSONValue(Array{}) : JSONValue(Object{});
    }
  });
  return written.value;
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

std::optional<JSONValue> JSONValue::operator[](std::int64_t index) const {
  const Array* array = arrayValue();
  if (!array || index < 0 || static_cast<std::uint64_t>(index) >= array->size()) {
    return std::nullopt;
  }
  return (*array)[static_cast<std::size_t>(index)];
}

// ---------------------------------------------------------------------------------------------
// Equality, without recursion. Copies share storage, but there is no shortcut for that: a NaN
// inside makes a value unequal even to its own copy.

bool operator==(const JSONValue& lhs, const JSONValue& rhs) {
  using Kind = JSONValue::Kind;
  std::vector<std::pair<const JSONValue*, const JSONValue*>> pending{{&lhs, &rhs}};
  while (!pending.empty()) {
    auto [a, b] = pending.back();
    pending.pop_back();
    if (a->kind() != b->kind()) return false;
    switch (a->kind()) {
      case Kind::null:
        break;
      case Kind::boolean:
        if (*a->boolValue() != *b->boolValue()) return false;
        break;
      case Kind::number:
        if (!(*a->numberValue() == *b->numberValue())) return false;
        break;
      case Kind::string:
        if (*a->stringValue() != *b->stringValue()) return false;
        break;
      case Kind::array: {
        const auto* x = a->arrayValue();
        const auto* y = b->arrayValue();
        if (x->size() != y->size()) return false;
        for (std::size_t i = 0; i < x->size(); ++i) pending.emplace_back(&(*x)[i], &(*y)[i]);
        break;
      }
      case Kind::object: {
        const auto* x = a->objectValue();
        const auto* y = b->objectValue();
        if (x->size() != y->size()) return false;
        for (auto i = x->begin(), j = y->begin(); i != x->end(); ++i, ++j) {
          if (i->first != j->first) return false;
          pending.emplace_back(&i->second, &j->second);
        }
        break;
      }
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Writing, without recursion

class JSONWriter {
 public:
  explicit JSONWriter(std::string& out, std::vector<JSONValue::Splice>* splices = nullptr)
      : out_(out), splices_(splices) {}

  std::string& out() noexcept { return out_; }

  bool write(const JSONValue& root) {
    const std::size_t start = out_.size();
    const std::size_t splicesStart = splices_ ? splices_->size() : 0;
    if (!writeTree(root)) {
      out_.resize(start);
      if (splices_) splices_->resize(splicesStart);
      return false;
    }
    return true;
  }

 private:
  struct Frame {
    const JSONValue::Array* array = nullptr;
    std::size_t index = 0;
    const JSONValue::Object* object = nullptr;
    JSONValue::Object::const_iterator member;
  };

  bool writeTree(const JSONValue& root) {
    std::vector<Frame> stack;
    const JSONValue* next = &root;
    for (;;) {
      if (next) {
        if (!openOrWriteScalar(*next, stack)) return false;
        next = nullptr;
        continue;
      }
      if (stack.empty()) return true;
      Frame& frame = stack.back();
      if (frame.array) {
        if (frame.index == frame.array->size()) {
          out_.push_back(']');
          stack.pop_back();
          continue;
        }
        if (frame.index > 0) out_.push_back(',');
        next = &(*frame.array)[frame.index++];
      } else {
        if (frame.member == frame.object->end()) {
          out_.push_back('}');
          stack.pop_back();
          continue;
        }
        if (frame.member != frame.object->begin()) out_.push_back(',');
        writeString(frame.member->first);
        out_.push_back(':');
        next = &frame.member->second;
        ++frame.member;
      }
    }
  }

  bool openOrWriteScalar(const JSONValue& value, std::vector<Frame>& stack) {
    if (auto* written = std::get_if<JSONValue::WrittenPtr>(&value.storage_)) {
      out_.append((*written)->text);
      return true;
    }
    switch (value.kind()) {
      case JSONValue::Kind::null:
        out_.append("null");
        return true;
      case JSONValue::Kind::boolean:
        out_.append(*value.boolValue() ? "true" : "false");
        return true;
      case JSONValue::Kind::number:
        return writeNumber(*value.numberValue());
      case JSONValue::Kind::string: {
        bool verbatim = false;
        if (auto* text = std::get_if<JSONValue::StringPtr>(&value.storage_)) {
          verbatim = (*text)->verbatim;
        } else if (auto* shortText = std::get_if<JSONValue::ShortText>(&value.storage_)) {
          verbatim = shortText->verbatim;
        }
        if (verbatim) {
          writeVerbatim(*value.stringValue());
        } else {
          writeString(*value.stringValue());
        }
        return true;
      }
      case JSONValue::Kind::array: {
        if (value.arrayValue()->empty()) {
          out_.append("[]");
          return true;
        }
        out_.push_back('[');
        Frame frame;
        frame.array = value.arrayValue();
        stack.push_back(frame);
        return true;
      }
      case JSONValue::Kind::object: {
        if (value.objectValue()->empty()) {
          out_.append("{}");
          return true;
        }
        out_.push_back('{');
        Frame frame;
        frame.object = value.objectValue();
        frame.member = frame.object->begin();
        stack.push_back(frame);
        return true;
      }
    }
    return false;
  }

 public:
  bool writeNumber(double number) {
    if (!std::isfinite(number)) return false;
    char digits[32];
    std::to_chars_result result;
    if (number == std::trunc(number) && std::fabs(number) < 9007199254740992.0) {
      // Whole and exact: a plain integer (negative zero becomes 0).
      result = std::to_chars(digits, digits + sizeof digits, static_cast<std::int64_t>(number));
    } else {
      result = std::to_chars(digits, digits + sizeof digits, number);
    }
    out_.append(digits, result.ptr);
    return true;
  }

 private:
  // True when any of the 8 bytes is a control character, '"', '\\' or not ASCII.
  static bool needsCare(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    constexpr std::uint64_t highs = 0x8080808080808080ull;
    const std::uint64_t quote = word ^ (ones * '"');
    const std::uint64_t backslash = word ^ (ones * '\\');
    const std::uint64_t control = (word - ones * 0x20) & ~word;
    return (((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | control | word) & highs;
  }

  // Bytes written as they are inside a string: printable ASCII but for '"' and '\\'.
  static constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x80; ++c) plain[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    return plain;
  }();

  // The length of the longest prefix that is written as it is.
  static std::size_t plainPrefix(const unsigned char* bytes, std::size_t size) {
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i, sizeof word);
      if (needsCare(word)) break;
    }
    while (i < size && kPlain[bytes[i]]) ++i;
    return i;
  }

 public:
  // Room for `size` more bytes and what usually follows them (closing brackets, the members after a
  // long string, a line feed), growing geometrically, so that a long text is copied only once.
  void reserveFor(std::size_t size) {
    constexpr std::size_t kTail = 256;
    const std::size_t needed = out_.size() + size;
    if (out_.capacity() < needed) {
      out_.reserve(std::max(needed + kTail, 2 * out_.capacity()));
      adviseLargeBuffer(out_.data(), out_.capacity());
    }
  }

  // A string whose text needs no escape and no replacement.
  void writeVerbatim(std::string_view text) {
    if (splices_ && text.size() >= JSONValue::minSplicedStringBytes) {
      out_.push_back('"');
      splices_->push_back({out_.size(), text});
      out_.push_back('"');
      return;
    }
    // A short one, quotes and all, in one step.
    constexpr std::size_t kShort = 62;
    if (text.size() <= kShort) {
      char quoted[kShort + 2];
      quoted[0] = '"';
      std::memcpy(quoted + 1, text.data(), text.size());
      quoted[text.size() + 1] = '"';
      out_.append(quoted, text.size() + 2);
      return;
    }
    reserveFor(text.size() + 2);
    out_.push_back('"');
    out_.append(text);
    out_.push_back('"');
  }

  void writeString(std::string_view text) {
    const std::size_t size = text.size();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = plainPrefix(bytes, size);
    // Room for the whole string, growing geometrically.
    if (i == size) {
      writeVerbatim(text);
      return;
    }
    reserveFor(size + 2 + size / 16 + 16);
    out_.push_back('"');
    std::size_t runStart = 0;
    while (i < size) {
      if (i + 8 <= size) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, sizeof word);
        if (!needsCare(word)) {
          i += 8;
          continue;
        }
      }
      const unsigned char c = bytes[i];
      if (kPlain[c]) {
        ++i;
        continue;
      }
      if (c >= 0x80) {
        const std::size_t length = validSequenceLength(bytes + i, size - i);
        if (length > 0) {
          i += length;
          continue;
        }
        out_.append(text.data() + runStart, i - runStart);
        out_.append("\xEF\xBF\xBD");  // U+FFFD REPLACEMENT CHARACTER
        ++i;
        runStart = i;
        continue;
      }
      out_.append(text.data() + runStart, i - runStart);
      writeEscape(c);
      ++i;
      runStart = i;
    }
    out_.append(text.data() + runStart, size - runStart);
    out_.push_back('"');
  }

 private:
  void writeEscape(unsigned char c) {
    switch (c) {
      case '"':
        out_.append("\\\"");
        return;
      case '\\':
        out_.append("\\\\");
        return;
      case '\b':
        out_.append("\\b");
        return;
      case '\f':
        out_.append("\\f");
        return;
      case '\n':
        out_.append("\\n");
        return;
      case '\r':
        out_.append("\\r");
        return;
      case '\t':
        out_.append("\\t");
        return;
      default: {
        static constexpr char hex[] = "0123456789abcdef";
        const char escape[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
        out_.append(escape, sizeof escape);
      }
    }
  }

  // Length of the well-formed UTF-8 sequence starting at `s` (lead byte >= 0x80), or 0.
  static std::size_t validSequenceLength(const unsigned char* s, std::size_t available) {
    const unsigned char lead = s[0];
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return 0;
    }
    if (available < length) return 0;
    if (s[1] < low || s[1] > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
      if (s[k] < 0x80 || s[k] > 0xBF) return 0;
    }
    return length;
  }

  std::string& out_;
  std::vector<JSONValue::Splice>* splices_;
};

// ---------------------------------------------------------------------------------------------
// Reading

struct JSONReader {
  using Error = simdjson::error_code;

  // A member of an object whose text is being written: its key and where its text lies.
  struct MemberText {
    std::string_view key;
    std::size_t begin;
    std::size_t end;
  };

  // Room a reading works in and hands back when it ends, so that the next reading on this thread
  // starts with it (a reading started while another runs gets room of its own). What a hostile
  // text made large is not kept.
  struct Scratch {
    // The members of the objects being written as text, innermost last.
    std::vector<MemberText> keys;
    // The members of the objects being read into values, innermost last.
    std::vector<JSONValue::Object::value_type> members;
    // The text of the container being kept as text.
    std::string text;

    static constexpr std::size_t kKeptKeys = 1024;
    static constexpr std::size_t kKeptMembers = 1024;
    static constexpr std::size_t kKeptTextBytes = 64 * 1024;

    void clearForReuse() {
      keys.clear();
      if (keys.capacity() > kKeptKeys) std::vector<MemberText>().swap(keys);
      members.clear();  // they may hold values that keep a large input alive
      if (members.capacity() > kKeptMembers) {
        std::vector<JSONValue::Object::value_type>().swap(members);
      }
      text.clear();
      if (text.capacity() > kKeptTextBytes) std::string().swap(text);
    }
  };

  // What one reading needs besides the document.
  struct Context {
   private:
    std::optional<Scratch> own_;  // room of its own, when the thread's is taken

   public:
    const JSONValue::Backing& backing;
    // Containers at this depth or deeper are kept as text; 0 for never.
    std::size_t textFromDepth;
    Scratch& scratch;

    bool keepsAsText(std::size_t depth) const {
      return textFromDepth != 0 && depth >= textFromDepth;
    }

    Context(const JSONValue::Backing& readBacking, std::size_t readTextFromDepth)
        : backing(readBacking), textFromDepth(readTextFromDepth), scratch(borrowScratch(own_)) {}
    ~Context() {
      if (own_) return;
      scratch.clearForReuse();  // values in it may keep a large input alive
      spare().inUse = false;
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

   private:
    struct Spare {
      Scratch scratch;
      bool inUse = false;
    };
    static Spare& spare() {
      thread_local Spare kept;
      return kept;
    }
    // The thread's kept room, or, while another reading uses it, room of this reading's own.
    static Scratch& borrowScratch(std::optional<Scratch>& own) {
      Spare& kept = spare();
      if (!kept.inUse) {
        kept.inUse = true;
        return kept.scratch;
      }
      return own.emplace();
    }
  };

  // When a value's text holds no escape, its bytes are its text: the reader has already checked
  // the whole input for valid UTF-8 and for raw control characters. Only text that went through
  // escapes needs checking again, since the reader lets escapes of lone surrogates through as
  // invalid UTF-8.
  static bool validUTF8(std::string_view text) {
    return simdjson::validate_utf8(text.data(), text.size());
  }

  // The text of a string token without escapes, or nothing. `token` runs from the opening quote
  // to the next token. Without a backslash there is no quote inside either: an unescaped one
  // would have ended the string.
  static std::optional<std::string_view> plainText(std::string_view token) {
    while (!token.empty() && (token.back() == ' ' || token.back() == '\t' || token.back() == '\n' ||
                              token.back() == '\r')) {
      token.remove_suffix(1);
    }
    if (token.size() < 2 || token.front() != '"' || token.back() != '"') return std::nullopt;
    const std::string_view text = token.substr(1, token.size() - 2);
    if (std::memchr(text.data(), '\\', text.size())) return std::nullopt;
    return text;
  }

  // Text without escapes, from input already checked for valid UTF-8 and raw control characters,
  // is written back as it stands. A long one points into the backing buffer when there is one.
  static Error readString(simdjson::ondemand::value& value, JSONValue* out, Context& context) {
    if (auto text = plainText(value.raw_json_token())) {
      if (!out) return simdjson::SUCCESS;
      if (context.backing && text->size() >= JSONValue::minBorrowedStringBytes) {
        out->storage_.emplace<JSONValue::StringPtr>(
            JSONValue::borrowedText(*text, context.backing));
      } else {
        out->setText(*text, true);
      }
      return simdjson::SUCCESS;
    }
    std::string_view text;
    if (auto error = value.get_string().get(text)) return error;
    if (!validUTF8(text)) return simdjson::STRING_ERROR;
    if (out) out->setText(text, false);
    return simdjson::SUCCESS;
  }

  // A member's key, valid while the document is read: it lies in the input, or, when it had
  // escapes, in the parser's buffer of unescaped strings, which only grows during one reading.
  // `plain` tells whether the key was written without escapes.
  static Error readKey(simdjson::ondemand::field& field, std::string_view& key,
                       bool* plain = nullptr) {
    // The raw key is the input from after its opening quote; the input is known to close it.
    const char* raw = field.key().raw();
    const char* end = raw;
    while (*end != '"' && *end != '\\') ++end;
    if (plain) *plain = *end == '"';
    if (*end == '"') {
      key = std::string_view(raw, static_cast<std::size_t>(end - raw));
      return simdjson::SUCCESS;
    }
    if (auto error = field.unescaped_key().get(key)) return error;
    return validUTF8(key) ? simdjson::SUCCESS : simdjson::STRING_ERROR;
  }

  // ---- Containers kept as text ------------------------------------------------------------
  // The reading of a container writes its compact text straight away, by the writer's rules, and
  // checks it as the reading of a value does. Members go out in the order they come; an object
  // whose keys do not come strictly ascending is put in order (the last of equal keys kept) once
  // its end is reached.

  template <typename Container>
  static Error keepAsText(Container& container, std::size_t depth, JSONValue& out,
                          Context& context) {
    // The text is written in the reading's room and then copied once, at its size, into the
    // value: a kept text is usually short, and many of them should not each keep spare room.
    std::string& text = context.scratch.text;
    text.clear();
    JSONWriter writer(text);
    Error error;
    if constexpr (std::is_same_v<Container, simdjson::ondemand::array>) {
      error = writeArray(container, depth, writer, context);
    } else {
      error = writeObject(container, depth, writer, context);
    }
    if (error) return error;
    auto written = std::make_shared<JSONValue::Written>();
    written->kind = std::is_same_v<Container, simdjson::ondemand::array> ? JSONValue::Kind::array
                                                                         : JSONValue::Kind::object;
    written->text.assign(text);
    out.storage_.emplace<JSONValue::WrittenPtr>(std::move(written));
    return simdjson::SUCCESS;
  }

  static Error writeValue(simdjson::ondemand::value value, std::size_t depth, JSONWriter& writer,
                          Context& context) {
    simdjson::ondemand::json_type type;
    if (auto error = value.type().get(type)) return error;
    std::string& out = writer.out();
    switch (type) {
      case simdjson::ondemand::json_type::null: {
        bool isNull = false;
        if (auto error = value.is_null().get(isNull)) return error;
        if (!isNull) return simdjson::N_ATOM_ERROR;
        out.append("null");
        return simdjson::SUCCESS;
      }
      case simdjson::ondemand::json_type::boolean: {
        bool flag = false;
        if (auto error = value.get_bool().get(flag)) return error;
        out.append(flag ? "true" : "false");
        return simdjson::SUCCESS;
      }
      case simdjson::ondemand::json_type::number: {
        double number = 0;
        if (auto error = value.get_double().get(number)) return error;
        writer.writeNumber(number);  // always finite: the reader refuses numbers beyond a double
        return simdjson::SUCCESS;
      }
      case simdjson::ondemand::json_type::string: {
        if (auto text = plainText(value.raw_json_token())) {
          writer.writeVerbatim(*text);
          return simdjson::SUCCESS;
        }
        std::string_view text;
        if (auto error = value.get_string().get(text)) return error;
        if (!validUTF8(text)) return simdjson::STRING_ERROR;
        writer.writeString(text);
        return simdjson::SUCCESS;
      }
      case simdjson::ondemand::json_type::array: {
        if (depth > JSONValue::maxReadDepth) return simdjson::DEPTH_ERROR;
        simdjson::ondemand::array array;
        if (auto error = value.get_array().get(array)) return error;
        return writeArray(array, depth, writer, context);
      }
      case simdjson::ondemand::json_type::object: {
        if (depth > JSONValue::maxReadDepth) return simdjson::DEPTH_ERROR;
        simdjson::ondemand::object object;
        if (auto error = value.get_object().get(object)) return error;
        return writeObject(object, depth, writer, context);
      }
    }
    return simdjson::INCORRECT_TYPE;
  }

  static Error writeArray(simdjson::ondemand::array& array, std::size_t depth, JSONWriter& writer,
                          Context& context) {
    std::string& out = writer.out();
    out.push_back('[');
    bool first = true;
    for (auto element : array) {
      simdjson::ondemand::value value;
      if (auto error = element.get(value)) return error;
      if (!first) out.push_back(',');
      first = false;
      if (auto error = writeValue(value, depth + 1, writer, context)) return error;
    }
    out.push_back(']');
    return simdjson::SUCCESS;
  }

  static Error writeObject(simdjson::ondemand::object& object, std::size_t depth,
                           JSONWriter& writer, Context& context) {
    std::string& out = writer.out();
    auto& members = context.scratch.keys;
    const std::size_t first = members.size();
    const std::size_t start = out.size();
    out.push_back('{');
    bool ordered = true;
    for (auto result : object) {
      simdjson::ondemand::field field;
      if (auto error = std::move(result).get(field)) return error;
      std::string_view key;
      bool plain = false;
      if (auto error = readKey(field, key, &plain)) return error;
      if (members.size() > first) {
        if (!(members.back().key < key)) ordered = false;
        out.push_back(',');
      }
      const std::size_t begin = out.size();
      if (plain) {
        writer.writeVerbatim(key);
      } else {
        writer.writeString(key);
      }
      out.push_back(':');
      if (auto error = writeValue(field.value(), depth + 1, writer, context)) return error;
      members.push_back({key, begin, out.size()});
    }
    if (!ordered) putInOrder(out, start + 1, members, first);
    members.resize(first);
    out.push_back('}');
    return simdjson::SUCCESS;
  }

  // Rewrites the members written from `from` on, listed in members[first...], sorted by key, with
  // only the last of equal keys.
  static void putInOrder(std::string& out, std::size_t from, std::vector<MemberText>& members,
                         std::size_t first) {
    auto begin = members.begin() + static_cast<std::ptrdiff_t>(first);
    std::stable_sort(begin, members.end(),
                     [](const MemberText& a, const MemberText& b) { return a.key < b.key; });
    std::string ordered;
    ordered.reserve(out.size() - from);
    for (auto member = begin; member != members.end(); ++member) {
      if (member + 1 != members.end() && (member + 1)->key == member->key) continue;
      if (!ordered.empty()) ordered.push_back(',');
      ordered.append(out, member->begin, member->end - member->begin);
    }
    out.replace(from, out.size() - from, ordered);
  }

  // Reads one value into `out`, or only reads and checks it when `out` is null. `depth` is the
  // nesting depth the value has if it is an array or an object (the top-level value is at depth
  // 1). Only containers count: a scalar inside the deepest allowed container reads. The limit is
  // checked before the parser enters the container.
  static Error readValue(simdjson::ondemand::value value, std::size_t depth, JSONValue* out,
                         Context& context) {
    simdjson::ondemand::json_type type;
    if (auto error = value.type().get(type)) return error;
    switch (type) {
      case simdjson::ondemand::json_type::null: {
        bool isNull = false;
        if (auto error = value.is_null().get(isNull)) return error;
        if (!isNull) return simdjson::N_ATOM_ERROR;
        if (out) *out = JSONValue();
        return simdjson::SUCCESS;
      }
      case simdjson::ondemand::json_type::boolean: {
        bool flag = false;
        if (auto error = value.get_bool().get(flag)) return error;
        if (out) *out = JSONValue(flag);
        return simdjson::SUCCESS;
      }
      case simdjson::ondemand::json_type::number: {
        double number = 0;
        if (auto error = value.get_double().get(number)) return error;
        if (out) *out = JSONValue(number);
        return simdjson::SUCCESS;
      }
      case simdjson::ondemand::json_type::string:
        return readString(value, out, context);
      case simdjson::ondemand::json_type::array: {
        if (depth > JSONValue::maxReadDepth) return simdjson::DEPTH_ERROR;
        simdjson::ondemand::array array;
        if (auto error = value.get_array().get(array)) return error;
        if (out && context.keepsAsText(depth)) return keepAsText(array, depth, *out, context);
        return readArray(array, depth, out, context);
      }
      case simdjson::ondemand::json_type::object: {
        if (depth > JSONValue::maxReadDepth) return simdjson::DEPTH_ERROR;
        simdjson::ondemand::object object;
        if (auto error = value.get_object().get(object)) return error;
        if (out && context.keepsAsText(depth)) return keepAsText(object, depth, *out, context);
        return readObject(object, depth, out, context);
      }
    }
    return simdjson::INCORRECT_TYPE;
  }

  static Error readArray(simdjson::ondemand::array& array, std::size_t depth, JSONValue* out,
                         Context& context) {
    JSONValue::Array elements;
    for (auto element : array) {
      simdjson::ondemand::value value;
      if (auto error = element.get(value)) return error;
      JSONValue item;
      if (auto error = readValue(value, depth + 1, out ? &item : nullptr, context)) return error;
      if (out) elements.push_back(std::move(item));
    }
    if (out) *out = JSONValue(std::move(elements));
    return simdjson::SUCCESS;
  }

  static Error readObject(simdjson::ondemand::object& object, std::size_t depth, JSONValue* out,
                          Context& context) {
    // Members gather in the reading's room (an inner object's above this one's, gone again before
    // this one goes on), and the object gets them in one allocation of their number.
    auto& members = context.scratch.members;
    const std::size_t first = members.size();
    for (auto result : object) {
      simdjson::ondemand::field field;
      if (auto error = std::move(result).get(field)) return error;
      std::string_view key;
      if (auto error = readKey(field, key)) return error;
      std::string keyCopy = out ? std::string(key) : std::string();
      JSONValue item;
      if (auto error = readValue(field.value(), depth + 1, out ? &item : nullptr, context)) {
        return error;
      }
      if (out) members.emplace_back(std::move(keyCopy), std::move(item));
    }
    if (!out) return simdjson::SUCCESS;
    std::vector<JSONValue::Object::value_type> own;
    if (first == 0 && members.size() > Scratch::kKeptMembers) {
      own = std::move(members);  // a large object takes the room itself rather than a copy
      members = {};
    } else {
      const auto begin = members.begin() + static_cast<std::ptrdiff_t>(first);
      own.assign(std::make_move_iterator(begin), std::make_move_iterator(members.end()));
      members.erase(begin, members.end());
    }
    // With a key given twice, the last occurrence wins.
    *out = JSONValue(JSONValue::Object::collect(std::move(own)));
    return simdjson::SUCCESS;
  }

  // The top-level object, keeping only the values of the members named in `keys`.
  static Error readSelectedMembers(simdjson::ondemand::object& object,
                                   std::span<const std::string_view> keys,
                                   std::span<std::optional<JSONValue>> values, Context& context) {
    for (auto result : object) {
      simdjson::ondemand::field field;
      if (auto error = std::move(result).get(field)) return error;
      std::string_view key;
      if (auto error = readKey(field, key)) return error;
      std::size_t slot = 0;
      while (slot < keys.size() && keys[slot] != key) ++slot;
      if (slot == keys.size()) {
        if (auto error = readValue(field.value(), 2, nullptr, context)) return error;
        continue;
      }
      JSONValue item;
      if (auto error = readValue(field.value(), 2, &item, context)) return error;
      values[slot] = std::move(item);  // with a key given twice, the last occurrence wins
    }
    return simdjson::SUCCESS;
  }

  // Reads the whole document. With `keys`, a top-level object is not built: its selected members
  // go to `values`. `kind` receives the kind of the top-level value.
  static Error readDocument(simdjson::ondemand::document& document, JSONValue* out,
                            std::span<const std::string_view> keys,
                            std::span<std::optional<JSONValue>> values, JSONValue::Kind& kind,
                            Context& context) {
    simdjson::ondemand::json_type type;
    if (auto error = document.type().get(type)) return error;
    Error error = simdjson::SUCCESS;
    switch (type) {
      case simdjson::ondemand::json_type::null: {
        kind = JSONValue::Kind::null;
        bool isNull = false;
        error = document.is_null().get(isNull);
        if (!error && !isNull) error = simdjson::N_ATOM_ERROR;
        if (!error && out) *out = JSONValue();
        break;
      }
      case simdjson::ondemand::json_type::boolean: {
        kind = JSONValue::Kind::boolean;
        bool flag = false;
        error = document.get_bool().get(flag);
        if (!error && out) *out = JSONValue(flag);
        break;
      }
      case simdjson::ondemand::json_type::number: {
        kind = JSONValue::Kind::number;
        double number = 0;
        error = document.get_double().get(number);
        if (!error && out) *out = JSONValue(number);
        break;
      }
      case simdjson::ondemand::json_type::string: {
        kind = JSONValue::Kind::string;
        std::string_view text;
        error = document.get_string().get(text);
        if (!error && !validUTF8(text)) error = simdjson::STRING_ERROR;
        if (!error && out) *out = JSONValue(std::string(text));
        break;
      }
      case simdjson::ondemand::json_type::array: {
        kind = JSONValue::Kind::array;
        simdjson::ondemand::array array;
        error = document.get_array().get(array);
        if (!error) {
          error = out && context.keepsAsText(1) ? keepAsText(array, 1, *out, context)
                                                : readArray(array, 1, out, context);
        }
        break;
      }
      case simdjson::ondemand::json_type::object: {
        kind = JSONValue::Kind::object;
        simdjson::ondemand::object object;
        error = document.get_object().get(object);
        if (!error) {
          if (!out) {
            error = readSelectedMembers(object, keys, values, context);
          } else if (context.keepsAsText(1)) {
            error = keepAsText(object, 1, *out, context);
          } else {
            error = readObject(object, 1, out, context);
          }
        }
        break;
      }
    }
    if (error) return error;
    // Anything left after the value is trailing content: the location is valid only then.
    if (!document.current_location().error()) return simdjson::TRAILING_CONTENT;
    return simdjson::SUCCESS;
  }
};

namespace {

// A parser keeps buffers sized for the largest text it has read. One is kept for small texts so
// that the common case allocates nothing; a large text gets a parser of its own that is freed
// afterwards, so a single huge request does not pin its memory for the life of the process.
constexpr std::size_t kRetainedParserCapacity = 64 * 1024;

// The parser's own depth limit must lie beyond ours, so that `readValue` refuses a text before the
// parser runs out: with its internal checks on (unoptimised builds) running out stops the
// process. The parser indexes its per-depth slots from 0 with the top-level value at 1, so
// containers as deep as `maxReadDepth` need one slot more.
constexpr std::size_t kParserMaxDepth = JSONValue::maxReadDepth + 1;

simdjson::ondemand::parser& smallTextParser() {
  thread_local simdjson::ondemand::parser parser;
  return parser;
}

// Containers are kept as text only in short texts: in a long one, long strings are better left
// where they lie than copied into text.
std::size_t textDepthFor(std::string_view bytes, std::size_t textFromDepth) {
  return bytes.size() < JSONValue::minSplicedStringBytes ? textFromDepth : 0;
}

std::string describe(simdjson::error_code error) {
  if (error == simdjson::INCORRECT_TYPE || error == simdjson::N_ATOM_ERROR ||
      error == simdjson::T_ATOM_ERROR || error == simdjson::F_ATOM_ERROR) {
    return "not a JSON value";
  }
  return simdjson::error_message(error);
}

// Sets up the reader for `bytes` and reads the document with `read`.
template <typename Read>
simdjson::error_code withDocument(std::string_view bytes, std::size_t readableBytes, Read read) {
  if (bytes.empty()) return simdjson::EMPTY;
  // The reader may look up to SIMDJSON_PADDING bytes past the end of the text: read in place when
  // the caller's buffer extends that far, else from a padded copy (a retained one for small texts).
  simdjson::padded_string_view input;
  simdjson::padded_string ownCopy;
  thread_local std::unique_ptr<char[]> smallCopy;
  if (readableBytes >= bytes.size() + simdjson::SIMDJSON_PADDING) {
    input = simdjson::padded_string_view(bytes.data(), bytes.size(), readableBytes);
  } else if (bytes.size() <= kRetainedParserCapacity) {
    if (!smallCopy) smallCopy.reset(new char[kRetainedParserCapacity + simdjson::SIMDJSON_PADDING]);
    std::memcpy(smallCopy.get(), bytes.data(), bytes.size());
    std::memset(smallCopy.get() + bytes.size(), 0, simdjson::SIMDJSON_PADDING);
    input = simdjson::padded_string_view(smallCopy.get(), bytes.size(),
                                         bytes.size() + simdjson::SIMDJSON_PADDING);
  } else {
    ownCopy = simdjson::padded_string(bytes);
    input = simdjson::padded_string_view(ownCopy.data(), ownCopy.size(),
                                         ownCopy.size() + simdjson::SIMDJSON_PADDING);
  }
  std::unique_ptr<simdjson::ondemand::parser> ownParser;
  simdjson::ondemand::parser* parser = &smallTextParser();
  if (bytes.size() > kRetainedParserCapacity) {
    ownParser = std::make_unique<simdjson::ondemand::parser>();
    parser = ownParser.get();
  }
  if (parser->max_depth() != kParserMaxDepth || parser->capacity() < bytes.size()) {
    const std::size_t capacity = std::max(parser->capacity(), bytes.size());
    if (auto error = parser->allocate(capacity, kParserMaxDepth)) return error;
  }
  simdjson::ondemand::document document;
  if (auto error = parser->iterate(input).get(document)) return error;
  return read(document);
}

}  // namespace

std::variant<JSONValue, JSONReadError> JSONValue::decode(std::string_view bytes) {
  return decode(bytes, bytes.size());
}

std::variant<JSONValue, JSONReadError> JSONValue::decode(std::string_view bytes,
                                                         std::size_t readableBytes,
                                                         const Backing& backing,
                                                         std::size_t textFromDepth) {
  if (bytes.empty()) return JSONReadError{"empty input"};
  JSONValue value;
  auto error = withDocument(bytes, readableBytes, [&](simdjson::ondemand::document& document) {
    Kind kind;
    JSONReader::Context context(backing, textDepthFor(bytes, textFromDepth));
    return JSONReader::readDocument(document, &value, {}, {}, kind, context);
  });
  if (error) return JSONReadError{describe(error)};
  return value;
}

std::variant<JSONValue::Kind, JSONReadError> JSONValue::decodeMembers(
    std::string_view bytes, std::size_t readableBytes, std::span<const std::string_view> keys,
    std::span<std::optional<JSONValue>> values, const Backing& backing, std::size_t textFromDepth) {
  if (bytes.empty()) return JSONReadError{"empty input"};
  Kind kind = Kind::null;
  auto error = withDocument(bytes, readableBytes, [&](simdjson::ondemand::document& document) {
    JSONReader::Context context(backing, textDepthFor(bytes, textFromDepth));
    return JSONReader::readDocument(document, nullptr, keys, values, kind, context);
  });
  if (error) {
    for (auto& value : values) value.reset();
    return JSONReadError{describe(error)};
  }
  return kind;
}

bool JSONValue::encodeInto(std::string& out) const {
  return JSONWriter(out).write(*this);
}

bool JSONValue::encodeInto(std::string& out, std::vector<Splice>& splices) const {
  return JSONWriter(out, &splices).write(*this);
}

void JSONValue::appendQuoted(std::string& out, std::string_view text) {
  JSONWriter(out).writeString(text);
}

std::optional<std::string> JSONValue::encodedData() const {
  std::string out;
  if (!encodeInto(out)) return std::nullopt;
  return out;
}

}  // namespace quill
