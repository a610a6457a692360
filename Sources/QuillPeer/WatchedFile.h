// A value read from a file and read again whenever the file's bytes change, so that an edit
// shows while quill-peer runs: the projects file and the state file.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "FileDescriptor.h"

namespace quill {

template <typename T>
class WatchedFile {
 public:
  // The value that `bytes` hold, or what is wrong with them.
  using Parse = std::variant<T, std::string> (*)(std::string_view bytes);

  // Reads the file now. Only a regular file of at most `maxBytes` is read, without blocking on a
  // FIFO or a device. The problem names the file: "cannot read the <noun> file <path>: <why>" or
  // "the <noun> file <path> is malformed: <why>".
  static std::variant<WatchedFile, std::string> load(std::string noun, std::string path,
                                                     std::size_t maxBytes, Parse parse) {
    WatchedFile file(std::move(noun), std::move(path), maxBytes, parse);
    auto taken = file.take();
    if (auto* problem = std::get_if<std::string>(&taken)) return std::move(*problem);
    return file;
  }

  const std::string& path() const { return path_; }
  const T& value() const { return value_; }

  struct Refresh {
    bool changed = false;                // new bytes, and `value()` holds what they say
    std::optional<std::string> warning;  // the file became unusable; the value read last is kept
  };
  // Reads the file again; cheap enough for several times a second when it is small. A problem is
  // reported once until it changes, or each time with `reportRepeats`.
  Refresh refresh(bool reportRepeats = false) {
    auto taken = take();
    if (auto* problem = std::get_if<std::string>(&taken)) {
      if (*problem == problem_ && !reportRepeats) return {};
      problem_ = std::move(*problem);
      return {false, problem_ + "; keeping the " + noun_ + " read before"};
    }
    problem_.clear();
    return {std::get<bool>(taken), std::nullopt};
  }

 private:
  WatchedFile(std::string noun, std::string path, std::size_t maxBytes, Parse parse)
      : noun_(std::move(noun)), path_(std::move(path)), maxBytes_(maxBytes), parse_(parse) {}

  // Takes the file's bytes when they differ from those taken last: true when they did.
  std::variant<bool, std::string> take() {
    auto file = readRegularFile(path_, maxBytes_);
    if (const auto* failure = failed(file)) {
      std::string why = std::strerror(failure->error);
      if (failure->reason == FileReadReason::notRegularFile) why = "not a regular file";
      if (failure->reason == FileReadReason::tooLarge) {
        why = "larger than " + std::to_string(maxBytes_ / 1024) + " KiB";
      }
      return "cannot read the " + noun_ + " file " + path_ + ": " + why;
    }
    std::string& bytes = std::get<std::string>(file);
    if (taken_ && bytes == bytes_) return false;
    auto parsed = parse_(bytes);
    if (auto* problem = std::get_if<std::string>(&parsed)) {
      return "the " + noun_ + " file " + path_ + " is malformed: " + *problem;
    }
    value_ = std::get<T>(std::move(parsed));
    bytes_ = std::move(bytes);
    taken_ = true;
    return true;
  }

  std::string noun_;
  std::string path_;
  std::size_t maxBytes_;
  Parse parse_;
  bool taken_ = false;
  std::string bytes_;  // the bytes that gave `value_`
  T value_{};
  std::string problem_;  // the problem reported last
};

}  // namespace quill
