#include "SocketCredentials.h"

#include <sys/socket.h>
#include <unistd.h>

namespace quill {

// ---- Platform: reading the peer's credentials. ------------------------------------------------
#if defined(__linux__)

std::optional<uid_t> peerUserID(int fd) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials) {
    return std::nullopt;
  }
  return credentials.uid;
}

#else  // macOS and the BSDs

std::optional<uid_t> peerUserID(int fd) {
  uid_t user = 0;
  gid_t group = 0;
  if (::getpeereid(fd, &user, &group) != 0) return std::nullopt;
  return user;
}

#endif
// ---- End of platform ---------------------------------------------------------------------

bool peerIsSameUser(int fd) {
  const auto user = peerUserID(fd);
  return user && *user == ::geteuid();
}

}  // namespace quill
