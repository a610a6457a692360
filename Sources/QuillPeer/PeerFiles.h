// The stand-in application's own files: whole small files read in, and files replaced by rename
// so that nothing is ever written through a path that quill-peer did not create.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quill::PeerFiles {

// The whole regular file at `path` when it has at most `maxBytes` bytes; otherwise absent, with
// `problem` saying why ("No such file or directory", "not a regular file", "larger than …").
// Opened without blocking, so a FIFO or a device never stalls the caller.
std::optional<std::string> read(const std::string& path, std::size_t maxBytes,
                                std::string& problem);

// Replaces the file at `path` with `bytes`: they are written to a new file next to it, created
// exclusively (an existing file or symbolic link of that name is never opened), which is then
// renamed over `path`. A reader sees the old or the new contents whole, and a symbolic link at
// `path` is replaced, not followed. Missing parent folders are created. Absent on success;
// otherwise why it failed.
std::optional<std::string> replace(const std::string& path, std::string_view bytes);

// Creates the missing folders above `path`; a failure shows when the file itself is made.
void makeParentFolders(const std::string& path);

}  // namespace quill::PeerFiles
