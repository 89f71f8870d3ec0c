/* Prints a terminal's speed and stop bits as TCGETS2 reports them, for the
 * tool tests (Python's termios module has no termios2). */
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char **argv) {
  struct termios2 t;
  int fd;
  if (argc != 2) return 2;
  fd = open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (fd < 0 || ioctl(fd, TCGETS2, &t) != 0) {
    perror(argv[1]);
    return 1;
  }
  printf("speed %u cstopb %d\n", (unsigned)t.c_ospeed,
         (t.c_cflag & CSTOPB) ? 1 : 0);
  close(fd);
  return 0;
}
