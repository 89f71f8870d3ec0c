// Building the raw binary-mode terminal settings, kept apart from the port so
// that a unit test can check every flag without a device.
#pragma once

#if !defined(_WIN32)
#include <termios.h>

#include <string>

#include "port.h"

namespace kestrav_tool {

// The settings a binary link needs, built from the port's current ones: no
// echo, no canonical input, no signals from bytes, no software or hardware
// flow control, no CR/LF translation either way, no byte stripping, reads
// that return whatever has arrived, 8 data bits, the given parity and stop
// bits, and the receiver on. The speed is left to the caller.
termios raw_settings(const termios &current, const LineSettings &line);

// What a port dropped of the line settings raw_settings() asked for, read
// back from it: "" when it kept them all, else a list such as "even parity
// and 2 stop bits". A UART without parity in hardware clears PARENB, or
// keeps the flag and sends no parity bit all the same.
std::string dropped_settings(const termios &got, const LineSettings &line);

// Whether a character device major is a pseudo-terminal's device side on
// Linux (UNIX98_PTY_SLAVE_MAJOR, 136, and the seven after it).
bool pty_slave_major(unsigned major);

// The Bxxx constant for a standard speed, or 0 when there is none.
speed_t standard_speed(uint32_t baud);

// Linux: sets any speed through termios2 (BOTHER) and reads the speed back.
// Both live in their own translation unit because <asm/termbits.h> clashes
// with <termios.h>. Return false and set errno on failure.
bool set_any_speed(int fd, uint32_t baud);
bool get_speed(int fd, uint32_t &baud);

}  // namespace kestrav_tool
#endif
