// The raw terminal settings the tool asks for. A pty cannot show parity
// (Linux clears PARENB on it), so the request itself is checked here.
#include <gtest/gtest.h>

#include "sbus_frame.h"
#include "serial_settings.h"

namespace kestrav_tool {
namespace {

termios cooked() {
  termios t{};
  t.c_iflag = ICRNL | IXON | IXOFF | ISTRIP | INLCR | IGNCR | BRKINT;
  t.c_oflag = OPOST | ONLCR;
  t.c_lflag = ICANON | ECHO | ECHONL | ISIG | IEXTEN;
  t.c_cflag = CS7 | PARODD | CRTSCTS;
  return t;
}

TEST(SerialSettings, RawBinaryModeWithTheRequestedFraming) {
  struct Case {
    LineSettings::Parity parity;
    int stop_bits;
    tcflag_t want_set, want_clear;
  } cases[] = {
      {LineSettings::Parity::None, 1, CS8 | CREAD | CLOCAL,
       PARENB | PARODD | CSTOPB | CRTSCTS},
      {LineSettings::Parity::Even, 2, CS8 | CREAD | CLOCAL | PARENB | CSTOPB,
       PARODD | CRTSCTS},
  };
  for (const Case &c : cases) {
    LineSettings line;
    line.parity = c.parity;
    line.stop_bits = c.stop_bits;
    const termios t = raw_settings(cooked(), line);
    EXPECT_EQ(t.c_cflag & (CSIZE | c.want_set | c.want_clear), c.want_set)
        << "stop bits " << c.stop_bits;
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP | INLCR | IGNCR |
                           BRKINT | INPCK),
              0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
  }
}

// The SBUS line as the sender and the monitor ask for it: a pty clears
// PARENB, so only here can a line without parity show.
TEST(SerialSettings, SbusLineAsksForEightEvenTwo) {
  const termios t = raw_settings(cooked(), sbus_line(false));
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB),
            CS8 | PARENB | CSTOPB);
  EXPECT_EQ(standard_speed(100000), 0u);  // set through termios2 instead
}

}  // namespace
}  // namespace kestrav_tool
