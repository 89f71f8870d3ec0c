/* Compiled as C99 and as C++11 with -Wall -Wextra -pedantic -Werror: the
 * public header must stand alone in both languages. */
#include "Kestrav.h"

typedef void (*request_fn)(uint8_t *, uint8_t, uint8_t);
typedef void (*stop_fn)(uint8_t *);
typedef uint8_t (*parse_fn)(const uint8_t *, uint8_t, uint16_t *, uint16_t *);
typedef uint8_t (*hid_fn)(uint16_t *, const uint8_t *, uint8_t);
typedef void (*convert_fn)(uint16_t *, const uint16_t *);
typedef void (*encode_fn)(uint8_t *, const uint16_t *);

/* Each declaration must have exactly the documented signature. */
request_fn check_request = request_upload_port_data;
stop_fn check_stop = stop_upload_port_data;
parse_fn check_parse = parse_port_data;
hid_fn check_hid = parse_hid_game_controller_device;
convert_fn check_convert = convert_std_sbus_data;
encode_fn check_v1 = encode_sbus_data_v1;
encode_fn check_v2 = encode_sbus_data_v2;
