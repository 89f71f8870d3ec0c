/*
 * Example host for the Kestrav library.
 *
 * Loads the library at run time by file name and resolves its seven exports
 * by name, as a real host application does, then walks the typical road:
 * request the upload, feed the device's stream in chunks as a serial link
 * delivers them, print the decoded port data, stop the upload, encode SBUS
 * frames and decode a HID report.
 *
 *   kestrav_host                     simulated device stream
 *   kestrav_host --stream FILE       decode a captured binary link stream
 *   kestrav_host --library PATH      load the library from PATH
 *   kestrav_host --codecs            only the SBUS and HID examples
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Kestrav.h"

#if defined(_WIN32)
#include <windows.h>
#define DEFAULT_LIBRARY "Kestrav.dll"
#else
#include <dlfcn.h>
#define DEFAULT_LIBRARY "libKestrav.so.1"
#endif

/* The seven exports, resolved by name. */
typedef struct {
  void (*request_upload_port_data)(uint8_t *, uint8_t, uint8_t);
  void (*stop_upload_port_data)(uint8_t *);
  uint8_t (*parse_port_data)(const uint8_t *, uint8_t, uint16_t *, uint16_t *);
  uint8_t (*parse_hid_game_controller_device)(uint16_t *, const uint8_t *,
                                              uint8_t);
  void (*convert_std_sbus_data)(uint16_t *, const uint16_t *);
  void (*encode_sbus_data_v1)(uint8_t *, const uint16_t *);
  void (*encode_sbus_data_v2)(uint8_t *, const uint16_t *);
} Kestrav;

static int resolve(void *library, const char *name, void *function_pointer) {
#if defined(_WIN32)
  FARPROC symbol = GetProcAddress((HMODULE)library, name);
#else
  void *symbol = dlsym(library, name);
#endif
  if (symbol == NULL) {
    fprintf(stderr, "missing export: %s\n", name);
    return 0;
  }
  /* Object and function pointers have the same size on every platform that
   * has dlsym or GetProcAddress; copy the bits. */
  memcpy(function_pointer, &symbol, sizeof symbol);
  return 1;
}

static int load(const char *path, Kestrav *k) {
#if defined(_WIN32)
  void *library = (void *)LoadLibraryA(path);
#else
  void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
  if (library == NULL) {
    fprintf(stderr, "cannot load %s\n", path);
    return 0;
  }
  return resolve(library, "request_upload_port_data",
                 &k->request_upload_port_data) &&
         resolve(library, "stop_upload_port_data", &k->stop_upload_port_data) &&
         resolve(library, "parse_port_data", &k->parse_port_data) &&
         resolve(library, "parse_hid_game_controller_device",
                 &k->parse_hid_game_controller_device) &&
         resolve(library, "convert_std_sbus_data", &k->convert_std_sbus_data) &&
         resolve(library, "encode_sbus_data_v1", &k->encode_sbus_data_v1) &&
         resolve(library, "encode_sbus_data_v2", &k->encode_sbus_data_v2);
}

/* A small fixed-seed generator, so that every run and every platform cuts
 * the stream the same way. */
static uint32_t rng_state = 0x4B455354u;
static uint32_t next_random(void) {
  rng_state ^= rng_state << 13;
  rng_state ^= rng_state >> 17;
  rng_state ^= rng_state << 5;
  return rng_state;
}
static unsigned chunk_size(void) {
  return 1 + next_random() % 255;
}

static void print_hex(const char *label, const uint8_t *bytes, size_t n) {
  size_t k;
  printf("%s", label);
  for (k = 0; k < n; ++k) printf(" %02X", bytes[k]);
  printf("\n");
}

static void print_words(const char *label, const uint16_t *words, size_t n) {
  size_t k;
  printf("    %s", label);
  for (k = 0; k < n; ++k) {
    if (k > 0 && k % 16 == 0) printf("\n           ");
    printf(" %5u", words[k]);
  }
  printf("\n");
}

/* ---- The device side of the link, simulated ----------------------------- */

typedef struct {
  uint8_t bytes[4096];
  size_t size;
} Stream;

static void put(Stream *s, uint8_t b) {
  if (s->size < sizeof s->bytes) s->bytes[s->size++] = b;
}

static void put_frame(Stream *s, uint8_t code, const uint8_t *payload,
                      uint16_t length) {
  uint16_t k;
  put(s, 0xFA);
  put(s, code);
  put(s, (uint8_t)(length & 0xFF));
  put(s, (uint8_t)(length >> 8));
  for (k = 0; k < length; ++k) put(s, payload[k]);
  put(s, 0x5F);
}

/* Port data of type 0 (15 words), 1 (32 words) or 2 (15 + 32 words); word k
 * of frame n carries 100 * n + k so that the output shows which frame it
 * came from. */
static void put_port_data(Stream *s, uint8_t type, unsigned n) {
  static const unsigned words_of_type[3] = {15, 32, 47};
  uint8_t payload[95];
  unsigned k, words = words_of_type[type];
  payload[0] = type;
  for (k = 0; k < words; ++k) {
    const unsigned w = 100 * n + k;
    payload[1 + 2 * k] = (uint8_t)(w & 0xFF);
    payload[2 + 2 * k] = (uint8_t)(w >> 8);
  }
  put_frame(s, 0xA5, payload, (uint16_t)(1 + 2 * words));
}

