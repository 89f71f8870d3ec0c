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

// What a port kept of the line, read back: each case clears or sets flags
// of what was asked, as a driver or a pty does.
TEST(SerialSettings, WhatAPortDroppedIsNamed) {
  const LineSettings sbus = sbus_line(false), plain;
  const termios asked = raw_settings(cooked(), sbus);
  const struct {
    const LineSettings &line;
    tcflag_t clear, set;
    const char *dropped;
  } cases[] = {
      {sbus, 0, 0, ""},
      {sbus, PARENB, 0, "even parity"},  // a pty, or a UART without parity
      {sbus, 0, PARODD, "even parity"},
      {sbus, CSTOPB, 0, "2 stop bits"},
      {sbus, PARENB | CSTOPB, 0, "even parity and 2 stop bits"},
      {sbus, CSIZE, CS7, "8 data bits"},
      {plain, PARENB | CSTOPB, 0, ""},
      {plain, PARENB | CSTOPB, PARENB, "no parity"},
      {plain, PARENB | CSTOPB, CSTOPB, "1 stop bit"},
  };
  for (const auto &c : cases) {
    termios got = raw_settings(asked, c.line);
    got.c_cflag = (got.c_cflag & ~c.clear) | c.set;
    EXPECT_EQ(dropped_settings(got, c.line), c.dropped) << c.dropped;
  }
}

// Only the ptys are spared the read-back: not ttyS (4), ttyUSB (188),
// ttyACM (166) or ttyAMA (204), nor anything else.
TEST(SerialSettings, OnlyPtyMajorsAreSparedTheReadBack) {
  for (unsigned major = 0; major < 512; ++major)
    EXPECT_EQ(pty_slave_major(major), major >= 136 && major <= 143) << major;
}

}  // namespace
}  // namespace kestrav_tool
