// The record the desktop application keeps in its status file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "FileDescriptor.h"
#include "JSONValue.h"

namespace quill {

struct MCPStatus {
  bool enabled;    // agent access is turned on
  bool signedIn;   // a user is signed in
  bool listening;  // the application reports its socket listener as running
  std::string version;
  std::string updatedAt;  // the writer's own time format; never parsed by the shim

  // Files larger than this are not status files.
  static constexpr std::size_t maxFileBytes = 64 * 1024;

  // Why there is no record; the failure holds the errno where a call failed, and for `notJSON`
  // the reader's words.
  enum class Reason {
    absent,          // nothing at the path
    unreadable,      // it could not be opened or read
    notRegularFile,  // a folder, a FIFO, a device, a socket
    tooLarge,        // more than `maxFileBytes`
    notJSON,         // not one JSON text
    wrongMembers,    // JSON, but not an object with the five members of their kinds
  };

  // All five members with the right kinds; a missing member, null or wrong kind fails; other
  // members are ignored.
  static Result<MCPStatus, Reason> decode(std::string_view json);
  static Result<MCPStatus, Reason> fromJSON(const JSONValue& value);

  // Reads and decodes the status file. Only a regular file of at most `maxFileBytes` is read, and
  // it is opened without blocking, so a FIFO or a device never stalls the caller.
  static Result<MCPStatus, Reason> readFile(const std::string& path);

  JSONValue jsonValue() const;

  // Writes the record, one JSON line, as the status file at `path`, replacing whatever is there
  // in one step (`replaceFile`): a reader never sees half a record, and a link is not followed.
  Result<Done, FileWriteReason> writeFile(const std::string& path) const;

  friend bool operator==(const MCPStatus&, const MCPStatus&) = default;
};

}  // namespace quill