static void simulate_device(Stream *s) {
  static const uint8_t echo[2] = {0x01, 0x00};
  static const uint8_t status[3] = {0x10, 0xFA, 0x20};
  unsigned n;
  for (n = 1; n <= 12; ++n) {
    put_port_data(s, (uint8_t)((n - 1) % 3), n);
    if (n % 4 == 0) put_frame(s, 0xE5, echo, 2);   /* our request, echoed */
    if (n % 5 == 0) put_frame(s, 0x31, status, 3); /* traffic of other kinds */
    if (n % 3 == 0) {                              /* line noise */
      put(s, (uint8_t)next_random());
      put(s, 0x5F);
      put(s, (uint8_t)next_random());
    }
  }
}

/* ---- The walk-through ---------------------------------------------------- */

static unsigned feed(const Kestrav *k, const uint8_t *bytes, size_t size) {
  uint16_t block15[15] = {0};
  uint16_t block32[32] = {0};
  size_t pos = 0;
  unsigned chunks = 0, found = 0;
  while (pos < size) {
    size_t n = chunk_size();
    if (n > size - pos) n = size - pos;
    ++chunks;
    if (k->parse_port_data(bytes + pos, (uint8_t)n, block15, block32)) {
      ++found;
      printf("  chunk %u (bytes %lu..%lu): port data\n", chunks,
             (unsigned long)pos, (unsigned long)(pos + n - 1));
      print_words("block15:", block15, 15);
      print_words("block32:", block32, 32);
    }
    pos += n;
  }
  printf("  %lu bytes in %u chunks, %u with port data\n", (unsigned long)size,
         chunks, found);
  return found;
}

static int feed_file(const Kestrav *k, const char *path) {
  static uint8_t bytes[1 << 20];
  size_t size;
  FILE *f = fopen(path, "rb");
  if (f == NULL) {
    fprintf(stderr, "cannot open %s\n", path);
    return 0;
  }
  size = fread(bytes, 1, sizeof bytes, f);
  fclose(f);
  printf("Captured stream %s:\n", path);
  feed(k, bytes, size);
  return 1;
}

static void sbus_sweep(const Kestrav *k) {
  static const uint16_t sweep[] = {0, 300, 600, 900, 1200};
  size_t s, c;
  printf("SBUS frames (byte 0 is the host's start byte 0F):\n");
  for (s = 0; s < sizeof sweep / sizeof sweep[0]; ++s) {
    uint16_t standard[16], channels[16];
    uint8_t frame[25];
    for (c = 0; c < 16; ++c) standard[c] = (uint16_t)(sweep[s] + 5 * c);
    k->convert_std_sbus_data(channels, standard);
    printf("  standard %4u.. -> sbus %4u..\n", standard[0], channels[0]);
    frame[0] = 0x0F;
    k->encode_sbus_data_v1(frame, channels);
    print_hex("    v1:", frame, sizeof frame);
    k->encode_sbus_data_v2(frame, channels);
    print_hex("    v2:", frame, sizeof frame);
  }
}

static void hid_sample(const Kestrav *k) {
  static const uint8_t report[17] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                                     0x21, 0x43, 0x65, 0x87, 0xA9, 0xCB,
                                     0xED, 0x0F, 0x0E, 0x0F, 0x10};
  uint16_t values[11];
  size_t n;
  print_hex("HID report:", report, sizeof report);
  if (!k->parse_hid_game_controller_device(values, report, sizeof report)) {
    printf("  not a 17-byte report\n");
    return;
  }
  printf("  values:");
  for (n = 0; n < 11; ++n) printf(" 0x%X", values[n]);
  printf("\n");
}

int main(int argc, char **argv) {
  const char *library = DEFAULT_LIBRARY;
  const char *capture = NULL;
  int codecs_only = 0;
  Kestrav k;
  uint8_t frame[7];
  int a;
  for (a = 1; a < argc; ++a) {
    if (strcmp(argv[a], "--stream") == 0 && a + 1 < argc) {
      capture = argv[++a];
    } else if (strcmp(argv[a], "--library") == 0 && a + 1 < argc) {
      library = argv[++a];
    } else if (strcmp(argv[a], "--codecs") == 0) {
      codecs_only = 1;
    } else {
      fprintf(stderr, "usage: %s [--stream FILE] [--library PATH] [--codecs]\n",
              argv[0]);
      return 2;
    }
  }
  if (!load(library, &k)) return 1;

  if (capture != NULL) return feed_file(&k, capture) ? 0 : 1;
  if (codecs_only) {
    sbus_sweep(&k);
    hid_sample(&k);
    return 0;
  }

  k.request_upload_port_data(frame, 0x01, 0x00);
  print_hex("Upload request frame:", frame, 7);
  {
    static Stream device;
    simulate_device(&device);
    printf("Device stream, in chunks of 1 to 255 bytes:\n");
    feed(&k, device.bytes, device.size);
  }
  k.stop_upload_port_data(frame);
  print_hex("Stop frame:", frame, 5);
  sbus_sweep(&k);
  hid_sample(&k);
  return 0;
}
