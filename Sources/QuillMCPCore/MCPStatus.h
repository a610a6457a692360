// The record the desktop application keeps in its status file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

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

  // All five members with the right kinds; a missing member, null or wrong kind fails; other
  // members are ignored.
  static std::optional<MCPStatus> decode(std::string_view json);
  static std::optional<MCPStatus> fromJSON(const JSONValue& value);

  // Why the status file gave no record.
  struct ReadFailure {
    enum class Reason {
      absent,          // nothing at the path (ENOENT, ENOTDIR)
      unreadable,      // it could not be opened or read: `error`
      notRegularFile,  // a folder, a FIFO, a device, a socket
      tooLarge,        // more than `maxFileBytes`
      notJSON,         // not one JSON text
      wrongMembers,    // JSON, but not an object with the five members of their kinds
    };
    Reason reason;
    int error = 0;  // errno, for `absent` and `unreadable`

    friend bool operator==(const ReadFailure&, const ReadFailure&) = default;
  };

  // Reads and decodes the status file. Only a regular file of at most `maxFileBytes` is read, and
  // it is opened without blocking, so a FIFO or a device never stalls the caller.
  static std::variant<MCPStatus, ReadFailure> readFile(const std::string& path);

  JSONValue jsonValue() const;
  std::optional<std::string> encode() const { return jsonValue().encodedData(); }

  // Writes the record, one JSON line, as the status file at `path`, replacing whatever is there
  // in one step (`replaceFile`): a reader never sees half a record, and a link is not followed.
  Result<Done, FileWriteReason> writeFile(const std::string& path) const;

  friend bool operator==(const MCPStatus&, const MCPStatus&) = default;
};

}  // namespace quill
