// termios2 access for speeds that have no Bxxx constant (SBUS runs at 100000
// baud). <asm/termbits.h> defines its own struct termios and flag macros, so
// it cannot share a translation unit with <termios.h>; the ioctl numbers and
// the structure come from the kernel's headers for the target, never from
// hard-coded values.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace kestrav_tool {

bool set_any_speed(int fd, uint32_t baud) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &t) == 0;
}

bool get_speed(int fd, uint32_t &baud) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  baud = t.c_ospeed;
  return true;
}

}  // namespace kestrav_tool
