/* The floor of the end-to-end benchmark: the least a server of newline-delimited messages on
 * standard input can do. It reads in 64 KiB chunks, like quill-mcp, and answers every line with
 * one fixed line in one write, without looking at what the line holds. */
#include <string.h>
#include <unistd.h>

static const char answer[] = "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n";

int main(void) {
  static char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = read(0, buffer, sizeof buffer);
    if (n <= 0) return 0;
    const char *p = buffer;
    const char *end = buffer + n;
    while ((p = memchr(p, '\n', (size_t)(end - p))) != NULL) {
      if (write(1, answer, sizeof answer - 1) < 0) return 0;
      ++p;
    }
  }
}
