/* A stand-in for the desktop application that costs as little as possible: it listens on the
 * Unix-domain socket given as its only argument and answers every connection, as soon as the
 * request's line feed has arrived, with one fixed successful tool result, then closes. */
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static const char answer[] =
    "{\"id\":1,\"ok\":true,\"result\":{\"content\":[{\"text\":\"briefing\",\"type\":\"text\"}],"
    "\"isError\":false},\"v\":1}\n";

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s SOCKET-PATH\n", argv[0]);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (strlen(argv[1]) >= sizeof address.sun_path) {
    fprintf(stderr, "socket path too long\n");
    return 2;
  }
  strcpy(address.sun_path, argv[1]);
  unlink(argv[1]);
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) != 0 ||
      listen(listener, 128) != 0) {
    perror("listen");
    return 1;
  }
  static char buffer[64 * 1024];
  for (;;) {
    const int connection = accept(listener, NULL, NULL);
    if (connection < 0) continue;
    for (;;) {
      const ssize_t n = read(connection, buffer, sizeof buffer);
      if (n <= 0) break;
      if (memchr(buffer, '\n', (size_t)n) != NULL) {
        if (write(connection, answer, sizeof answer - 1) < 0) break;
        break;
      }
    }
    close(connection);
  }
}
