// Failures as values: what an operation gives, or why it gives nothing.
//
// Every unit that can fail answers in this one form. It names its reasons in an enumeration of its
// own, keeps the errno of the system call that failed and the detail a reader gave, and leaves it
// to the caller to decide what the failure means to its user: nobody has to ask twice. A lookup
// that may find nothing (a member, a code by its name, the moment a text names) gives an optional
// instead: finding nothing is an answer there, not a failure.
#pragma once

#include <string>
#include <type_traits>
#include <variant>

namespace quill {

template <typename Reason>
struct Failure {
  Reason reason;
  // The errno of the system call that failed; 0 where none did.
  int error = 0;
  // For people: what a reader said was wrong and where (the JSON reader's error, say); empty
  // where the reason says it all.
  std::string detail = {};

  friend bool operator==(const Failure&, const Failure&) = default;
};

// The value, or the failure. Test with `std::get_if`, or with `failed` below.
template <typename T, typename Reason>
using Result = std::variant<T, Failure<Reason>>;

// The value of an operation that gives nothing but may fail.
struct Done {
  friend bool operator==(Done, Done) = default;
};

// The failure held by `result`, or null when it holds a value. It points into `result`, which must
// outlive it: of a temporary, only whether it failed can be asked.
template <typename T, typename Reason>
const Failure<Reason>* failed(const Result<T, Reason>& result) noexcept {
  return std::get_if<Failure<Reason>>(&result);
}
template <typename T, typename Reason>
bool failed(const Result<T, Reason>&& result) noexcept {
  return std::holds_alternative<Failure<Reason>>(result);
}

// The value held by `result`, or `fallback` when it holds a failure.
template <typename T, typename Reason>
T valueOr(Result<T, Reason> result, std::type_identity_t<T> fallback) {
  if (T* value = std::get_if<T>(&result)) return std::move(*value);
  return fallback;
}

}  // namespace quill
