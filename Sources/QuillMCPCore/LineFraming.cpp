#include "LineFraming.h"

#include <algorithm>
#include <utility>

namespace quill {

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
  std::size_t start = 0;
  for (std::size_t end; (end = chunk.find('\n', start)) != chunk.npos; start = end + 1) {
    const std::string_view part = chunk.substr(start, end - start);
    if (skipping_) {
      skipping_ = false;  // the end of a dropped line: none of it is returned
      continue;
    }
    std::string line;
    if (buffer_.empty()) {
      line = part;
    } else {
      hold(part);
      line = std::exchange(buffer_, std::string());
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
  }
  // While skipping, the rest of a dropped line is not held at all: it would be discarded anyway.
  if (!skipping_) hold(chunk.substr(start));
  if (buffer_.size() > limit_) {
    std::string().swap(buffer_);  // give the memory back, not just the length
    skipping_ = true;
    dropped_ = true;
  }
  return lines;
}

}  // namespace quill
