#include "LineFraming.h"

#include <algorithm>
#include <cstring>

namespace quill {

void LineFraming::completeLine(std::string&& line, std::vector<std::string>& lines) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  lines.push_back(std::move(line));
}

void LineFraming::hold(std::string_view bytes) {
  // A long line takes room for the longest one held at once, so that it is not copied again each
  // time it outgrows its block. Large blocks are mapped from the system on their own, and pages
  // that are never written cost no memory.
  constexpr std::size_t kLongLine = 1024 * 1024;
  const std::size_t needed = buffer_.size() + bytes.size();
  if (needed > kLongLine && needed > buffer_.capacity()) {
    buffer_.reserve(std::max(needed, limit_));
  }
  buffer_.append(bytes);
}

std::vector<std::string> LineFraming::append(std::string_view chunk) {
  std::vector<std::string> lines;
  // The held buffer never contains a line feed, so only the new chunk needs scanning.
  std::size_t position = 0;
  while (position < chunk.size()) {
    const void* found = std::memchr(chunk.data() + position, '\n', chunk.size() - position);
    if (!found) break;
    const auto end = static_cast<std::size_t>(static_cast<const char*>(found) - chunk.data());
    if (skippingOversized_) {
      // The tail of a dropped line: nothing of it was kept, and nothing of it is returned.
      skippingOversized_ = false;
      position = end + 1;
      continue;
    }
    std::string line;
    if (buffer_.empty()) {
      line.assign(chunk.data() + position, end - position);
    } else {
      hold(chunk.substr(position, end - position));
      line = std::move(buffer_);
      buffer_ = std::string();
    }
    completeLine(std::move(line), lines);
    position = end + 1;
  }
  // While skipping, the rest of the dropped line is not held at all: it would be discarded anyway.
  if (!skippingOversized_) hold(chunk.substr(position));
  if (buffer_.size() > limit_) {
    std::string().swap(buffer_);  // give the memory back, not just the length
    skippingOversized_ = true;
    droppedOversizedLine_ = true;
  }
  return lines;
}

}  // namespace quill
