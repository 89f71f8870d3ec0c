/* A consumer that links against the installed library the ordinary way and
 * checks one known answer from each family of functions. */
#include <stdio.h>
#include <string.h>

#include <Kestrav.h>

int main(void) {
  static const uint8_t want_request[7] = {0xFA, 0xE5, 0x02, 0x00,
                                          0x12, 0x34, 0x5F};
  static const uint8_t frame[9] = {0xFA, 0xA5, 0x04, 0x00, 0x07,
                                   0x01, 0x02, 0x03, 0x5F};
  uint8_t request[7], sbus[25];
  uint16_t channels[16], values[11];
  int k, failures = 0;

  request_upload_port_data(request, 0x12, 0x34);
  failures += memcmp(request, want_request, 7) != 0;
  failures += parse_port_data(frame, sizeof frame, NULL, NULL) != 1;
  for (k = 0; k < 16; ++k) channels[k] = 1024;
  encode_sbus_data_v1(sbus, channels);
  failures += sbus[1] != 0x00 || sbus[2] != 0x04 || sbus[3] != 0x20;
  convert_std_sbus_data(channels, channels);
  failures += channels[0] != 1746;
  failures += parse_hid_game_controller_device(values, NULL, 3) != 0;
  printf("consumer: %s, header version %d.%d.%d\n",
         failures == 0 ? "ok" : "FAILED", KESTRAV_VERSION_MAJOR,
         KESTRAV_VERSION_MINOR, KESTRAV_VERSION_PATCH);
  return failures == 0 ? 0 : 1;
}
