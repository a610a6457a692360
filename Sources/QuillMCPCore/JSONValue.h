// The one in-memory form of every JSON value the shim reads, builds, forwards or writes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace quill {

// Why a JSON text could not be read. The description is for people and tests only.
struct JSONReadError {
  std::string description;
};

// An immutable JSON value of one of six kinds. Every number is a double; there is no integer kind.
//
// Values behave as plain values: copies are independent. Containers and strings are shared
// between copies (a copy costs a reference count, never a deep copy), which is safe because no
// operation changes a value in place. Destruction, comparison and writing do not recurse on the
// machine stack, so a value of any depth can be handled; reading refuses texts nested deeper
// than `maxReadDepth`.
class JSONValue {
 public:
  enum class Kind : std::uint8_t { boolean, number, string, array, object, null };

  using Array = std::vector<JSONValue>;

  // Members with distinct keys, kept sorted by key. Keys are compared byte by byte, which is also
  // the order in which members are written. Stored flat, in one block, with the lookups and
  // insertions of a map (each insertion moves the members behind it; `collect` builds a large
  // object at once).
  class Object {
   public:
    using value_type = std::pair<std::string, JSONValue>;
    using iterator = std::vector<value_type>::iterator;
    using const_iterator = std::vector<value_type>::const_iterator;

    Object() = default;
    // Members in any order; of members with the same key, the last one is kept.
    static Object collect(std::vector<value_type> members);

    iterator begin() noexcept { return members_.begin(); }
    iterator end() noexcept { return members_.end(); }
    const_iterator begin() const noexcept { return members_.begin(); }
    const_iterator end() const noexcept { return members_.end(); }
    std::size_t size() const noexcept { return members_.size(); }
    bool empty() const noexcept { return members_.empty(); }

    const_iterator find(std::string_view key) const noexcept;
    // The value under `key`; throws std::out_of_range when there is none.
    const JSONValue& at(std::string_view key) const;
    // Adds the member unless the key is present; the iterator points at the member with the key.
    std::pair<iterator, bool> try_emplace(std::string key, JSONValue value);
    std::pair<iterator, bool> emplace(std::string key, JSONValue value) {
      return try_emplace(std::move(key), std::move(value));
    }
    // Adds the member, or replaces the value of the one with the same key.
    std::pair<iterator, bool> insert_or_assign(std::string key, JSONValue value);

   private:
    std::vector<value_type> members_;
  };

  // Texts nested deeper than this fail to read.
  static constexpr std::size_t maxReadDepth = 1024;

  // The buffer a text is read from, when read strings may point into it instead of being copied.
  // Each value that does keeps the buffer alive; only long strings do.
  using Backing = std::shared_ptr<const void>;
  static constexpr std::size_t minBorrowedStringBytes = 4096;

  JSONValue() noexcept = default;  // null
  JSONValue(std::nullptr_t) noexcept {}
  JSONValue(bool value) noexcept : storage_(std::in_place_index<0>, value) {}
  JSONValue(double value) noexcept : storage_(std::in_place_index<1>, value) {}
  template <typename Integer>
  requires(std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>) JSONValue(Integer value)
  noexcept : storage_(std::in_place_index<1>, static_cast<double>(value)) {}
  JSONValue(std::string value);
  JSONValue(std::string_view value) : JSONValue(std::string(value)) {}
  JSONValue(const char* value) : JSONValue(std::string(value)) {}
  explicit JSONValue(Array elements);
  explicit JSONValue(Object members);

  // An array in the given order.
  static JSONValue array(std::initializer_list<JSONValue> elements);
  // An object from key/value pairs. The keys are constants chosen by the programmer: a repeated
  // key stops the process with "Duplicate values for key: '<key>'".
  static JSONValue object(std::initializer_list<std::pair<std::string_view, JSONValue>> members);
  static JSONValue object(std::vector<std::pair<std::string, JSONValue>> members);

  JSONValue(const JSONValue&) = default;
  JSONValue& operator=(const JSONValue&) = default;
  // A moved-from value is null.
  JSONValue(JSONValue&& other) noexcept;
  JSONValue& operator=(JSONValue&& other) noexcept;
  ~JSONValue();

  Kind kind() const noexcept {
    const std::size_t index = storage_.index();
    if (index < kWrittenIndex) return static_cast<Kind>(index);
    return index == kShortIndex ? Kind::string : textKind();
  }

  // Readers. None converts between kinds: the string "1" has no number, the number 1 no bool.
  std::optional<bool> boolValue() const noexcept;
  std::optional<double> numberValue() const noexcept;
  // The number truncated toward zero; absent for other kinds, non-finite numbers and numbers
  // outside the signed 64-bit range.
  std::optional<std::int64_t> intValue() const noexcept;
  // A view into this value: valid while this value is alive (a long string's also while a copy
  // of it is).
  std::optional<std::string_view> stringValue() const noexcept;
  const Array* arrayValue() const noexcept;
  const Object* objectValue() const noexcept;
  bool isNull() const noexcept { return kind() == Kind::null; }

