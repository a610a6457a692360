/* The least a shim between client and application can do for a tool call, as a reference for the
 * cost of the extra process alone: for every line on standard input it opens a connection to the
 * socket in QUILL_MCP_SOCKET, sets the same two time-outs, sends one fixed request line, reads the
 * answer, closes, and writes one fixed answer line. It reads no JSON and writes none of its own. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

static const char request[] =
    "{\"id\":1,\"method\":\"tools/call\",\"params\":{\"arguments\":{\"project\":\"Atlas\"},"
    "\"name\":\"get_context_packet\"},\"v\":1}\n";
static const char answer[] =
    "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{\"content\":[{\"text\":\"briefing\",\"type\":\"text\"}],"
    "\"isError\":false}}\n";

int main(void) {
  const char *path = getenv("QUILL_MCP_SOCKET");
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path == NULL || strlen(path) >= sizeof address.sun_path) {
    fprintf(stderr, "relay: QUILL_MCP_SOCKET must name a socket\n");
    return 2;
  }
  strcpy(address.sun_path, path);
  signal(SIGPIPE, SIG_IGN);
  static char input[64 * 1024];
  static char reply[64 * 1024];
  const struct timeval timeout = {30, 0};
  for (;;) {
    const ssize_t n = read(0, input, sizeof input);
    if (n <= 0) return 0;
    const char *p = input;
    const char *end = input + n;
    while ((p = memchr(p, '\n', (size_t)(end - p))) != NULL) {
      const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      if (fd < 0) return 1;
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
      if (connect(fd, (const struct sockaddr *)&address, sizeof address) != 0 ||
          send(fd, request, sizeof request - 1, 0) < 0 || read(fd, reply, sizeof reply) <= 0) {
        return 1;
      }
      close(fd);
      if (write(1, answer, sizeof answer - 1) < 0) return 0;
      ++p;
    }
  }
}
