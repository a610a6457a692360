#include "JSONValue.h"

#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quill {

// ---------------------------------------------------------------------------------------------
// Construction, lifetime, readers

JSONValue::JSONValue(std::string value)
    : storage_(std::in_place_index<2>, std::make_shared<const std::string>(std::move(value))) {}

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
  if (auto* value = std::get_if<StringPtr>(&storage_)) return std::string_view(**value);
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

  static bool validUTF8(std::string_view text) {
    return simdjson::validate_utf8(text.data(), text.size());
  }

  static Error readString(std::string_view text, JSONValue& out) {
    // The reader accepts escapes of lone surrogates and emits them as invalid UTF-8.
    if (!validUTF8(text)) return simdjson::STRING_ERROR;
    out = JSONValue(std::string(text));
    return simdjson::SUCCESS;
  }

  // `depth` is the nesting depth the value has if it is an array or an object (the top-level
  // value is at depth 1). Only containers count: a scalar inside the deepest allowed container
  // reads. The limit is checked before the parser enters the container.
  static Error readValue(simdjson::ondemand::value value, std::size_t depth, JSONValue& out) {
    simdjson::ondemand::json_type type;
    if (auto error = value.type().get(type)) return error;
    switch (type) {
      case simdjson::ondemand::json_type::null: {
        bool isNull = false;
        if (auto error = value.is_null().get(isNull)) return error;
        if (!isNull) return simdjson::N_ATOM_ERROR;
        out = JSONValue();
        return simdjson::SUCCESS;
      }
      case simdjson::ondemand::json_type::boolean: {
        bool flag = false;
        if (auto error = value.get_bool().get(flag)) return error;
        out = JSONValue(flag);
        return simdjson::SUCCESS;
      }
      case simdjson::ondemand::json_type::number: {
        double number = 0;
        if (auto error = value.get_double().get(number)) return error;
        out = JSONValue(number);
        return simdjson::SUCCESS;
      }
      case simdjson::ondemand::json_type::string: {
        std::string_view text;
        if (auto error = value.get_string().get(text)) return error;
        return readString(text, out);
      }
      case simdjson::ondemand::json_type::array: {
        if (depth > JSONValue::maxReadDepth) return simdjson::DEPTH_ERROR;
        simdjson::ondemand::array array;
        if (auto error = value.get_array().get(array)) return error;
        return readArray(array, depth, out);
      }
      case simdjson::ondemand::json_type::object: {
        if (depth > JSONValue::maxReadDepth) return simdjson::DEPTH_ERROR;
        simdjson::ondemand::object object;
        if (auto error = value.get_object().get(object)) return error;
        return readObject(object, depth, out);
      }
    }
    return simdjson::INCORRECT_TYPE;
  }

  static Error readArray(simdjson::ondemand::array& array, std::size_t depth, JSONValue& out) {
    JSONValue::Array elements;
    for (auto element : array) {
      simdjson::ondemand::value value;
      if (auto error = element.get(value)) return error;
      JSONValue item;
      if (auto error = readValue(value, depth + 1, item)) return error;
      elements.push_back(std::move(item));
    }
    out = JSONValue(std::move(elements));
    return simdjson::SUCCESS;
  }

  static Error readObject(simdjson::ondemand::object& object, std::size_t depth, JSONValue& out) {
    JSONValue::Object members;
    for (auto field : object) {
      std::string_view key;
      if (auto error = field.unescaped_key().get(key)) return error;
      if (!validUTF8(key)) return simdjson::STRING_ERROR;
      std::string keyCopy(key);
      simdjson::ondemand::value value;
      if (auto error = field.value().get(value)) return error;
      JSONValue item;
      if (auto error = readValue(value, depth + 1, item)) return error;
      // With a key given twice, the last occurrence wins.
      members.insert_or_assign(std::move(keyCopy), std::move(item));
    }
    out = JSONValue(std::move(members));
    return simdjson::SUCCESS;
  }

  static Error readDocument(simdjson::ondemand::document& document, JSONValue& out) {
    simdjson::ondemand::json_type type;
    if (auto error = document.type().get(type)) return error;
    Error error = simdjson::SUCCESS;
    switch (type) {
      case simdjson::ondemand::json_type::null: {
        bool isNull = false;
        error = document.is_null().get(isNull);
        if (!error && !isNull) error = simdjson::N_ATOM_ERROR;
        if (!error) out = JSONValue();
        break;
      }
      case simdjson::ondemand::json_type::boolean: {
        bool flag = false;
        error = document.get_bool().get(flag);
        if (!error) out = JSONValue(flag);
        break;
      }
      case simdjson::ondemand::json_type::number: {
        double number = 0;
        error = document.get_double().get(number);
        if (!error) out = JSONValue(number);
        break;
      }
      case simdjson::ondemand::json_type::string: {
        std::string_view text;
        error = document.get_string().get(text);
        if (!error) error = readString(text, out);
        break;
      }
      case simdjson::ondemand::json_type::array: {
        simdjson::ondemand::array array;
        error = document.get_array().get(array);
        if (!error) error = readArray(array, 1, out);
        break;
      }
      case simdjson::ondemand::json_type::object: {
        simdjson::ondemand::object object;
        error = document.get_object().get(object);
        if (!error) error = readObject(object, 1, out);
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

}  // namespace

std::variant<JSONValue, JSONReadError> JSONValue::decode(std::string_view bytes) {
  if (bytes.empty()) return JSONReadError{"empty input"};
  // The reader may look up to SIMDJSON_PADDING bytes past the end of the text.
  simdjson::padded_string padded(bytes);
  std::unique_ptr<simdjson::ondemand::parser> ownParser;
  simdjson::ondemand::parser* parser = &smallTextParser();
  if (bytes.size() > kRetainedParserCapacity) {
    ownParser = std::make_unique<simdjson::ondemand::parser>();
    parser = ownParser.get();
  }
  if (parser->max_depth() != kParserMaxDepth || parser->capacity() < bytes.size()) {
    const std::size_t capacity = std::max(parser->capacity(), bytes.size());
    if (auto error = parser->allocate(capacity, kParserMaxDepth)) {
      return JSONReadError{describe(error)};
    }
  }
  simdjson::ondemand::document document;
  if (auto error = parser->iterate(padded).get(document)) return JSONReadError{describe(error)};
  JSONValue value;
  if (auto error = JSONReader::readDocument(document, value)) return JSONReadError{describe(error)};
  return value;
}

// ---------------------------------------------------------------------------------------------
// Writing, without recursion

class JSONWriter {
 public:
  explicit JSONWriter(std::string& out) : out_(out) {}

  bool write(const JSONValue& root) {
    const std::size_t start = out_.size();
    if (!writeTree(root)) {
      out_.resize(start);
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
      case JSONValue::Kind::string:
        writeString(*value.stringValue());
        return true;
      case JSONValue::Kind::array: {
        out_.push_back('[');
        Frame frame;
        frame.array = value.arrayValue();
        stack.push_back(frame);
        return true;
      }
      case JSONValue::Kind::object: {
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

  void writeString(std::string_view text) {
    out_.push_back('"');
    std::size_t runStart = 0;
    std::size_t i = 0;
    const std::size_t size = text.size();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    while (i < size) {
      const unsigned char c = bytes[i];
      if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
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
};

bool JSONValue::encodeInto(std::string& out) const { return JSONWriter(out).write(*this); }

std::optional<std::string> JSONValue::encodedData() const {
  std::string out;
  if (!encodeInto(out)) return std::nullopt;
  return out;
}

}  // namespace quill
