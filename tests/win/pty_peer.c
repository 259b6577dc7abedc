/* Test equipment: the far end of a Windows COM port under Wine. Opens a pseudo-terminal,
 * points the symbolic link argv[1] at its slave (Wine's COM port follows the link), and
 * echoes every byte it receives. The bytes "BYE!" make it close the terminal and end,
 * so the device vanishes under the port. Prints "ready" once the link is in place. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <pty.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: pty_peer LINK\n");
    return 2;
  }
  int master, slave;
  char name[256];
  struct termios raw;
  if (openpty(&master, &slave, name, NULL, NULL) != 0) return 1;
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);
  tcsetattr(slave, TCSANOW, &raw);
  unlink(argv[1]);
  if (symlink(name, argv[1]) != 0) return 1;
  printf("ready\n");
  fflush(stdout);
  /* The slave stays open here too, so the terminal lives until we end. */
  char buf[4096];
  char tail[4] = {0};
  for (;;) {
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      memmove(tail, tail + 1, 3);
      tail[3] = buf[i];
      if (memcmp(tail, "BYE!", 4) == 0) {
        close(slave);
        close(master);
        return 0;
      }
    }
    if (write(master, buf, (size_t)n) != n) break;
  }
  return 0;
}