  // The member's value when this is an object holding the key; absent otherwise (a member whose
  // value is null is present and gives the null value).
  std::optional<JSONValue> operator[](std::string_view key) const;
  // The element when this is an array and 0 <= index < size; absent otherwise.
  std::optional<JSONValue> operator[](std::int64_t index) const;
  // Like the key subscript, without copying: null pointer when absent.
  const JSONValue* member(std::string_view key) const noexcept;

  // Reads exactly one JSON text (any kind at the top, JSON white space around it). Fails on an
  // empty buffer, malformed text, text after the value, invalid UTF-8 (unpaired surrogate escapes
  // included), numbers outside the range of a double and nesting deeper than `maxReadDepth`.
  static std::variant<JSONValue, JSONReadError> decode(std::string_view bytes);
  // The same, reading in place when at least 64 bytes past the end of `bytes` may be read
  // (`readableBytes` counts from the start of `bytes`); otherwise the text is copied first.
  // With a `backing` that owns `bytes`, long strings without escapes point into it.
  //
  // With `textFromDepth` (the top-level value is at depth 1), arrays and objects at that depth
  // or deeper are kept as their compact text, written while reading, and read into values only
  // when something looks into them: a value that is only passed on and written again is never
  // built. Only texts shorter than `minSplicedStringBytes` are read this way; in longer ones, long
  // strings are worth keeping where they lie.
  static std::variant<JSONValue, JSONReadError> decode(std::string_view bytes,
                                                       std::size_t readableBytes,
                                                       const Backing& backing = {},
                                                       std::size_t textFromDepth = 0);
  // Reads and checks one JSON text exactly as `decode` does, but does not build a top-level
  // object: the value of each member named in `keys` goes to the matching slot of `values` (left
  // as it was when the member is missing; with a key given twice, the last wins). Gives the kind
  // of the top-level value; on failure every slot is emptied.
  static std::variant<Kind, JSONReadError> decodeMembers(std::string_view bytes,
                                                         std::size_t readableBytes,
                                                         std::span<const std::string_view> keys,
                                                         std::span<std::optional<JSONValue>> values,
                                                         const Backing& backing = {},
                                                         std::size_t textFromDepth = 0);

  // The compact JSON text: members sorted by key, "/" unescaped, control characters escaped, other
  // characters as UTF-8 (an invalid UTF-8 sequence in a string is written as U+FFFD), whole numbers
  // below 2^53 in magnitude as plain integers. Absent when a number anywhere is NaN or infinite.
  std::optional<std::string> encodedData() const;
  std::optional<std::string> encodedString() const { return encodedData(); }

  // Appends the JSON text to `out`. On failure returns false and leaves `out` as it was.
  bool encodeInto(std::string& out) const;

  // A long string left out of a written text, to be sent from where it lies: the bytes belong at
  // `offset` in the text written. Valid while the value written (or a copy of it) lives.
  struct Splice {
    std::size_t offset;
    std::string_view bytes;
  };
  static constexpr std::size_t minSplicedStringBytes = 64 * 1024;
  // The same, leaving out the text of long strings that need no escape: between their quotes
  // they are added to `splices`, in order. The full text is `out` with each splice inserted.
  bool encodeInto(std::string& out, std::vector<Splice>& splices) const;
  // Appends `text` as a JSON string, by the same rules.
  static void appendQuoted(std::string& out, std::string_view text);

  // IEEE equality for numbers (NaN is unequal to itself, 0 equals -0); objects compare by
  // members regardless of order.
  friend bool operator==(const JSONValue& lhs, const JSONValue& rhs);

 private:
  // A string's bytes, owned or pointing into a backing buffer. `verbatim` marks text known to be
  // written between the quotes as it stands (read without escapes from checked input).
  struct Text {
    std::string_view bytes;
    bool verbatim = false;
  };
  using StringPtr = std::shared_ptr<const Text>;
  // A short string, held in the value itself.
  struct ShortText {
    static constexpr std::size_t capacity = 22;
    char bytes[capacity];
    std::uint8_t size;
    bool verbatim;
  };
  // Sets this value to the string `bytes`.
  void setText(std::string_view bytes, bool verbatim);
  // An array or object kept as its compact text, read into a value when first looked into.
  struct Written;
  using WrittenPtr = std::shared_ptr<const Written>;
  static StringPtr ownedText(std::string bytes, bool verbatim);
  static StringPtr borrowedText(std::string_view bytes, const Backing& backing);
  using ArrayPtr = std::shared_ptr<Array>;
  using ObjectPtr = std::shared_ptr<Object>;
  // The first six in the order of Kind; then the two other ways of holding an array or object
  // and a string.
  using Storage = std::variant<bool, double, StringPtr, ArrayPtr, ObjectPtr, std::monostate,
                               WrittenPtr, ShortText>;
  static constexpr std::size_t kWrittenIndex = 6;
  static constexpr std::size_t kShortIndex = 7;
  // The kind of an array or object kept as text.
  Kind textKind() const noexcept;
  // The value read from the text it is kept as.
  const JSONValue& readFromText() const noexcept;

  Storage storage_{std::monostate{}};

  friend class JSONWriter;
  friend struct JSONReader;
  class Pending;
  void releaseChildrenInto(Pending& pending) noexcept;
};

}  // namespace quill
