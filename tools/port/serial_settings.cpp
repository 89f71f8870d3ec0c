// Raw binary-mode terminal settings for a serial link (POSIX).
#if !defined(_WIN32)

#include "serial_settings.h"

namespace kestrav_tool {

termios raw_settings(const termios &current, const LineSettings &line) {
  termios t = current;
  t.c_iflag &=
      ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                             ICRNL | IXON | IXOFF | IXANY | INPCK);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &=
      ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  if (line.parity == LineSettings::Parity::Even) t.c_cflag |= PARENB;
  if (line.stop_bits == 2) t.c_cflag |= CSTOPB;
  // A read returns as soon as one byte is there; poll() does the waiting.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return t;
}

std::string dropped_settings(const termios &got, const LineSettings &line) {
  std::string dropped;
  const auto drop = [&](const char *what) {
    if (!dropped.empty()) dropped += " and ";
    dropped += what;
  };
  const bool even = line.parity == LineSettings::Parity::Even;
  const bool got_even = (got.c_cflag & PARENB) && !(got.c_cflag & PARODD);
  const bool got_none = !(got.c_cflag & PARENB);
  if (even ? !got_even : !got_none) drop(even ? "even parity" : "no parity");
  if (((got.c_cflag & CSTOPB) != 0) != (line.stop_bits == 2))
    drop(line.stop_bits == 2 ? "2 stop bits" : "1 stop bit");
  if ((got.c_cflag & CSIZE) != CS8) drop("8 data bits");
  return dropped;
}

bool pty_slave_major(unsigned major) {
  constexpr unsigned kFirst = 136, kCount = 8;
  return major >= kFirst && major < kFirst + kCount;
}

speed_t standard_speed(uint32_t baud) {
  static const struct {
    uint32_t baud;
    speed_t code;
  } kSpeeds[] = {{1200, B1200},      {2400, B2400},     {4800, B4800},
                 {9600, B9600},      {19200, B19200},   {38400, B38400},
                 {57600, B57600},    {115200, B115200}, {230400, B230400},
                 {460800, B460800},  {921600, B921600}, {1000000, B1000000},
                 {2000000, B2000000}};
  for (const auto &s : kSpeeds)
    if (s.baud == baud) return s.code;
  return 0;
}

}  // namespace kestrav_tool

#endif  // !_WIN32
