#include "websocket.h"

#include <algorithm>
#include <array>

namespace kestrav_tool {
namespace ws {
namespace {

// The protocol's fixed GUID, appended to the client's key.
constexpr const char *kAcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

constexpr uint8_t kFin = 0x80;
constexpr uint8_t kReserved = 0x70;
constexpr uint8_t kOpcodeMask = 0x0F;
constexpr uint8_t kMasked = 0x80;
constexpr uint8_t kLengthMask = 0x7F;
constexpr uint8_t kLength16 = 126;  // a 16-bit length follows
constexpr uint8_t kLength64 = 127;  // a 64-bit length follows
constexpr size_t kMaskSize = 4;
constexpr uint16_t kNoStatus = 1005;  // a close frame with no code

// The close codes a peer may send: those the protocol defines for use on
// the wire (1004, 1005, 1006 and 1015 never are), those registered since,
// and the ranges of libraries and applications. Anything else, 999, 2004 or
// 5000, is a protocol error.
bool sendable_close_code(uint16_t code) {
  constexpr uint16_t kFirstDefined = 1000, kLastDefined = 1014;
  constexpr uint16_t kFirstPrivate = 3000, kLastPrivate = 4999;
  if (code >= kFirstPrivate && code <= kLastPrivate) return true;
  if (code < kFirstDefined || code > kLastDefined) return false;
  return code != 1004 && code != kNoStatus && code != 1006;
}

uint32_t rotl(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

}  // namespace

std::string sha1(const std::string &data) {
  std::array<uint32_t, 5> h = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476,
                               0xC3D2E1F0};
  std::string msg = data;
  const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
  msg.push_back(static_cast<char>(0x80));
  while (msg.size() % 64 != 56) msg.push_back('\0');
  for (int k = 7; k >= 0; --k)
    msg.push_back(static_cast<char>((bits >> (8 * k)) & 0xFF));
  for (size_t block = 0; block < msg.size(); block += 64) {
    std::array<uint32_t, 80> w{};
    for (size_t t = 0; t < 16; ++t)
      for (size_t b = 0; b < 4; ++b)
        w[t] = (w[t] << 8) | static_cast<uint8_t>(msg[block + 4 * t + b]);
    for (size_t t = 16; t < 80; ++t)
      w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (size_t t = 0; t < 80; ++t) {
      uint32_t f, k;
      if (t < 20) {
        f = (b & c) | (~b & d);
        k = 0x5A827999;
      } else if (t < 40) {
        f = b ^ c ^ d;
        k = 0x6ED9EBA1;
      } else if (t < 60) {
        f = (b & c) | (b & d) | (c & d);
        k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d;
        k = 0xCA62C1D6;
      }
      const uint32_t next = rotl(a, 5) + f + e + k + w[t];
      e = d;
      d = c;
      c = rotl(b, 30);
      b = a;
      a = next;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
  std::string out;
  for (const uint32_t v : h)
    for (int k = 3; k >= 0; --k)
      out.push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
  return out;
}

std::string base64(const std::string &data) {
  static const char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t k = 0; k < data.size(); k += 3) {
    const size_t n = std::min<size_t>(3, data.size() - k);
    uint32_t v = 0;
    for (size_t b = 0; b < 3; ++b)
      v = (v << 8) | (b < n ? static_cast<uint8_t>(data[k + b]) : 0u);
    for (size_t d = 0; d < 4; ++d)
      out.push_back(d <= n ? kDigits[(v >> (18 - 6 * d)) & 0x3F] : '=');
  }
  return out;
}

bool valid_key(const std::string &key) {
  constexpr size_t kKeyDigits = 22;  // 16 bytes: 128 bits of 6 a digit
  static const std::string kDigits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  return key.size() == kKeyDigits + 2 &&
         key.find_first_not_of(kDigits) == kKeyDigits &&
         key.compare(kKeyDigits, 2, "==") == 0;
}

std::string accept_key(const std::string &key) {
  return base64(sha1(key + kAcceptGuid));
}

std::string frame_head(uint8_t opcode, uint64_t n) {
  std::string out;
  out.push_back(static_cast<char>(kFin | (opcode & kOpcodeMask)));
  if (n < kLength16) {
    out.push_back(static_cast<char>(n));
  } else if (n <= 0xFFFF) {
    out.push_back(static_cast<char>(kLength16));
    out.push_back(static_cast<char>((n >> 8) & 0xFF));
    out.push_back(static_cast<char>(n & 0xFF));
  } else {
    out.push_back(static_cast<char>(kLength64));
    for (int k = 7; k >= 0; --k)
      out.push_back(static_cast<char>((n >> (8 * k)) & 0xFF));
  }
  return out;
}

std::string frame(uint8_t opcode, const std::string &payload) {
  return frame_head(opcode, payload.size()) + payload;
}

std::string close_frame(uint16_t code, const std::string &reason) {
  std::string payload;
  payload.push_back(static_cast<char>(code >> 8));
  payload.push_back(static_cast<char>(code & 0xFF));
  payload += reason.substr(0, kMaxControl - 2);
  return frame(kClose, payload);
}

bool valid_utf8(const std::string &s) {
  size_t k = 0;
  while (k < s.size()) {
    const auto c = static_cast<uint8_t>(s[k]);
    size_t more;
    uint32_t min, v;
    if (c < 0x80) {
      ++k;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      more = 1, min = 0x80, v = c & 0x1Fu;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2, min = 0x800, v = c & 0x0Fu;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3, min = 0x10000, v = c & 0x07u;
    } else {
      return false;
    }
    if (s.size() - k <= more) return false;  // cut short
    for (size_t j = 1; j <= more; ++j) {
      const auto d = static_cast<uint8_t>(s[k + j]);
      if ((d & 0xC0) != 0x80) return false;
      v = (v << 6) | (d & 0x3Fu);
    }
    // Overlong forms, UTF-16 surrogates and values past U+10FFFF are not
    // UTF-8.
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
    k += more + 1;
  }
  return true;
}

void Reader::fail(uint16_t code, const char *why, std::vector<Event> &out) {
  Event e{Event::Kind::Fail, 0, why, code};
  out.push_back(e);
  done_ = true;
  buf_.clear();
  message_.clear();
}

void Reader::feed(const char *data, size_t n, std::vector<Event> &out) {
  if (done_) return;
  buf_.append(data, n);
  while (next_frame(out)) {
  }
}

bool Reader::next_frame(std::vector<Event> &out) {
  if (done_ || buf_.size() < 2) return false;
  const auto b0 = static_cast<uint8_t>(buf_[0]);
  const auto b1 = static_cast<uint8_t>(buf_[1]);
  const bool fin = (b0 & kFin) != 0;
  const uint8_t opcode = b0 & kOpcodeMask;
  const bool control = (opcode & 0x8) != 0;
  if ((b0 & kReserved) != 0)
    return fail(kCloseProtocol, "a reserved bit is set", out), false;
  if ((b1 & kMasked) == 0)
    return fail(kCloseProtocol, "a client frame must be masked", out), false;
  const bool known = opcode == kContinuation || opcode == kText ||
                     opcode == kBinary || opcode == kClose || opcode == kPing ||
                     opcode == kPong;
  if (!known) return fail(kCloseProtocol, "an unknown opcode", out), false;
  size_t at = 2;
  uint64_t length = b1 & kLengthMask;
  const size_t extra = length == kLength16 ? 2 : length == kLength64 ? 8 : 0;
  if (buf_.size() < at + extra) return false;
  if (extra != 0) {
    length = 0;
    for (size_t k = 0; k < extra; ++k)
      length = (length << 8) | static_cast<uint8_t>(buf_[at + k]);
    at += extra;
  }
  if (control && (!fin || length > kMaxControl))
    return fail(kCloseProtocol, "a control frame over 125 bytes or in pieces",
                out),
           false;
  if (!control) {
    if ((opcode == kContinuation) != in_message_)
      return fail(kCloseProtocol, "a message fragment out of place", out),
             false;
    // Refused as soon as its length is known: nothing of it is buffered.
    if (length > max_ || message_.size() + length > max_)
      return fail(kCloseTooBig, "a message over the bound", out), false;
  }
  if (buf_.size() < at + kMaskSize + length) return false;
  const size_t size = static_cast<size_t>(length);
  std::string payload = buf_.substr(at + kMaskSize, size);
  for (size_t k = 0; k < size; ++k)
    payload[k] = static_cast<char>(payload[k] ^ buf_[at + k % kMaskSize]);
  buf_.erase(0, at + kMaskSize + size);
  if (opcode == kPing) {
    out.push_back({Event::Kind::Ping, opcode, payload, 0});
  } else if (opcode == kPong) {
    out.push_back({Event::Kind::Pong, opcode, payload, 0});
  } else if (opcode == kClose) {
    if (size == 1) return fail(kCloseProtocol, "a one-byte close", out), false;
    const uint16_t code =
        size >= 2
            ? static_cast<uint16_t>((static_cast<uint8_t>(payload[0]) << 8) |
                                    static_cast<uint8_t>(payload[1]))
            : kNoStatus;
    if (size >= 2 && !sendable_close_code(code))
      return fail(kCloseProtocol, "a close code that is never sent", out),
             false;
    const std::string reason = size >= 2 ? payload.substr(2) : "";
    if (!valid_utf8(reason))
      return fail(kCloseNotUtf8, "a close reason that is not UTF-8", out),
             false;
    out.push_back({Event::Kind::Close, opcode, reason, code});
    done_ = true;
    return false;
  } else {
    if (!in_message_) message_opcode_ = opcode;
    message_ += payload;
    in_message_ = !fin;
    if (fin) {
      if (message_opcode_ == kText && !valid_utf8(message_))
        return fail(kCloseNotUtf8, "a text message that is not UTF-8", out),
               false;
      out.push_back({Event::Kind::Message, message_opcode_, message_, 0});
      message_.clear();
    }
  }
  return true;
}

}  // namespace ws
}  // namespace kestrav_tool
