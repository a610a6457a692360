// Splits a byte stream into lines.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quill {

// Turns chunks of a byte stream into complete lines. Accepts LF and CR LF line ends and bounds
// the memory an unfinished line may hold: when more than `maxLineBytes` bytes are held back
// without a line feed, they are dropped, and so is the rest of that line when it finally ends.
//
// Lines are raw bytes; nothing is decoded or validated. Work is linear in the bytes appended:
// held bytes are never rescanned for a line feed, and a completed line is handed over, not copied.
class LineFraming {
  // The unfinished line: bytes from malloc, so that a long line grows by realloc, which moves
  // large blocks by remapping their pages rather than copying them.
  class HeldLine {
   public:
    HeldLine() = default;
    HeldLine(const HeldLine&) = delete;
    HeldLine& operator=(const HeldLine&) = delete;
    ~HeldLine() { std::free(data_); }

    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    // Adds bytes, keeping `padding` zeroed bytes behind them. False when memory runs out.
    bool append(std::string_view bytes, std::size_t padding);
    void clear() noexcept { size_ = 0; }
    // Frees the buffer.
    void reset() noexcept;
    // Gives the buffer to the caller (to be freed with std::free) and starts afresh.
    char* take() noexcept;

   private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
  };

 public:
  static constexpr std::size_t maxLineBytes = 16 * 1024 * 1024;

  LineFraming() = default;

  // Adds a chunk (possibly empty) and returns the lines it completed, in stream order, each
  // without its line feed and without one carriage return directly before it. Empty lines are
  // returned too.
  std::vector<std::string> append(std::string_view chunk);

  // Lets a visitor give back the memory of a line it no longer needs before its visit ends, or
  // keep it for longer.
  class LineMemory {
   public:
    explicit LineMemory(HeldLine* held) : held_(held) {}
    // Frees the line's buffer when the framing held it; the view must not be used afterwards.
    void release() {
      if (held_) held_->reset();
    }
    // Takes over the buffer the line lies in, when the framing held it: the view stays valid for
    // as long as the returned owner lives. Empty for a line that lies in the caller's chunk.
    std::shared_ptr<const char> share();

   private:
    HeldLine* held_;
  };

  // The same lines as `append`, handed one by one to `visit(line, readableBytes, memory)` without
  // being collected or copied: a line that lies wholly inside `chunk` is a view into it. The view
  // is valid only during the call, and only until `memory.release()` (for as long as the owner
  // lives after `memory.share()`). `readableBytes` counts the
  // bytes from the start of the line that may be read (at least the line's size), so a reader
  // that looks past the end can use the buffer in place; `chunkReadableBytes` is that count for
  // `chunk` itself.
  template <typename Visit>
  void forEachLine(std::string_view chunk, std::size_t chunkReadableBytes, Visit&& visit);

  // True once any oversize data has been dropped; never reset.
  bool droppedOversizedLine() const noexcept { return droppedOversizedLine_; }

  // Bytes currently held back for the unfinished line.
  std::size_t bufferedBytes() const noexcept { return buffer_.size(); }

 private:
  // Finds the next line feed in chunk[position...]; npos when none.
  static std::size_t nextLineFeed(std::string_view chunk, std::size_t position);
  // Adds `bytes` to the held line, keeping room behind it for readers that look past the end.
  // When memory runs out, the held bytes are dropped like an oversized line's and false returned.
  bool hold(std::string_view bytes);
  // After a visit of the held line: empties it, giving back the memory of a large one.
  void releaseHeldLine();
  // Drops the held bytes when they exceed the limit.
  void limitHeldLine();

  HeldLine buffer_;
  bool skippingOversized_ = false;
  bool droppedOversizedLine_ = false;
};

template <typename Visit>
void LineFraming::forEachLine(std::string_view chunk, std::size_t chunkReadableBytes,
                              Visit&& visit) {
  auto withoutCarriageReturn = [](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
  };
  // The held bytes never contain a line feed, so only the new chunk needs scanning.
  std::size_t position = 0;
  for (std::size_t end; (end = nextLineFeed(chunk, position)) != std::string_view::npos;
       position = end + 1) {
    if (skippingOversized_) {
      // The tail of a dropped line: nothing of it was kept, and nothing of it is returned.
      skippingOversized_ = false;
    } else if (buffer_.empty()) {
      LineMemory inChunk(nullptr);
      visit(withoutCarriageReturn(chunk.substr(position, end - position)),
            chunkReadableBytes - position, inChunk);
    } else if (hold(chunk.substr(position, end - position))) {
      LineMemory held(&buffer_);
      const std::string_view line(buffer_.data(), buffer_.size());
      visit(withoutCarriageReturn(line), buffer_.capacity(), held);
      releaseHeldLine();
    }
  }
  // While skipping, the rest of the dropped line is not held at all: it would be discarded anyway.
  if (!skippingOversized_ && position < chunk.size() && !hold(chunk.substr(position))) {
    skippingOversized_ = true;
  }
  limitHeldLine();
}

}  // namespace quill
