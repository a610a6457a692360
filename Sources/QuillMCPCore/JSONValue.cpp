#include "JSONValue.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LargeBuffer.h"

namespace quill {

// ---------------------------------------------------------------------------------------------
// Construction, lifetime, readers

JSONValue::JSONValue(std::string value)
    : storage_(std::in_place_index<2>, ownedText(std::move(value), false)) {}

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

// Moves the children of a container that nobody else shares into `pending` and leaves this
// value null, so that deep trees are torn down by a loop instead of by recursion.
void JSONValue::releaseChildrenInto(std::vector<JSONValue>& pending) noexcept {
  if (auto* array = std::get_if<ArrayPtr>(&storage_)) {
    if (*array && array->use_count() == 1) {
      for (auto& element : **array) {
        if (element.kind() == Kind::array || element.kind() == Kind::object) {
          pending.push_back(std::move(element));
        }
      }
    }
  } else if (auto* object = std::get_if<ObjectPtr>(&storage_)) {
    if (*object && object->use_count() == 1) {
      for (auto& [key, value] : **object) {
        if (value.kind() == Kind::array || value.kind() == Kind::object) {
          pending.push_back(std::move(value));
        }
      }
    }
  }
  storage_.emplace<std::monostate>();
}

JSONValue::~JSONValue() {
  const Kind k = kind();
  if (k != Kind::array && k != Kind::object) return;
  std::vector<JSONValue> pending;
  releaseChildrenInto(pending);
  while (!pending.empty()) {
    JSONValue next = std::move(pending.back());
    pending.pop_back();
    next.releaseChildrenInto(pending);
  }
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
  return std::nullopt;
}

const JSONValue::Array* JSONValue::arrayValue() const noexcept {
  if (auto* value = std::get_if<ArrayPtr>(&storage_)) return value->get();
  return nullptr;
}

const JSONValue::Object* JSONValue::objectValue() const noexcept {
  if (auto* value = std::get_if<ObjectPtr>(&storage_)) return value->get();
  return nullptr;
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
// Reading

struct JSONReader {
  using Error = simdjson::error_code;

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
    while (!token.empty() && (token.back() == ' ' || token.back() == '\t' ||
                              token.back() == '\n' || token.back() == '\r')) {
      token.remove_suffix(1);
    }
    if (token.size() < 2 || token.front() != '"' || token.back() != '"') return std::nullopt;
    const std::string_view text = token.substr(1, token.size() - 2);
    if (std::memchr(text.data(), '\\', text.size())) return std::nullopt;
    return text;
  }

  // Text without escapes, from input already checked for valid UTF-8 and raw control characters,
  // is written back as it stands. A long one points into the backing buffer when there is one.
  static Error readString(simdjson::ondemand::value& value, JSONValue* out,
                          const JSONValue::Backing& backing) {
    if (auto text = plainText(value.raw_json_token())) {
      if (!out) return simdjson::SUCCESS;
      out->storage_.emplace<JSONValue::StringPtr>(
          backing && text->size() >= JSONValue::minBorrowedStringBytes
              ? JSONValue::borrowedText(*text, backing)
              : JSONValue::ownedText(std::string(*text), true));
      return simdjson::SUCCESS;
    }
    std::string_view text;
    if (auto error = value.get_string().get(text)) return error;
    if (!validUTF8(text)) return simdjson::STRING_ERROR;
    if (out) *out = JSONValue(std::string(text));
    return simdjson::SUCCESS;
  }

  // A member's key, valid until the next call on the object.
  static Error readKey(simdjson::ondemand::field& field, std::string_view& key) {
    // The raw key is the input from after its opening quote; the input is known to close it.
    const char* raw = field.key().raw();
    const char* end = raw;
    while (*end != '"' && *end != '\\') ++end;
    if (*end == '"') {
      key = std::string_view(raw, static_cast<std::size_t>(end - raw));
      return simdjson::SUCCESS;
    }
    if (auto error = field.unescaped_key().get(key)) return error;
    return validUTF8(key) ? simdjson::SUCCESS : simdjson::STRING_ERROR;
  }

  // Reads one value into `out`, or only reads and checks it when `out` is null. `depth` is the
  // nesting depth the value has if it is an array or an object (the top-level value is at depth
  // 1). Only containers count: a scalar inside the deepest allowed container reads. The limit is
  // checked before the parser enters the container.
  static Error readValue(simdjson::ondemand::value value, std::size_t depth, JSONValue* out,
                         const JSONValue::Backing& backing) {
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
        return readString(value, out, backing);
      case simdjson::ondemand::json_type::array: {
        if (depth > JSONValue::maxReadDepth) return simdjson::DEPTH_ERROR;
        simdjson::ondemand::array array;
        if (auto error = value.get_array().get(array)) return error;
        return readArray(array, depth, out, backing);
      }
      case simdjson::ondemand::json_type::object: {
        if (depth > JSONValue::maxReadDepth) return simdjson::DEPTH_ERROR;
        simdjson::ondemand::object object;
        if (auto error = value.get_object().get(object)) return error;
        return readObject(object, depth, out, backing);
      }
    }
    return simdjson::INCORRECT_TYPE;
  }

