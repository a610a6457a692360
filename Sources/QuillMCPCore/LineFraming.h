// Splits a byte stream into lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quill {

// Turns chunks of a byte stream into complete lines. Accepts LF and CR LF line ends and bounds
// the memory an unfinished line may hold: when more than `limit()` bytes are held back without a
// line feed, they are dropped, and so is the rest of that line when it finally ends.
//
// Lines are raw bytes; nothing is decoded or validated. Work is linear in the bytes appended:
// held bytes are never rescanned for a line feed, and a completed line is moved out, not copied.
class LineFraming {
 public:
  // The limit of both streams of the link, standard input and the application's socket.
  static constexpr std::size_t maxLineBytes = 16 * 1024 * 1024;

  explicit LineFraming(std::size_t limit = maxLineBytes) noexcept : limit_(limit) {}

  // The most bytes an unfinished line may hold between calls.
  std::size_t limit() const noexcept { return limit_; }

  // Adds a chunk (possibly empty) and returns the lines it completed, in stream order, each
  // without its line feed and without one carriage return directly before it. Empty lines are
  // returned too.
  std::vector<std::string> append(std::string_view chunk);

  // True once any oversize data has been dropped; never reset.
  bool droppedOversizedLine() const noexcept { return dropped_; }
  // True while the rest of a dropped line is still to come: its line feed has not arrived yet.
  bool skippingOversizedLine() const noexcept { return skipping_; }
  // Bytes currently held back for the unfinished line.
  std::size_t bufferedBytes() const noexcept { return buffer_.size(); }

 private:
  void hold(std::string_view bytes);

  std::size_t limit_;
  std::string buffer_;  // never holds a line feed
  bool skipping_ = false;
  bool dropped_ = false;
};

}  // namespace quill
