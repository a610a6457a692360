#include "LineFraming.h"

#include <algorithm>
#include <cstring>

namespace quill {

namespace {
// Room kept behind a held line, so that a reader that looks past the end can read it in place.
constexpr std::size_t kReadPadding = 64;
// A held line's buffer up to this size is kept for the next line; a larger one is given back.
constexpr std::size_t kKeptBufferBytes = 64 * 1024;
}  // namespace

std::size_t LineFraming::nextLineFeed(std::string_view chunk, std::size_t position) {
  if (position >= chunk.size()) return std::string_view::npos;
  const void* found = std::memchr(chunk.data() + position, '\n', chunk.size() - position);
  return found ? static_cast<std::size_t>(static_cast<const char*>(found) - chunk.data())
               : std::string_view::npos;
}

void LineFraming::hold(std::string_view bytes) {
  // Growth is geometric on every standard library (a plain reserve grows to exactly the size
  // asked on some, which would copy the whole line again on every chunk).
  const std::size_t needed = buffer_.size() + bytes.size() + kReadPadding;
  if (buffer_.capacity() < needed) buffer_.reserve(std::max(needed, 2 * buffer_.capacity()));
  buffer_.append(bytes);
}

void LineFraming::releaseHeldLine() {
  if (buffer_.capacity() > kKeptBufferBytes) {
    std::string().swap(buffer_);
  } else {
    buffer_.clear();
  }
}

void LineFraming::limitHeldLine() {
  if (buffer_.size() > maxLineBytes) {
    std::string().swap(buffer_);  // give the memory back, not just the length
    skippingOversized_ = true;
    droppedOversizedLine_ = true;
  }
}

std::vector<std::string> LineFraming::append(std::string_view chunk) {
  std::vector<std::string> lines;
  forEachLine(chunk, chunk.size(),
              [&](std::string_view line, std::size_t, LineMemory&) { lines.emplace_back(line); });
  return lines;
}

}  // namespace quill
