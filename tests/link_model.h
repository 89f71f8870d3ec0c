// Test-side helpers for the device link: a frame builder, a random stream
// generator, and a deliberately simple model of the stream reader.
//
// The model keeps every byte it has been given (no 500-byte buffer, no
// pieces, no copies) and scans the stream once from front to back, resuming
// where it stopped when a frame is incomplete. The library must behave exactly
// like it for any stream cut into any chunks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace kestrav_test {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kHead = 0xFA;
constexpr uint8_t kTail = 0x5F;
constexpr uint8_t kPortData = 0xA5;
constexpr uint8_t kRequest = 0xE5;
constexpr uint8_t kStop = 0xE4;
constexpr size_t kLargestPayload = 495;  // 500-byte buffer less 5 framing

// FA code L(lo) L(hi) payload tail. The length is the payload's unless given.
inline Bytes make_frame(uint8_t code, const Bytes &payload,
                        uint8_t tail = kTail) {
  Bytes f(payload.size() + 5);
  f[0] = kHead;
  f[1] = code;
  f[2] = static_cast<uint8_t>(payload.size() & 0xFF);
  f[3] = static_cast<uint8_t>(payload.size() >> 8);
  for (size_t k = 0; k < payload.size(); ++k) f[4 + k] = payload[k];
  f[4 + payload.size()] = tail;
  return f;
}

// A port data payload: the type byte followed by the given words, each low
// byte first.
inline Bytes make_payload(uint8_t type, const std::vector<uint16_t> &words) {
  Bytes p = {type};
  for (uint16_t w : words) {
    p.push_back(static_cast<uint8_t>(w & 0xFF));
    p.push_back(static_cast<uint8_t>(w >> 8));
  }
  return p;
}

inline std::vector<uint16_t> word_run(uint16_t first, size_t count) {
  std::vector<uint16_t> w(count);
  for (size_t k = 0; k < count; ++k) w[k] = static_cast<uint16_t>(first + k);
  return w;
}

// The reference reader.
class StreamModel {
 public:
  uint8_t feed(const uint8_t *data, size_t len, uint16_t *block15,
               uint16_t *block32) {
    stream_.insert(stream_.end(), data, data + len);
    uint8_t found = 0;
    size_t p = 0;
    for (;;) {
      if (p >= stream_.size()) break;
      if (stream_[p] != kHead) {
        ++p;
        continue;
      }
      if (stream_.size() - p < 4) break;  // wait for the header
      const size_t length = stream_[p + 2] + 256u * stream_[p + 3];
      if (length > kLargestPayload) {
        ++p;
        continue;
      }
      const size_t end = p + 4 + length;
      if (end >= stream_.size()) break;  // wait for the end byte
      if (stream_[end] != kTail) {
        p = end + 1;
      } else if (stream_[p + 1] == kPortData) {
        decode(&stream_[p + 4], length, block15, block32);
        found = 1;
        p = end + 1;
      } else if (stream_[p + 1] == kRequest) {
        p = end + 1;
      } else {
        ++p;
      }
    }
    // Scanned bytes are never looked at again; forgetting them changes
    // nothing but memory use.
    stream_.erase(stream_.begin(),
                  stream_.begin() + static_cast<std::ptrdiff_t>(p));
    return found;
  }

  // Bytes kept for a frame not yet complete.
  size_t pending() const { return stream_.size(); }

  // Payload decoding, from the layout table: which block a type fills, from
  // which payload offset, and only when the payload holds all of it.
  static void decode(const uint8_t *payload, size_t length, uint16_t *block15,
                     uint16_t *block32) {
    struct Part {
      uint8_t type;
      bool to_block15;
      size_t offset;
      size_t words;
    };
    static const Part kLayout[] = {{0, true, 1, 15},
                                   {1, false, 1, 32},
                                   {2, true, 1, 15},
                                   {2, false, 31, 32}};
    if (length == 0) return;
    for (const Part &part : kLayout) {
      uint16_t *block = part.to_block15 ? block15 : block32;
      if (payload[0] != part.type || block == nullptr) continue;
      if (length < part.offset + 2 * part.words) continue;
      for (size_t k = 0; k < part.words; ++k) {
        block[k] = static_cast<uint16_t>(payload[part.offset + 2 * k] |
                                         payload[part.offset + 2 * k + 1] << 8);
      }
    }
  }

 private:
  Bytes stream_;
};

// A random stream of everything a noisy link can carry: port data frames of
// every type (complete, short and over-long), request frames, frames of other
// codes (some with start bytes inside), wrong end bytes, false starts that
// declare impossible lengths, truncated frames and loose garbage.
inline Bytes random_stream(std::mt19937 &rng, size_t min_size) {
  auto pick = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  auto byte = [&rng]() { return static_cast<uint8_t>(rng() & 0xFF); };
  auto random_bytes = [&](size_t n) {
    Bytes b(n);
    for (auto &x : b) x = byte();
    return b;
  };
  static const size_t kFullLength[] = {31, 65, 95};
  Bytes s;
  while (s.size() < min_size) {
    Bytes piece;
    switch (pick(12)) {
      case 0:
      case 1:
      case 2: {  // a complete port data frame of type 0, 1 or 2
        const uint8_t type = static_cast<uint8_t>(pick(3));
        Bytes payload = random_bytes(kFullLength[type]);
        payload[0] = type;
        piece = make_frame(kPortData, payload);
        break;
      }
      case 3: {  // short or over-long port data, any type byte
        Bytes payload = random_bytes(pick(130));
        if (!payload.empty() && pick(4) != 0) {
          payload[0] = static_cast<uint8_t>(pick(4));
        }
        piece = make_frame(kPortData, payload);
        break;
      }
      case 4:  // request frame, as the host would send it
        piece = make_frame(kRequest, random_bytes(pick(4) == 0 ? pick(40) : 2));
        break;
      case 5: {  // another code, often with start bytes inside
        Bytes payload = random_bytes(pick(4) == 0 ? pick(496) : pick(12));
        for (auto &x : payload) {
          if (pick(3) == 0) x = kHead;
        }
        piece = make_frame(pick(2) ? kStop : byte(), payload);
        break;
      }
      case 6: {  // wrong end byte
        Bytes payload = random_bytes(pick(100));
        uint8_t tail = byte();
        if (tail == kTail) tail = 0;
        piece = make_frame(pick(2) ? kPortData : kRequest, payload, tail);
        break;
      }
      case 7: {  // false start: declares a frame that can never fit
        const uint16_t length = static_cast<uint16_t>(496 + pick(65040));
        piece = {kHead, pick(2) ? kPortData : byte(),
                 static_cast<uint8_t>(length & 0xFF),
                 static_cast<uint8_t>(length >> 8)};
        break;
      }
      case 8: {  // a frame cut short by whatever follows
        const uint8_t type = static_cast<uint8_t>(pick(3));
        Bytes payload = random_bytes(kFullLength[type]);
        payload[0] = type;
        piece = make_frame(kPortData, payload);
        piece.resize(1 + pick(static_cast<uint32_t>(piece.size() - 1)));
        break;
      }
      case 9:  // a large frame, up to the biggest that fits
        piece = make_frame(pick(2) ? kPortData : kRequest,
                           random_bytes(300 + pick(196)));
        break;
      default:  // loose garbage, start bytes and tails included
        piece = random_bytes(1 + pick(20));
        for (auto &x : piece) {
          if (pick(5) == 0) x = pick(2) ? kHead : kTail;
        }
        break;
    }
    s.insert(s.end(), piece.begin(), piece.end());
  }
  return s;
}

}  // namespace kestrav_test
