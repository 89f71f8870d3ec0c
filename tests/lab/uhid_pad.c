/* A game controller for the lab's guest, made with uhid: the kernel's
 * hid-generic driver binds to it and gives /dev/hidrawN, as a USB pad would.
 *
 *   uhid_pad [--report-id] [--interval MS] COUNT [UNPLUG_AFTER]
 *   uhid_pad --hold MS
 *
 * --hold makes the device, keeps it for MS and destroys it, injecting
 * nothing: a device for a listing, that goes by itself.
 *
 * Creates the device, waits until a reader opens its hidraw node, then
 * injects COUNT input reports MS apart (default 10). With UNPLUG_AFTER, the
 * five reports up to that one go out back to back (so that they are still
 * queued in hidraw when it goes), the device is destroyed, created again after
 * 300 ms, and the rest follow once a reader has opened the new node.
 *
 * Report k (from 1) holds data byte j = (k * 31 + j * 7 + 1) mod 256, j from
 * 0 to 16: the test works out the same bytes. With --report-id the
 * descriptor declares report ID 1, and hidraw hands the ID first (18 bytes).
 * Prints "open" and "gone" lines as it goes, for the test's log. */
#include <errno.h>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { kReportSize = 17, kReportId = 1, kWaitOpenMs = 20000 };

/* Generic Desktop / Game Pad, one input report of 17 vendor bytes. */
static const unsigned char kDescriptor[] = {
    0x05, 0x01,              /* Usage Page (Generic Desktop) */
    0x09, 0x05,              /* Usage (Game Pad) */
    0xA1, 0x01,              /* Collection (Application) */
    0x85, kReportId,         /*   Report ID (1): only with --report-id */
    0x06, 0x00,        0xFF, /*   Usage Page (Vendor) */
    0x09, 0x01,              /*   Usage (1) */
    0x15, 0x00,              /*   Logical Minimum (0) */
    0x26, 0xFF,        0x00, /*   Logical Maximum (255) */
    0x75, 0x08,              /*   Report Size (8) */
    0x95, kReportSize,       /*   Report Count (17) */
    0x81, 0x02,              /*   Input (Data, Variable, Absolute) */
    0xC0,                    /* End Collection */
};
enum { kReportIdItemAt = 6, kReportIdItemSize = 2 };

static int with_id;

static int open_uhid(void) {
  const int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    perror("uhid_pad: /dev/uhid");
    exit(1);
  }
  return fd;
}

static void sleep_ms(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

static void send_event(int fd, const struct uhid_event *ev) {
  if (write(fd, ev, sizeof *ev) != (ssize_t)sizeof *ev) {
    perror("uhid_pad: write");
    exit(1);
  }
}

static void create(int fd) {
  struct uhid_event ev;
  memset(&ev, 0, sizeof ev);
  ev.type = UHID_CREATE2;
  snprintf((char *)ev.u.create2.name, sizeof ev.u.create2.name,
           "Kestrav lab pad");
  snprintf((char *)ev.u.create2.uniq, sizeof ev.u.create2.uniq, "LAB1");
  size_t n = 0;
  for (size_t k = 0; k < sizeof kDescriptor; ++k) {
    if (!with_id && k >= kReportIdItemAt &&
        k < kReportIdItemAt + kReportIdItemSize)
      continue;
    ev.u.create2.rd_data[n++] = kDescriptor[k];
  }
  ev.u.create2.rd_size = (unsigned short)n;
  ev.u.create2.bus = 0x03; /* USB */
  ev.u.create2.vendor = 0xF055;
  ev.u.create2.product = 0x4B56;
  ev.u.create2.version = 1;
  send_event(fd, &ev);
}

/* Waits for UHID_OPEN: a reader opened the hidraw node. */
static void wait_open(int fd) {
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long spent = (now.tv_sec - start.tv_sec) * 1000L +
                       (now.tv_nsec - start.tv_nsec) / 1000000L;
    if (spent >= kWaitOpenMs) {
      fprintf(stderr, "uhid_pad: nobody opened the device\n");
      exit(1);
    }
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, (int)(kWaitOpenMs - spent)) <= 0) continue;
    struct uhid_event ev;
    if (read(fd, &ev, sizeof ev) <= 0) continue;
    if (ev.type == UHID_OPEN) {
      printf("open\n");
      fflush(stdout);
      return;
    }
  }
}

static void send_report(int fd, unsigned k) {
  struct uhid_event ev;
  memset(&ev, 0, sizeof ev);
  ev.type = UHID_INPUT2;
  unsigned char *d = ev.u.input2.data;
  size_t n = 0;
  if (with_id) d[n++] = kReportId;
  for (unsigned j = 0; j < kReportSize; ++j)
    d[n++] = (unsigned char)((k * 31u + j * 7u + 1u) & 0xFFu);
  ev.u.input2.size = (unsigned short)n;
  send_event(fd, &ev);
}

static void destroy(int fd) {
  struct uhid_event ev;
  memset(&ev, 0, sizeof ev);
  ev.type = UHID_DESTROY;
  send_event(fd, &ev);
  printf("gone\n");
  fflush(stdout);
}

int main(int argc, char **argv) {
  int a = 1;
  long interval_ms = 10, hold_ms = -1;
  for (; a < argc && argv[a][0] == '-'; ++a) {
    if (strcmp(argv[a], "--report-id") == 0) {
      with_id = 1;
    } else if (strcmp(argv[a], "--interval") == 0 && a + 1 < argc) {
      interval_ms = strtol(argv[++a], NULL, 10);
    } else if (strcmp(argv[a], "--hold") == 0 && a + 1 < argc) {
      hold_ms = strtol(argv[++a], NULL, 10);
    } else {
      break;
    }
  }
  if (hold_ms >= 0) {
    const int fd = open_uhid();
    create(fd);
    sleep_ms(hold_ms);
    destroy(fd);
    close(fd);
    return 0;
  }
  if (a >= argc) {
    fprintf(stderr,
            "usage: uhid_pad [--report-id] [--interval MS] COUNT "
            "[UNPLUG_AFTER]\n");
    return 2;
  }
  const unsigned count = (unsigned)strtoul(argv[a], NULL, 10);
  const unsigned unplug =
      a + 1 < argc ? (unsigned)strtoul(argv[a + 1], NULL, 10) : 0;
  const int fd = open_uhid();
  create(fd);
  wait_open(fd);
  for (unsigned k = 1; k <= count; ++k) {
    send_report(fd, k);
    const int burst = unplug != 0 && k + 5 > unplug && k < unplug;
    if (!burst) sleep_ms(interval_ms);
    if (k == unplug) {
      destroy(fd);
      sleep_ms(300);
      create(fd);
      wait_open(fd);
    }
  }
  sleep_ms(500); /* the reader takes the last reports before the end */
  destroy(fd);
  close(fd);
  return 0;
}
