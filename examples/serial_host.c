/*
 * A serial host in one file: opens PORT raw at 115200 8N1 (a tty with POSIX
 * termios, or COMn on Windows), sends the upload request, prints every port
 * data frame, and on Ctrl-C sends the stop frame, lets it leave the port and
 * gives the port its settings back.
 *
 *   kestrav_serial_host PORT
 *
 * Bytes go to parse_port_data one at a time, so that a result of 1 is
 * exactly one frame: a whole read fed at once would keep only its last.
 * One line a frame: "N: b15 W0 .. W14 | b32 W0 .. W31".
 */
#define _DEFAULT_SOURCE /* cfmakeraw, sigaction, CRTSCTS */
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "Kestrav.h"

#if defined(_WIN32)
#include <windows.h>
typedef HANDLE Port;
#define BAD_PORT NULL
static volatile LONG stop_asked = 0;
static BOOL WINAPI on_ctrl(DWORD type) {
  (void)type;
  InterlockedExchange(&stop_asked, 1);
  return TRUE;
}
static Port open_port(const char *name) {
  char path[64];
  snprintf(path, sizeof path, "\\\\.\\%s", name); /* COM10 and up need it */
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                         OPEN_EXISTING, 0, NULL);
  DCB dcb;
  /* A read returns once a byte is there, or after 0.1 s with none. */
  COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 100, 0, 2000};
  dcb.DCBlength = sizeof dcb;
  if (h == INVALID_HANDLE_VALUE || !GetCommState(h, &dcb)) return NULL;
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE; /* and no flow control: */
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
  if (!SetCommState(h, &dcb) || !SetCommTimeouts(h, &timeouts)) return NULL;
  SetConsoleCtrlHandler(on_ctrl, TRUE);
  return h;
}
static long read_port(Port p, uint8_t *buf, size_t cap) {
  DWORD got = 0;
  return ReadFile(p, buf, (DWORD)cap, &got, NULL) ? (long)got : -1;
}
static int write_port(Port p, const uint8_t *data, size_t n) {
  DWORD put = 0;
  return WriteFile(p, data, (DWORD)n, &put, NULL) && put == n ? 0 : -1;
}
static void close_port(Port p) {
  FlushFileBuffers(p); /* the stop frame leaves before the port closes */
  CloseHandle(p);
}
#else
#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
typedef int Port;
#define BAD_PORT (-1)
static volatile sig_atomic_t stop_asked = 0;
static struct termios saved;
static void on_signal(int sig) {
  (void)sig;
  stop_asked = 1;
}
static Port open_port(const char *path) {
  struct termios t;
  struct sigaction sa;
  int fd = open(path, O_RDWR | O_NOCTTY);
  if (fd < 0 || tcgetattr(fd, &saved) != 0) return -1;
  t = saved;
  cfmakeraw(&t); /* no echo, no line editing, no CR/LF mangling */
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~(tcflag_t)(CSTOPB | PARENB | CRTSCTS);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 1; /* a read returns within 0.1 s: Ctrl-C is seen */
  if (cfsetispeed(&t, B115200) != 0 || cfsetospeed(&t, B115200) != 0 ||
      tcsetattr(fd, TCSANOW, &t) != 0)
    return -1;
  tcflush(fd, TCIOFLUSH); /* what came before the port was raw */
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal; /* no SA_RESTART: a read ends at once */
  sigaction(SIGINT, &sa, NULL);
  sigaction(SIGTERM, &sa, NULL);
  return fd;
}
static long read_port(Port p, uint8_t *buf, size_t cap) {
  ssize_t n = read(p, buf, cap);
  return n < 0 && errno == EINTR ? 0 : (long)n;
}
static int write_port(Port p, const uint8_t *data, size_t n) {
  return write(p, data, n) == (ssize_t)n ? 0 : -1;
}
static void close_port(Port p) {
  tcdrain(p); /* the stop frame leaves before the settings come back */
  tcsetattr(p, TCSANOW, &saved);
  close(p);
}
#endif

int main(int argc, char **argv) {
  uint8_t frame[7], buf[4096];
  uint16_t block15[15] = {0}, block32[32] = {0};
  unsigned long frames = 0;
  Port port = argc == 2 ? open_port(argv[1]) : BAD_PORT;
  long n, k;
  int w;
  if (port == BAD_PORT) {
    fprintf(stderr, "usage: kestrav_serial_host PORT (%s: cannot open it)\n",
            argc == 2 ? argv[1] : "none given");
    return 1;
  }
  request_upload_port_data(frame, 1, 0);
  if (write_port(port, frame, 7) != 0) stop_asked = 1;
  while (!stop_asked && (n = read_port(port, buf, sizeof buf)) >= 0) {
    for (k = 0; k < n; ++k) {
      if (!parse_port_data(buf + k, 1, block15, block32)) continue;
      printf("%lu: b15", ++frames);
      for (w = 0; w < 15; ++w) printf(" %u", (unsigned)block15[w]);
      printf(" | b32");
      for (w = 0; w < 32; ++w) printf(" %u", (unsigned)block32[w]);
      printf("\n");
      fflush(stdout);
    }
  }
  stop_upload_port_data(frame);
  write_port(port, frame, 5);
  close_port(port);
  fprintf(stderr, "kestrav_serial_host: %lu frames\n", frames);
  return 0;
}
