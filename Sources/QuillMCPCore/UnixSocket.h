// Who is at the other end of a local connection.
#pragma once

#include <sys/types.h>

#include <optional>

namespace quill {

// The user id of the process at the other end of the connected Unix-domain socket `fd`, as the
// kernel recorded it when the connection was made; absent when the system cannot tell (not a
// Unix-domain socket, not connected). Both ends of the link use it to refuse a peer that runs as
// another user: only someone who can act as this user may answer for, or ask, the application.
std::optional<uid_t> peerUserID(int fd);

// True when the peer of `fd` runs as this process's own effective user.
bool peerIsSameUser(int fd);

}  // namespace quill
