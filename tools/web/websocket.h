// WebSocket framing (RFC 6455), server side, apart from any socket, so that
// the rules can be tested (and fuzzed) on bytes alone.
//
// A client's frames are read as they come:
// - every client frame must be masked, and no reserved bit set;
// - a message may come in fragments (a first frame, continuations, the last
//   with FIN); control frames (close, ping, pong) may come between them, are
//   never fragmented and carry at most 125 bytes;
// - a message over the bound fails with 1009 as soon as its length is
//   known, before its bytes are buffered; a text message that is not UTF-8
//   fails with 1007; anything else malformed, a close code that is never
//   sent (1005, 1006, 1015, 999, 5000, ...) among it, with 1002.
// Server frames are never masked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrav_tool {
namespace ws {

constexpr uint8_t kContinuation = 0x0;
constexpr uint8_t kText = 0x1;
constexpr uint8_t kBinary = 0x2;
constexpr uint8_t kClose = 0x8;
constexpr uint8_t kPing = 0x9;
constexpr uint8_t kPong = 0xA;

constexpr uint16_t kCloseNormal = 1000;
constexpr uint16_t kCloseGoingAway = 1001;
constexpr uint16_t kCloseProtocol = 1002;
constexpr uint16_t kCloseNotUtf8 = 1007;
constexpr uint16_t kClosePolicy = 1008;
constexpr uint16_t kCloseTooBig = 1009;

// The most a control frame may carry.
constexpr size_t kMaxControl = 125;

// The Sec-WebSocket-Accept answer to a client's Sec-WebSocket-Key:
// base64(SHA-1(key + the protocol's GUID)).
std::string accept_key(const std::string &key);
// Whether a Sec-WebSocket-Key is what the handshake asks of it: 16 bytes in
// base64, so 22 digits and "==".
bool valid_key(const std::string &key);
// SHA-1 of data, 20 bytes; base64 with padding. (For accept_key.)
std::string sha1(const std::string &data);
std::string base64(const std::string &data);

// A server frame's header, FIN set, unmasked, for size bytes of payload.
std::string frame_head(uint8_t opcode, uint64_t size);
// One whole server frame: FIN set, unmasked.
std::string frame(uint8_t opcode, const std::string &payload);
// A close frame with its status code and a reason (cut to fit 125 bytes).
std::string close_frame(uint16_t code, const std::string &reason);

bool valid_utf8(const std::string &s);

// What the client sent, in order.
struct Event {
  enum class Kind { Message, Ping, Pong, Close, Fail } kind;
  uint8_t opcode = 0;  // a Message's: kText or kBinary
  std::string data;    // a Message's or a Ping's payload; a Close's reason
  uint16_t code = 0;   // a Close's status (1005 when none), a Fail's code
};

class Reader {
 public:
  explicit Reader(size_t max_message) : max_(max_message) {}
  // Takes bytes as they come and appends what they complete to out. After
  // a Close or a Fail the reader takes nothing more.
  void feed(const char *data, size_t n, std::vector<Event> &out);
  bool done() const { return done_; }

 private:
  // One frame from the front of buf_, if whole; false when more is needed
  // (or the reader is done).
  bool next_frame(std::vector<Event> &out);
  void fail(uint16_t code, const char *why, std::vector<Event> &out);

  size_t max_;
  std::string buf_;
  std::string message_;  // a fragmented message so far
  uint8_t message_opcode_ = 0;
  bool in_message_ = false;
  bool done_ = false;
};

}  // namespace ws
}  // namespace kestrav_tool
