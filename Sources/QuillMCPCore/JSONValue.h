// The one in-memory form of every JSON value the shim reads, builds, forwards or writes, with the
// strict reader and the writer of its JSON text.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "Result.h"

namespace quill {

// Why a JSON text could not be read. The failure's detail says what was wrong and where, as in
// "expected ':' at line 3, column 7": lines end at line feeds; lines and columns count from 1,
// columns in bytes. It is for people; no program should take it apart.
enum class JSONReadReason {
  malformed,         // not one JSON text by RFC 8259, or not UTF-8
  tooDeep,           // nested deeper than `JSONValue::maxReadDepth`
  numberOutOfRange,  // a number beyond the range of a double
};

// Why a value could not be written as JSON: no JSON text holds NaN or an infinity.
enum class JSONWriteReason { nonFiniteNumber };

// An immutable JSON value of one of six kinds. Every number is a double; there is no integer kind.
//
// Values behave as plain values: copies are independent. Arrays and objects are shared between
// copies (a copy costs a reference count, never a deep copy), which is safe because no operation
// changes a value in place. Destruction, comparison and writing recurse once per level of
// nesting: a value read is at most `maxReadDepth` levels deep, and a value built by hand must stay
// about as shallow, or it may exhaust the machine stack.
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
    // Members in any order; of members with the same key, the last one is kept. Sorting costs
    // O(n log n) in the number of members, one pass when they come in order.
    static Object collect(std::vector<value_type> members);

    const_iterator begin() const noexcept { return members_.begin(); }
    const_iterator end() const noexcept { return members_.end(); }
    std::size_t size() const noexcept { return members_.size(); }

    const_iterator find(std::string_view key) const noexcept;
    // Adds the member unless the key is present; the iterator points at the member with the key.
    std::pair<iterator, bool> try_emplace(std::string key, JSONValue value);
    // Adds the member, or replaces the value of the one with the same key.
    std::pair<iterator, bool> insert_or_assign(std::string key, JSONValue value);

   private:
    std::vector<value_type> members_;
  };

  // Texts nested deeper than this fail to read.
  static constexpr std::size_t maxReadDepth = 1024;

  JSONValue() noexcept = default;  // null
  JSONValue(std::nullptr_t) noexcept {}
  JSONValue(bool value) noexcept : storage_(std::in_place_index<0>, value) {}
  JSONValue(double value) noexcept : storage_(std::in_place_index<1>, value) {}
  template <typename Integer>
  requires(std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>) JSONValue(Integer value)
  noexcept : storage_(std::in_place_index<1>, static_cast<double>(value)) {}
  JSONValue(std::string value) noexcept : storage_(std::in_place_index<2>, std::move(value)) {}
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
  JSONValue(JSONValue&& other) noexcept
      : storage_(std::exchange(other.storage_, std::monostate{})) {}
  JSONValue& operator=(JSONValue&& other) noexcept {
    storage_ = std::exchange(other.storage_, std::monostate{});
    return *this;
  }

  Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }

  // Readers. None converts between kinds: the string "1" has no number, the number 1 no bool.
  std::optional<bool> boolValue() const noexcept { return payload<bool>(); }
  std::optional<double> numberValue() const noexcept { return payload<double>(); }
  // The number truncated toward zero; absent for other kinds, non-finite numbers and numbers
  // outside the signed 64-bit range.
  std::optional<std::int64_t> intValue() const noexcept;
  // A view into this value: valid while this value is alive and not assigned to.
  std::optional<std::string_view> stringValue() const noexcept {
    return payload<std::string, std::string_view>();
  }
  const Array* arrayValue() const noexcept { return container<Array>(); }
  const Object* objectValue() const noexcept { return container<Object>(); }
  bool isNull() const noexcept { return kind() == Kind::null; }

  // The member's value when this is an object holding the key; absent otherwise (a member whose
  // value is null is present and gives the null value).
  std::optional<JSONValue> operator[](std::string_view key) const;
  // Elements are reached through `arrayValue`. Without this, `value[0]` would pass a null
  // pointer for a key.
  std::optional<JSONValue> operator[](std::int64_t) const = delete;
  // Like the key subscript, without copying: null pointer when absent.
  const JSONValue* member(std::string_view key) const noexcept;

  // Reads exactly one JSON text as RFC 8259 defines it: any kind at the top, only space, tab, LF
  // and CR around and between tokens, strict UTF-8 (no overlong forms, no surrogates, nothing
  // beyond U+10FFFF), `\u` escapes of surrogates only as a high-low pair. Numbers are checked by
  // the grammar, then rounded to the nearest double; one beyond the range of a double fails, one
  // too small for it reads as zero of its sign. With a key given twice, the last value wins.
  // Fails on anything else, on an empty buffer, on text after the value and on nesting deeper
  // than `maxReadDepth`. Time is linear in the length of the text, but for sorting the members
  // of objects whose keys do not come in order.
  static Result<JSONValue, JSONReadReason> decode(std::string_view bytes);

  // The compact JSON text: members sorted by key, "/" unescaped, control characters escaped, other
  // characters as UTF-8 (an invalid UTF-8 sequence in a string is written as U+FFFD), whole numbers
  // below 2^53 in magnitude as plain integers. Fails when a number anywhere is NaN or infinite.
  Result<std::string, JSONWriteReason> encodedData() const;

  // Appends the JSON text to `out`; on failure leaves `out` as it was.
  Result<Done, JSONWriteReason> encodeInto(std::string& out) const;

  // IEEE equality for numbers (NaN is unequal to itself, 0 equals -0); objects compare by
  // members regardless of order.
  friend bool operator==(const JSONValue& lhs, const JSONValue& rhs);

 private:
  // In the order of Kind.
  using Storage = std::variant<bool, double, std::string, std::shared_ptr<const Array>,
                               std::shared_ptr<const Object>, std::monostate>;

  // The payload of kind `T` as a `View`, when this value holds one.
  template <typename T, typename View = T>
  std::optional<View> payload() const noexcept {
    if (const T* value = std::get_if<T>(&storage_)) return View(*value);
    return std::nullopt;
  }
  template <typename Container>
  const Container* container() const noexcept {
    const auto* held = std::get_if<std::shared_ptr<const Container>>(&storage_);
    return held ? held->get() : nullptr;
  }

  Storage storage_{std::monostate{}};
};

}  // namespace quill
