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

/* KESTRAV_VERSION_MAJOR, _MINOR and _PATCH: the version of this header, at
 * compile time only (the library has no version function). */
#include "Kestrav_version.h"

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
 * (whether or not it wrote a block), otherwise 0. A result of 1 does not say
 * how many: a chunk that completes several frames decodes them all in turn
 * into the same blocks, which then hold the last, and the earlier ones are
 * gone. To see every frame, feed the stream one byte at a time (len 1: a
 * result of 1 is then exactly one frame, and the blocks are its), as the
 * kestrav tool does.
 *
 * NOT thread-safe: the reassembly state is process-wide, serves one stream
 * per loaded library, and is never reset. Calls must not overlap. Two
 * devices, or a reconnect, share it: a frame cut off on one connection is
 * completed by the next one's bytes. A host that needs a second stream, or
 * a fresh one, loads a second copy of the library (a copy of the file under
 * another name, since a loader hands the same name back once loaded).
 */
KESTRAV_API uint8_t parse_port_data(const uint8_t *data, uint8_t len,
                                    uint16_t *block15, uint16_t *block32);

/* ---- HID game-controller report ----------------------------------------- */

/*
 * Decodes one 17-byte HID game-controller input report into eleven values.
 *
 * report/len: the report; only a report of exactly 17 bytes is decoded.
 * hid_values: 11 words, written only when len is 17:
 *   [0..2]  16-bit little-endian values from bytes 0-1, 2-3, 4-5
 *   [3..7]  12-bit values at bit offsets 0, 12, 24, 36, 48 of bytes 6..13
 *           read as one 64-bit little-endian field
 *   [8]     the 4-bit value at bit offset 60 of that field
 *   [9]     16-bit little-endian value from bytes 14-15
 *   [10]    byte 16
 * Returns 1 when len was 17 and all eleven values were written. Returns 0 for
 * any other length; then neither report nor hid_values is touched, and report
 * may be null. Thread-safe.
 */
KESTRAV_API uint8_t parse_hid_game_controller_device(uint16_t *hid_values,
                                                     const uint8_t *report,
                                                     uint8_t len);

/* ---- SBUS output -----------------------------------------------------------
 */

/*
 * Scales sixteen channel values from the standard scale (on which 1200 is the
 * top of the SBUS range) into the 11-bit SBUS range:
 *   sbus_channels[k] = min(2047, floor(std_channels[k] * 1.706))
 * Reads 16 values from std_channels and writes 16 values to sbus_channels;
 * both pointers may name the same array. No result; cannot fail. Thread-safe.
 */
KESTRAV_API void convert_std_sbus_data(uint16_t *sbus_channels,
                                       const uint16_t *std_channels);

/*
 * Packs sixteen channel values into a 25-byte SBUS frame.
 * sbus_frame: 25 bytes; bytes 1..24 are written, byte 0 (the start byte) is
 * the caller's and is never touched. Channel k occupies bits 11k..11k+10 of
 * bytes 1..22, least significant bit first. A value above 2047 is clamped to
 * 2047, so it never changes another channel's bits. Byte 23 (flags) is 0x00;
 * byte 24 (end byte) is 0x00.
 * sbus_channels: 16 values, only read.
 * No result; cannot fail. Thread-safe.
 */
KESTRAV_API void encode_sbus_data_v1(uint8_t *sbus_frame,
                                     const uint16_t *sbus_channels);

/*
 * As encode_sbus_data_v1(), but byte 24 is the rolling SBUS2 end byte
 * 0x04, 0x14, 0x24, 0x34, 0x04, ... taken from a process-wide 8-bit counter
 * that starts at 0 when the library is loaded, advances by one per call, and
 * is never reset. Two SBUS2 outputs in one process share the cycle; each
 * needs a loaded copy of its own (see parse_port_data).
 * NOT thread-safe: calls must not overlap.
 */
KESTRAV_API void encode_sbus_data_v2(uint8_t *sbus_frame,
                                     const uint16_t *sbus_channels);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESTRAV_H */