  static Error readArray(simdjson::ondemand::array& array, std::size_t depth, JSONValue* out,
                         const JSONValue::Backing& backing) {
    JSONValue::Array elements;
    for (auto element : array) {
      simdjson::ondemand::value value;
      if (auto error = element.get(value)) return error;
      JSONValue item;
      if (auto error = readValue(value, depth + 1, out ? &item : nullptr, backing)) return error;
      if (out) elements.push_back(std::move(item));
    }
    if (out) *out = JSONValue(std::move(elements));
    return simdjson::SUCCESS;
  }

  static Error readObject(simdjson::ondemand::object& object, std::size_t depth, JSONValue* out,
                          const JSONValue::Backing& backing) {
    JSONValue::Object members;
    for (auto result : object) {
      simdjson::ondemand::field field;
      if (auto error = std::move(result).get(field)) return error;
      std::string_view key;
      if (auto error = readKey(field, key)) return error;
      std::string keyCopy = out ? std::string(key) : std::string();
      JSONValue item;
      if (auto error = readValue(field.value(), depth + 1, out ? &item : nullptr, backing)) {
        return error;
      }
      // With a key given twice, the last occurrence wins.
      if (out) members.insert_or_assign(std::move(keyCopy), std::move(item));
    }
    if (out) *out = JSONValue(std::move(members));
    return simdjson::SUCCESS;
  }

  // The top-level object, keeping only the values of the members named in `keys`.
  static Error readSelectedMembers(simdjson::ondemand::object& object,
                                   std::span<const std::string_view> keys,
                                   std::span<std::optional<JSONValue>> values,
                                   const JSONValue::Backing& backing) {
    for (auto result : object) {
      simdjson::ondemand::field field;
      if (auto error = std::move(result).get(field)) return error;
      std::string_view key;
      if (auto error = readKey(field, key)) return error;
      std::size_t slot = 0;
      while (slot < keys.size() && keys[slot] != key) ++slot;
      if (slot == keys.size()) {
        if (auto error = readValue(field.value(), 2, nullptr, backing)) return error;
        continue;
      }
      JSONValue item;
      if (auto error = readValue(field.value(), 2, &item, backing)) return error;
      values[slot] = std::move(item);  // with a key given twice, the last occurrence wins
    }
    return simdjson::SUCCESS;
  }

  // Reads the whole document. With `keys`, a top-level object is not built: its selected members
  // go to `values`. `kind` receives the kind of the top-level value.
  static Error readDocument(simdjson::ondemand::document& document, JSONValue* out,
                            std::span<const std::string_view> keys,
                            std::span<std::optional<JSONValue>> values, JSONValue::Kind& kind,
                            const JSONValue::Backing& backing) {
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
        if (!error) error = readArray(array, 1, out, backing);
        break;
      }
      case simdjson::ondemand::json_type::object: {
        kind = JSONValue::Kind::object;
        simdjson::ondemand::object object;
        error = document.get_object().get(object);
        if (!error) {
          error = out ? readObject(object, 1, out, backing)
                      : readSelectedMembers(object, keys, values, backing);
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
                                                         const Backing& backing) {
  if (bytes.empty()) return JSONReadError{"empty input"};
  JSONValue value;
  auto error = withDocument(bytes, readableBytes, [&](simdjson::ondemand::document& document) {
    Kind kind;
    return JSONReader::readDocument(document, &value, {}, {}, kind, backing);
  });
  if (error) return JSONReadError{describe(error)};
  return value;
}

std::variant<JSONValue::Kind, JSONReadError> JSONValue::decodeMembers(
    std::string_view bytes, std::size_t readableBytes, std::span<const std::string_view> keys,
    std::span<std::optional<JSONValue>> values, const Backing& backing) {
  if (bytes.empty()) return JSONReadError{"empty input"};
  Kind kind = Kind::null;
  auto error = withDocument(bytes, readableBytes, [&](simdjson::ondemand::document& document) {
    return JSONReader::readDocument(document, nullptr, keys, values, kind, backing);
  });
  if (error) {
    for (auto& value : values) value.reset();
    return JSONReadError{describe(error)};
  }
  return kind;
}

// ---------------------------------------------------------------------------------------------
// Writing, without recursion

class JSONWriter {
 public:
  explicit JSONWriter(std::string& out, std::vector<JSONValue::Splice>* splices = nullptr)
      : out_(out), splices_(splices) {}

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
        const JSONValue::Text& text = *std::get<JSONValue::StringPtr>(value.storage_);
        if (text.verbatim) {
          writeVerbatim(text.bytes);
        } else {
          writeString(text.bytes);
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
    reserveFor(size + 2 + (i == size ? 0 : size / 16 + 16));
    out_.push_back('"');
    if (i == size) {
      out_.append(text);
      out_.push_back('"');
      return;
    }
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
      case '"': out_.append("\\\""); return;
      case '\\': out_.append("\\\\"); return;
      case '\b': out_.append("\\b"); return;
      case '\f': out_.append("\\f"); return;
      case '\n': out_.append("\\n"); return;
      case '\r': out_.append("\\r"); return;
      case '\t': out_.append("\\t"); return;
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

bool JSONValue::encodeInto(std::string& out) const { return JSONWriter(out).write(*this); }

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
