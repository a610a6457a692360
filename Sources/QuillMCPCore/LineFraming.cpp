#include "LineFraming.h"

#include <algorithm>
#include <cstring>

#include "LargeBuffer.h"

namespace quill {

namespace {
// Room kept behind a held line, so that a reader that looks past the end can read it in place.
constexpr std::size_t kReadPadding = 64;
// A held line's buffer up to this size is kept for the next line; a larger one is given back.
constexpr std::size_t kKeptBufferBytes = 64 * 1024;
}  // namespace

bool LineFraming::HeldLine::append(std::string_view bytes, std::size_t padding) {
  const std::size_t needed = size_ + bytes.size() + padding;
  if (capacity_ < needed) {
    // Geometric growth: a line arriving in many chunks is moved only a few times.
    const std::size_t capacity = std::max(needed, 2 * capacity_);
    auto* grown = static_cast<char*>(std::realloc(data_, capacity));
    if (!grown) return false;
    data_ = grown;
    capacity_ = capacity;
    adviseLargeBuffer(data_, capacity_);
  }
  if (!bytes.empty()) std::memcpy(data_ + size_, bytes.data(), bytes.size());
  size_ += bytes.size();
  std::memset(data_ + size_, 0, padding);
  return true;
}

void LineFraming::HeldLine::reset() noexcept {
  std::free(data_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

char* LineFraming::HeldLine::take() noexcept {
  char* taken = data_;
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  return taken;
}

std::shared_ptr<const char> LineFraming::LineMemory::share() {
  if (!held_) return nullptr;
  char* taken = held_->take();
  if (!taken) return nullptr;
  return std::shared_ptr<const char>(
      taken, [](const char* bytes) { std::free(const_cast<char*>(bytes)); });
}

std::size_t LineFraming::nextLineFeed(std::string_view chunk, std::size_t position) {
  if (position >= chunk.size()) return std::string_view::npos;
  const void* found = std::memchr(chunk.data() + position, '\n', chunk.size() - position);
  return found ? static_cast<std::size_t>(static_cast<const char*>(found) - chunk.data())
               : std::string_view::npos;
}

bool LineFraming::hold(std::string_view bytes) {
  if (buffer_.append(bytes, kReadPadding)) return true;
  buffer_.reset();
  droppedOversizedLine_ = true;
  return false;
}

void LineFraming::releaseHeldLine() {
  if (buffer_.capacity() > kKeptBufferBytes) {
    buffer_.reset();
  } else {
    buffer_.clear();
  }
}

void LineFraming::limitHeldLine() {
  if (buffer_.size() > maxLineBytes) {
    buffer_.reset();  // give the memory back, not just the length
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
