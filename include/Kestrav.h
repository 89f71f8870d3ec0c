/*
 * Kestrav: codec for a device's framed byte-stream link, HID game-controller
 * reports and SBUS servo frames.
 *
 * The library performs no I/O. The host owns every connection, reads and
 * writes the bytes, and hands them to these functions. Every pointer is
 * borrowed for the duration of one call; nothing is retained, nothing is
 * allocated, and no set-up or tear-down call exists.
 *
 * Concurrency: parse_port_data() and encode_sbus_data_v2() change
 * process-wide state held by the loaded library. No two calls of either may
 * overlap; the host serialises them. Every other function touches only its
 * arguments and may be called from any thread at any time.
 *
 * The header compiles as C99 and as C++.
 */
#ifndef KESTRAV_H
#define KESTRAV_H

#include <stdint.h>

/* The one export macro. KESTRAV_BUILDING is defined only while the library
 * itself is compiled. */
#if defined(_WIN32)
#if defined(KESTRAV_BUILDING)
#define KESTRAV_API __declspec(dllexport)
#else
#define KESTRAV_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KESTRAV_API __attribute__((visibility("default")))
#else
#define KESTRAV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Device link: command frames --------------------------------------- */

/*
 * Builds the frame that asks the device to start uploading port data:
 *   FA E5 02 00 request_arg0 request_arg1 5F
 * Writes exactly bytes 0..6 of frame_buf, which must hold at least 7 bytes;
 * bytes beyond offset 6 are left untouched and frame_buf is never read. The
 * two request bytes are placed unchanged (the link has no escaping).
 * No result; cannot fail. Thread-safe.
 */
KESTRAV_API void request_upload_port_data(uint8_t *frame_buf,
                                          uint8_t request_arg0,
                                          uint8_t request_arg1);

/*
 * Builds the frame that asks the device to stop uploading port data:
 *   FA E4 00 00 5F
 * Writes exactly bytes 0..4 of frame_buf, which must hold at least 5 bytes;
 * bytes beyond offset 4 are left untouched and frame_buf is never read.
 * No result; cannot fail. Thread-safe.
 */
KESTRAV_API void stop_upload_port_data(uint8_t *frame_buf);

/* ---- Device link: stream reassembly ------------------------------------ */

/*
 * Feeds one received chunk of the device's link stream.
 *
 * data/len: the chunk, len bytes (0 to 255). data is only read and may be
 * null when len is 0. The chunk is appended to the library's 500-byte
 * reassembly buffer; an incomplete frame at the end is carried over to the
 * next call. A chunk that does not fit behind carried-over bytes is taken in
 * pieces, so no byte is ever refused.
 *
 * block15: 15 words, or null. block32: 32 words, or null. Each complete port
 * data frame (code 0xA5, end byte in place) is decoded in stream order into
 * these blocks: payload type 0 fills block15, type 1 fills block32, type 2
 * fills both. A block is written whole from one frame or not at all; a null
 * block is never written. Words are little-endian on the wire and stored as
 * received.
 *
 * Returns 1 if at least one port data frame was found during this call
 * (whether or not it wrote a block), otherwise 0.
 *
 * NOT thread-safe: the reassembly state is process-wide, serves one stream
 * per loaded library, and is never reset. Calls must not overlap.
 */
KESTRAV_API uint8_t parse_port_data(const uint8_t *data, uint8_t len,
                                    uint16_t *block15, uint16_t *block32);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESTRAV_H */
