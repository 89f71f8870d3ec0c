// The tool's own functions below the process level: what a pty or a TCP
// loopback cannot show a process-level test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "../link_model.h"
#include "hid_report.h"
#include "http_request.h"
#include "link_decoder.h"
#include "mcap_file.h"
#include "options.h"
#include "port.h"
#include "record.h"
#include "run.h"
#include "sbus_frame.h"
#include "serve_address.h"
#include "websocket.h"

namespace kestrav_tool {
namespace {

TEST(TcpAddress, SplitsAndJoins) {
  struct Case {
    const char *address;
    bool ok;
    const char *host, *port;
  } cases[] = {
      {"tcp:127.0.0.1:5000", true, "127.0.0.1", "5000"},
      {"tcp:localhost:1", true, "localhost", "1"},
      {"tcp:[::1]:5000", true, "::1", "5000"},
      {"tcp:[fe80::1%eth0]:7", true, "fe80::1%eth0", "7"},
      {"tcp::5000", false, "", ""},
      {"tcp:127.0.0.1:", false, "", ""},
      {"tcp:127.0.0.1", false, "", ""},
      {"/dev/ttyUSB0", false, "", ""},
      {"127.0.0.1:5000", false, "", ""},
  };
  for (const Case &c : cases) {
    std::string host, port;
    EXPECT_EQ(split_tcp(c.address, host, port), c.ok) << c.address;
    if (!c.ok) continue;
    EXPECT_EQ(host, c.host) << c.address;
    EXPECT_EQ(port, c.port) << c.address;
    EXPECT_EQ(join_tcp(host, port), c.address);
  }
}

// Option values: what is taken, and what is a usage error.
TEST(OptionValues, NumbersAmountsAndAddresses) {
  struct Number {
    const char *text;
    uint64_t max;
    bool ok;
    uint64_t value;
  } numbers[] = {{"0", 255, true, 0},
                 {"255", 255, true, 255},
                 {"0x0A", 255, true, 10},
                 {"256", 255, false, 0},
                 {"-1", 255, false, 0},
                 {"", 255, false, 0},
                 {"12x", 255, false, 0},
                 {"18446744073709551616", UINT64_MAX, false, 0},
                 {"4000000", 4000000, true, 4000000}};
  for (const Number &n : numbers) {
    if (n.ok) {
      EXPECT_EQ(parse_number(n.text, n.max, "--x"), n.value) << n.text;
    } else {
      EXPECT_THROW(parse_number(n.text, n.max, "--x"), UsageError) << n.text;
    }
  }
  EXPECT_EQ(parse_amount("0.5", "--x"), 0.5);
  EXPECT_EQ(parse_amount("1e9", "--x"), 1e9);
  for (const char *bad : {"-0.1", "nan", "inf", "", "1e10", "2s"})
    EXPECT_THROW(parse_amount(bad, "--x"), UsageError) << bad;

  struct Address {
    const char *text;
    bool listen, ok;
  } addresses[] = {{"tcp:127.0.0.1:1", false, true},
                   {"tcp:127.0.0.1:65535", false, true},
                   {"tcp:[::1]:5000", false, true},
                   {"/dev/ttyUSB0", false, true},
                   {"localhost:5000", false, true},
                   {"tcp:127.0.0.1:0", true, true},
                   {"tcp:127.0.0.1:0", false, false},
                   {"tcp:127.0.0.1:65536", true, false},
                   {"tcp:127.0.0.1:70000", false, false},
                   {"tcp:127.0.0.1:", false, false},
                   {"tcp:127.0.0.1:http", false, false},
                   {"tcp::5000", false, false},
                   {"127.0.0.1:5000", true, false},
                   {"tcp:127.0.0.1:-1", false, false}};
  for (const Address &a : addresses) {
    if (a.ok) {
      EXPECT_NO_THROW(check_address(a.text, a.listen)) << a.text;
    } else {
      EXPECT_THROW(check_address(a.text, a.listen), UsageError) << a.text;
    }
  }

  struct Serve {
    const char *text;
    bool ok;
    const char *host;
    int port;
  } serves[] = {{"0", true, "127.0.0.1", 0},
                {"8080", true, "127.0.0.1", 8080},
                {"0.0.0.0:80", true, "0.0.0.0", 80},
                {"[::1]:0", true, "::1", 0},
                {"localhost:65535", true, "localhost", 65535},
                {":80", false, "", 0},
                {"host:", false, "", 0},
                {"65536", false, "", 0},
                {"x", false, "", 0}};
  for (const Serve &v : serves) {
    if (!v.ok) {
      EXPECT_THROW(parse_serve_address(v.text), UsageError) << v.text;
      continue;
    }
    const ServeAddress a = parse_serve_address(v.text);
    EXPECT_EQ(a.host, v.host) << v.text;
    EXPECT_EQ(a.port, v.port) << v.text;
  }
  EXPECT_EQ(host_with_port("::1", 80), "[::1]:80");
  EXPECT_EQ(host_with_port("127.0.0.1", 80), "127.0.0.1:80");
  for (const char *host : {"127.0.0.1:80", "192.168.1.5:80", "0.0.0.0:80",
                           "[::1]:80", "[::ffff:127.0.0.1]:80", "localhost:80"})
    EXPECT_TRUE(names_this_server(host, 80)) << host;
  for (const char *host :
       {"127.0.0.1:81", "evil.example:80", "localhost.:80", "::1:80",
        "1.2.3:80", "127.0.0.1 :80", "[evil]:80", ":80", "[::1]x", "[::1"})
    EXPECT_FALSE(names_this_server(host, 80)) << host;
  // Browsers and curl leave port 80 out of Host and Origin.
  for (const char *host : {"127.0.0.1", "[::1]", "localhost"}) {
    EXPECT_TRUE(names_this_server(host, 80)) << host;
    EXPECT_FALSE(names_this_server(host, 8080)) << host;
  }
  struct Origin {
    const char *origin, *host;
    int port;
    bool same;
  } origins[] = {{"http://127.0.0.1:8080", "127.0.0.1:8080", 8080, true},
                 {"http://127.0.0.1", "127.0.0.1", 80, true},
                 {"http://127.0.0.1", "127.0.0.1:80", 80, true},
                 {"http://127.0.0.1:80", "127.0.0.1", 80, true},
                 {"http://[::1]", "[::1]:80", 80, true},
                 {"http://127.0.0.1", "127.0.0.1:8080", 8080, false},
                 {"http://localhost:80", "127.0.0.1", 80, false},
                 {"https://127.0.0.1", "127.0.0.1", 80, false},
                 {"http://evil.example", "127.0.0.1", 80, false},
                 {"null", "127.0.0.1", 80, false}};
  for (const Origin &o : origins)
    EXPECT_EQ(same_origin(o.origin, o.host, o.port), o.same)
        << o.origin << " from " << o.host;
}

// A recording keeps each record's t as nanoseconds after the start; a
// replay divides them by 1e9 and prints t to the microsecond, as the run
// did. Every half-microsecond tie, and its neighbours a few ulps away,
// must come back exactly as it was printed.
TEST(RecordingTime, GivesBackEveryPrintedMicrosecond) {
  char live[64], replayed[64];
  unsigned ties = 0;
  for (int64_t us = 0; us < 2000000; us += 13) {
    double t = (static_cast<double>(us) + 0.5) / 1e6 +
               1000.0 * static_cast<double>(us % 3);
    t = std::nextafter(t, 0.0);
    for (int k = 0; k < 3; ++k, t = std::nextafter(t, 1e9)) {
      const int64_t ns = recording_ns(t);
      ties += std::llround(t * 1e9) % 1000 == 500;
      std::snprintf(live, sizeof live, "%.6f", t);
      std::snprintf(replayed, sizeof replayed, "%.6f",
                    static_cast<double>(ns) / 1e9);
      ASSERT_STREQ(live, replayed) << "ns " << ns;
      ASSERT_LE(std::llabs(ns - std::llround(t * 1e9)), 1);
    }
  }
  EXPECT_GT(ties, 100000u);
}

// A client frame as a browser sends it: masked.
std::string client_frame(uint8_t first, const std::string &payload,
                         uint64_t declared = UINT64_MAX) {
  const uint64_t n = declared == UINT64_MAX ? payload.size() : declared;
  std::string f(1, static_cast<char>(first));
  if (n < 126) {
    f += static_cast<char>(0x80 | n);
  } else if (n <= 0xFFFF) {
    f += static_cast<char>(0x80 | 126);
    f += static_cast<char>(n >> 8);
    f += static_cast<char>(n & 0xFF);
  } else {
    f += static_cast<char>(0x80 | 127);
    for (int k = 7; k >= 0; --k) f += static_cast<char>((n >> (8 * k)) & 0xFF);
  }
  const char mask[4] = {0x12, 0x34, 0x56, 0x78};
  f.append(mask, 4);
  for (size_t k = 0; k < payload.size(); ++k)
    f += static_cast<char>(payload[k] ^ mask[k % 4]);
  return f;
}

std::string events_of(const std::vector<ws::Event> &events) {
  std::string out;
  for (const ws::Event &e : events) {
    static const char *kNames[] = {"message", "ping", "pong", "close", "fail"};
    out += kNames[static_cast<int>(e.kind)];
    if (e.kind == ws::Event::Kind::Message)
      out += e.opcode == ws::kText ? " text " : " binary ";
    else
      out += " ";
    out += e.kind == ws::Event::Kind::Fail || e.kind == ws::Event::Kind::Close
               ? std::to_string(e.code)
               : e.data;
    out += ";";
  }
  return out;
}

TEST(WebSocket, KnownAnswers) {
  // The handshake's example key, and SHA-1 and base64 test vectors.
  EXPECT_EQ(ws::accept_key("dGhlIHNhbXBsZSBub25jZQ=="),
            "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(ws::base64(ws::sha1("abc")), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
  EXPECT_EQ(ws::base64(ws::sha1(std::string(1000, 'a'))),
            "KR6abGaZSUm1e6XmUDYemPw2sbo=");
  const char *b64[][2] = {{"", ""},
                          {"f", "Zg=="},
                          {"fo", "Zm8="},
                          {"foo", "Zm9v"},
                          {"foob", "Zm9vYg=="}};
  for (const auto &v : b64) EXPECT_EQ(ws::base64(v[0]), v[1]);
  // A handshake's key: 16 bytes, so 22 digits and "==".
  EXPECT_TRUE(ws::valid_key("dGhlIHNhbXBsZSBub25jZQ=="));
  EXPECT_TRUE(ws::valid_key("+/+/+/+/+/+/+/+/+/+/+w=="));
  for (const char *bad :
       {"dGhlIHNhbXBsZSBub25jZQ=", "dGhlIHNhbXBsZSBub25jZQ===",
        "AAAAAAAAAAAAAAAAAAAAAAA=", "dGhlIHNhbXBsZSBub25jZ!==",
        "dGhlIHNhbXBsZSBub25jZQ= ", ""})
    EXPECT_FALSE(ws::valid_key(bad)) << bad;
  // Server frames: unmasked, the shortest length form.
  for (const auto &[size, head] : std::vector<std::pair<size_t, size_t>>{
           {0, 2}, {125, 2}, {126, 4}, {65535, 4}, {65536, 10}}) {
    const std::string f = ws::frame(ws::kBinary, std::string(size, 'x'));
    EXPECT_EQ(f.size(), size + head);
    EXPECT_EQ(static_cast<uint8_t>(f[0]), 0x82);
    EXPECT_EQ(static_cast<uint8_t>(f[1]) & 0x80, 0);
  }
  EXPECT_EQ(ws::close_frame(1009, "too big"),
            std::string("\x88\x09\x03\xF1too big"));
  EXPECT_EQ(ws::close_frame(1000, std::string(200, 'r')).size(), 2u + 125u);
}

TEST(WebSocket, ClientFramesAndTheirFaults) {
  const std::string big(70000, 'b');
  struct Case {
    std::string bytes;
    std::string events;
  } cases[] = {
      {client_frame(0x81, "hello"), "message text hello;"},
      {client_frame(0x82, std::string("\xFF\x00", 2)),
       std::string("message binary \xFF\x00;", 18)},
      // In pieces, with a ping between them.
      {client_frame(0x01, "hel") + client_frame(0x89, "p") +
           client_frame(0x80, "lo"),
       "ping p;message text hello;"},
      {client_frame(0x8A, "q"), "pong q;"},
      {client_frame(0x88,
                    "\x03\xE8"
                    "bye"),
       "close 1000;"},
      {client_frame(0x88, ""), "close 1005;"},
      {client_frame(0x88, "\x03"), "fail 1002;"},
      // Close codes: those never sent are a protocol error, not echoed.
      {client_frame(0x88, "\x03\xEE"), "fail 1002;"},   // 1006
      {client_frame(0x88, "\x03\xF7"), "fail 1002;"},   // 1015
      {client_frame(0x88, "\x03\xE7"), "fail 1002;"},   // 999
      {client_frame(0x88, "\x07\xD4"), "fail 1002;"},   // 2004
      {client_frame(0x88, "\x13\x88"), "fail 1002;"},   // 5000
      {client_frame(0x88, "\x03\xF6"), "close 1014;"},  // registered
      {client_frame(0x88, "\x0B\xB8"), "close 3000;"},  // libraries'
      {client_frame(0x88, "\x13\x87"), "close 4999;"},  // applications'
      // A 16-bit length: the key lies after it.
      {client_frame(0x81, std::string(300, 'l') + "end"),
       "message text " + std::string(300, 'l') + "end;"},
      // Unmasked, reserved bits, unknown opcodes.
      {std::string("\x81\x02hi", 4), "fail 1002;"},
      {client_frame(0xC1, "x"), "fail 1002;"},
      {client_frame(0x83, "x"), "fail 1002;"},
      // Fragments out of place; control frames too long or in pieces.
      {client_frame(0x80, "x"), "fail 1002;"},
      {client_frame(0x01, "a") + client_frame(0x81, "b"), "fail 1002;"},
      {client_frame(0x89, std::string(126, 'p')), "fail 1002;"},
      {client_frame(0x09, "p"), "fail 1002;"},
      // Over 64 KiB: refused from the header alone, or as pieces add up.
      {client_frame(0x82, "", 65537).substr(0, 14), "fail 1009;"},
      {client_frame(0x02, big.substr(0, 40000)) +
           client_frame(0x80, big.substr(0, 30000)),
       "fail 1009;"},
      {client_frame(0x82, std::string(65536, 'm')).substr(0, 20), ""},
      // Text that is not UTF-8: overlong, a surrogate, a stray
      // continuation byte, cut short, past U+10FFFF. The same bytes as
      // binary are fine.
      {client_frame(0x81, "\xC0\xAF"), "fail 1007;"},
      {client_frame(0x81, "\xED\xA0\x80"), "fail 1007;"},
      {client_frame(0x81, "a\x80"), "fail 1007;"},
      {client_frame(0x81, "\xE2\x82"), "fail 1007;"},
      {client_frame(0x81, "\xF4\x90\x80\x80"), "fail 1007;"},
      {client_frame(0x82, "\xE2\x82"), "message binary \xE2\x82;"},
      {client_frame(0x81, "\xE2\x82\xAC \xF0\x9F\x98\x80"),
       "message text \xE2\x82\xAC \xF0\x9F\x98\x80;"},
      // Nothing after a close.
      {client_frame(0x88, "") + client_frame(0x81, "late"), "close 1005;"},
  };
  for (const Case &c : cases) {
    for (const size_t step : {c.bytes.size(), size_t{1}}) {
      ws::Reader reader(65536);
      std::vector<ws::Event> events;
      for (size_t at = 0; at < c.bytes.size(); at += step)
        reader.feed(c.bytes.data() + at, std::min(step, c.bytes.size() - at),
                    events);
      EXPECT_EQ(events_of(events), c.events) << "step " << step;
    }
  }
}

// A request head, as the view's server reads it: what it refuses and why.
TEST(HttpHead, RefusesWhatCouldSlipPastAHeaderCheck) {
  struct Case {
    std::string head;
    int status;  // 0: may go on
  } cases[] = {
      {"GET /events?token=a HTTP/1.1\r\nHost: 127.0.0.1:80\r\n", 0},
      {"HEAD / HTTP/1.0\r\nHost: h\r\n", 0},
      {"GET / HTTP/1.1x\r\nHost: h\r\n", 400},
      {"GET / HTTP/2.0\r\nHost: h\r\n", 400},
      {"GET / http/1.1\r\nHost: h\r\n", 400},
      {"GET /\r\nHost: h\r\n", 400},
      {"GET  HTTP/1.1\r\nHost: h\r\n", 400},
      {"GET /a b HTTP/1.1\r\nHost: h\r\n", 400},
      {std::string("GET /events\0?token=a HTTP/1.1\r\nHost: h\r\n", 40), 400},
      {"GET /\xC3\xA9 HTTP/1.1\r\nHost: h\r\n", 400},
      {"GET * HTTP/1.1\r\nHost: h\r\n", 400},
      {"G(T / HTTP/1.1\r\nHost: h\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: h\r\n Origin: http://evil.example\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: h\r\n\tX: y\r\n", 400},
      {std::string("GET / HTTP/1.1\r\nHost: 127.0.0.1\0.evil:80\r\n", 41), 400},
      {"GET / HTTP/1.1\r\nHost: h\rX: y\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: h\x7F\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: h\r\nX-Name: caf\xC3\xA9\tok\r\n", 0},
      {"GET / HTTP/1.1\r\nHost : h\r\n", 400},
      {"GET / HTTP/1.1\r\n: h\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: 4096\r\n", 0},
      {"POST / HTTP/1.1\r\nContent-Length: 0000004096\r\n", 0},
      {"POST / HTTP/1.1\r\nContent-Length: 4097\r\n", 413},
      {"POST / HTTP/1.1\r\nContent-Length: 9999999999\r\n", 413},
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n", 413},
      {"POST / HTTP/1.1\r\nContent-Length: \r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: -1\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n", 400},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n", 411},
  };
  for (const Case &c : cases) {
    http::Request req;
    const http::HeadResult r = http::parse_head(c.head + "\r\n", 4096, req);
    EXPECT_EQ(r.status, c.status) << c.head;
    EXPECT_EQ(r.why.find('\n'), std::string::npos) << c.head;
  }
  // An absolute-form target: its authority stands for Host.
  http::Request req;
  ASSERT_EQ(http::parse_head("GET http://127.0.0.1:8/events?token=t HTTP/1.1"
                             "\r\nHost: evil.example\r\n\r\n",
                             4096, req)
                .status,
            0);
  EXPECT_EQ(req.path, "/events");
  EXPECT_EQ(req.param("token"), "t");
  EXPECT_EQ(req.host(), "127.0.0.1:8");
  http::Request bare;
  ASSERT_EQ(http::parse_head("GET HTTP://[::1]:8 HTTP/1.1\r\n\r\n", 4096, bare)
                .status,
            0);
  EXPECT_EQ(bare.path, "/");
  EXPECT_EQ(bare.host(), "[::1]:8");
  // A request line with no line end: no header to read past its end.
  http::Request alone;
  EXPECT_EQ(http::parse_head("GET / HTTP/1.1", 4096, alone).status, 0);
  EXPECT_TRUE(alone.headers.empty());
  EXPECT_EQ(http::parse_head("POST / HTTP/1.1\r\nContent-Length: 12\r\n\r\n",
                             4096, bare)
                .body_size,
            12u);
}

// A line of sixteen SBUS values, as --values and --input take it.
TEST(ChannelList, SixteenValuesWithinTheScale) {
  std::array<uint32_t, kSbusChannels> v{};
  EXPECT_EQ(parse_channels(" 0, 1 ,2,3,4,5,6,7,8,9,10,11,12,13,14, 2047\r",
                           kSbusMax, v),
            "");
  EXPECT_EQ(v[1], 1u);
  EXPECT_EQ(v[15], 2047u);
  for (const char *bad : {"0,1,2,3,4,5,6,7,8,9,10,11,12,13,14",
                          "0,1,2,3,4,5,6,7,8,9,10,11,12,"
                          "13,14,15,16",
                          "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,2048",
                          "-1,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15",
                          "0,,2,3,4,5,6,7,8,9,10,11,12,13,14,15",
                          "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,",
                          "0x1,1,2,3,4,5,6,7,8,9,10,11,"
                          "12,13,14,15"})
    EXPECT_NE(parse_channels(bad, kSbusMax, v), "") << bad;
  EXPECT_EQ(
      parse_channels("65535,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15", 65535, v),
      "");
}

// Input lines of any length, NUL bytes and all; one over the limit is
// consumed whole and flagged, and the line after it is read as it is.
TEST(InputLines, AnyLengthAndLineEnds) {
  std::FILE *f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  const std::string wide(5000, '7'), huge(70000, '1');
  const std::string text = "a\nb\r\njunk" + std::string(1, '\0') + "\nd\n" +
                           wide + "\n" + huge + "\nc";
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  std::vector<std::pair<std::string, bool>> got;
  std::string line;
  bool too_long = false;
  while (read_line(f, line, 65536, too_long)) got.emplace_back(line, too_long);
  std::fclose(f);
  const std::vector<std::pair<std::string, bool>> want = {
      {"a", false}, {"b", false},  {std::string("junk\0", 5), false},
      {"d", false}, {wide, false}, {"", true},
      {"c", false}};
  EXPECT_EQ(got, want);
}

// A port that reports whatever speed the test gives it.
class FakePort : public Port {
 public:
  explicit FakePort(uint32_t reported) : Port("COM7"), reported_(reported) {}
  ReadStatus read(uint8_t *, size_t, size_t &got, int) override {
    got = 0;
    return ReadStatus::Timeout;
  }
  void write(const uint8_t *, size_t) override {}
  void drain() override {}
  uint32_t speed() const override { return reported_; }
  void check(const LineSettings &line) const { check_speed(line); }

 private:
  uint32_t reported_;
};

TEST(CheckSpeed, FailsOnAnotherSpeedUnlessOnlyWarned) {
  const LineSettings strict = sbus_line(false), lenient = sbus_line(true);
  EXPECT_NO_THROW(FakePort(100000).check(strict));
  EXPECT_NO_THROW(FakePort(0).check(strict));  // cannot tell: taken on trust
  for (uint32_t other : {115200u, 38400u, 99999u}) {
    try {
      FakePort(other).check(strict);
      ADD_FAILURE() << other << " baud passed the check";
    } catch (const PortError &e) {
      const std::string what = e.what();
      EXPECT_EQ(what.rfind("COM7: ", 0), 0u) << what;
      EXPECT_NE(what.find(std::to_string(other)), std::string::npos) << what;
    }
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(FakePort(other).check(lenient));
    const std::string warned = testing::internal::GetCapturedStderr();
    EXPECT_NE(warned.find("warning: COM7:"), std::string::npos) << warned;
  }
}

TEST(SbusLine, IsHundredThousandBaudEightEvenTwo) {
  for (bool warn : {false, true}) {
    const LineSettings line = sbus_line(warn);
    EXPECT_EQ(line.baud, 100000u);
    EXPECT_EQ(line.parity, LineSettings::Parity::Even);
    EXPECT_EQ(line.stop_bits, 2);
    EXPECT_EQ(line.strict_speed, !warn);
  }
}

TEST(SbusEndByte, ExactlyTheFiveOfSbusAndSbus2) {
  std::vector<int> accepted;
  for (int b = 0; b < 256; ++b)
    if (is_sbus_end_byte(static_cast<uint8_t>(b))) accepted.push_back(b);
  EXPECT_EQ(accepted, (std::vector<int>{0x00, 0x04, 0x14, 0x24, 0x34}));
}

// The scanner against the plainest reading of the rule, on the whole stream
// at once: a frame is 0x0F, 23 bytes and a valid end byte; anything else
// moves on one byte. Every byte fed is either in a frame or skipped.
TEST(SbusScanner, MatchesAWholeStreamModelInAnyChunking) {
  std::mt19937 random(20261209);
  auto byte = [&] { return static_cast<uint8_t>(random() & 0xFF); };
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> stream;
    while (stream.size() < 400) {
      switch (random() % 4) {
        case 0:  // garbage, often start bytes
          for (auto k = random() % 30; k > 0; --k)
            stream.push_back(random() % 3 ? byte() : kSbusStart);
          break;
        default: {  // a frame, sometimes with a wrong end or cut short
          SbusFrame f;
          for (uint8_t &b : f) b = byte();
          f[0] = kSbusStart;
          const uint8_t ends[] = {0x00, 0x04, 0x14, 0x24, 0x34};
          f[kSbusEndAt] = random() % 4 ? ends[random() % 5] : byte();
          const size_t keep = random() % 5 ? f.size() : random() % f.size();
          stream.insert(stream.end(), f.begin(), f.begin() + long(keep));
        }
      }
    }
    std::vector<std::vector<uint8_t>> want;
    for (size_t p = 0; p + kSbusFrameSize <= stream.size();) {
      if (stream[p] == kSbusStart && is_sbus_end_byte(stream[p + kSbusEndAt])) {
        want.emplace_back(stream.begin() + long(p),
                          stream.begin() + long(p + kSbusFrameSize));
        p += kSbusFrameSize;
      } else {
        ++p;
      }
    }
    SbusScanner scanner;
    std::vector<std::vector<uint8_t>> got;
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min(stream.size() - at, size_t{1 + random() % 60});
      scanner.feed(stream.data() + at, n, [&](const uint8_t *f) {
        got.emplace_back(f, f + kSbusFrameSize);
      });
      at += n;
    }
    ASSERT_EQ(got, want) << "round " << round;
    ASSERT_EQ(got.size() * kSbusFrameSize + scanner.skipped(), stream.size())
        << "round " << round;
  }
}

// A reconnect starts a new stream, and the library's reassembly state has
// no reset: LinkDecoder::restart() must end whatever frame the library
// holds. For every prefix of noisy streams, the model keeps nothing after
// the restart bytes, and the library then decodes a fresh stream exactly as
// the model does from nothing, with both blocks starting at zeros.
TEST(LinkDecoder, RestartLeavesNothingOfTheOldStreamAfterAnyPrefix) {
  using namespace kestrav_test;
  std::mt19937 rng(20261209);
  std::vector<std::string> records;
  RecordWriter writer(stdout, Format::None, RecordWriter::Kind::Link);
  writer.set_tap([&](const std::string &line) {
    records.push_back(line.substr(line.find("\"block15\"")));
  });
  LinkDecoder decoder(writer, 0);
  const Bytes filler(LinkDecoder::kRestartBytes, LinkDecoder::kRestartFiller);
  for (int round = 0; round < 3; ++round) {
    const Bytes old = random_stream(rng, 1200);
    const Bytes fresh = random_stream(rng, 400);
    std::vector<std::string> want;
    {
      StreamModel model;
      uint16_t b15[15] = {0}, b32[32] = {0};
      for (const uint8_t byte : fresh)
        if (model.feed(&byte, 1, b15, b32) == 1)
          want.push_back("\"block15\": [" + join_values(", ", b15, 15) +
                         "], \"block32\": [" + join_values(", ", b32, 32) +
                         "]}");
    }
    for (size_t cut = 0; cut <= old.size(); ++cut) {
      StreamModel model;
      model.feed(old.data(), cut, nullptr, nullptr);
      model.feed(filler.data(), filler.size(), nullptr, nullptr);
      ASSERT_EQ(model.pending(), 0u) << "round " << round << ", cut " << cut;
      decoder.feed(old.data(), cut, 0.0);
      decoder.restart();
      records.clear();
      decoder.feed(fresh.data(), fresh.size(), 0.0);
      ASSERT_EQ(records, want) << "round " << round << ", cut " << cut;
    }
  }
}

TEST(SbusDecode, KnownFrames) {
  // ch0 = 1024 (bytes 1, 2 = 00 04), ch15 = 2047 (bytes 21, 22 = E0 FF).
  SbusFrame f{};
  f[0] = kSbusStart;
  f[2] = 0x04;
  f[21] = 0xE0;
  f[22] = 0xFF;
  f[kSbusFlagsAt] = kFlagCh18 | kFlagFailsafe;
  f[kSbusEndAt] = 0x24;
  const SbusFields d = decode_sbus(f.data());
  Channels want{};
  want[0] = 1024;
  want[15] = 2047;
  EXPECT_EQ(d.channels, want);
  EXPECT_EQ(d.flags, kFlagCh18 | kFlagFailsafe);
  EXPECT_EQ(d.end, 0x24);
}

// One read from a HID device: 17 bytes decode as they are, 18 from the
// second byte (the first is the report ID), anything else never in part.
TEST(HidReport, LengthsAndReportIds) {
  // The report layout's known answers, with an ID byte 7 in front.
  const uint8_t with_id[18] = {7,    0x01, 0x02, 0x03, 0x04, 0x05,
                               0x06, 0x21, 0x43, 0x65, 0x87, 0xA9,
                               0xCB, 0xED, 0x0F, 0x0E, 0x0F, 0x10};
  const HidValues known = {0x0201, 0x0403, 0x0605, 0x321,  0x654, 0x987,
                           0xCBA,  0xFED,  0x0,    0x0F0E, 0x10};
  struct Case {
    size_t offset, n;
    int want_id;
    HidReport::Kind kind;
    uint8_t id;
  } cases[] = {
      {1, 17, -1, HidReport::Kind::Decoded, 0},
      {1, 17, 0, HidReport::Kind::Decoded, 0},  // unnumbered: ID 0
      {1, 17, 7, HidReport::Kind::OtherId, 0},
      {0, 18, -1, HidReport::Kind::Decoded, 7},
      {0, 18, 7, HidReport::Kind::Decoded, 7},
      {0, 18, 6, HidReport::Kind::OtherId, 7},
      {0, 0, -1, HidReport::Kind::BadLength, 0},
      {0, 16, -1, HidReport::Kind::BadLength, 0},
      {0, 19, -1, HidReport::Kind::BadLength, 0},
      {0, 64, 7, HidReport::Kind::BadLength, 0},
  };
  uint8_t buf[64] = {0};
  std::copy(std::begin(with_id), std::end(with_id), buf);
  for (const Case &c : cases) {
    const HidReport r = take_hid_report(buf + c.offset, c.n, c.want_id);
    EXPECT_EQ(r.kind, c.kind) << c.n << " bytes, want id " << c.want_id;
    if (r.kind != HidReport::Kind::Decoded) continue;
    EXPECT_EQ(r.id, c.id);
    EXPECT_EQ(r.values, known);
    EXPECT_EQ(r.body, buf + 1);  // the 17 bytes after any ID
  }
}

// Every value of every width maps as the rounded linear map does, from 172
// at 0 to 1811 at the width's maximum.
TEST(SbusMap, EveryValueOfEveryWidth) {
  for (unsigned bits : {4u, 8u, 12u, 16u}) {
    const uint32_t max = (uint32_t{1} << bits) - 1;
    EXPECT_EQ(map_to_sbus(0, bits), 172) << bits;
    EXPECT_EQ(map_to_sbus(max, bits), 1811) << bits;
    for (uint32_t v = 0; v <= max; ++v)
      ASSERT_EQ(map_to_sbus(v, bits),
                std::lround(172.0 + 1639.0 * v / static_cast<double>(max)))
          << bits << " bits, " << v;
  }
}

TEST(SbusMap, EntriesAndRefusals) {
  SbusMap map;
  ASSERT_EQ(parse_sbus_map("0,~8,c,=172,10,~3,=2047", map), "");
  HidValues v{};
  v[0] = 0xFFFF;  // 16 bits, at the top
  v[8] = 0x3;     // 4 bits: inverted, 12 of 15
  v[10] = 0x80;   // 8 bits
  v[3] = 0;       // 12 bits at the bottom, inverted: the top
  const Channels got = apply_sbus_map(map, v);
  Channels want;
  want.fill(992);
  want[0] = 1811;
  want[1] = map_to_sbus(12, 4);
  want[2] = 992;
  want[3] = 172;
  want[4] = map_to_sbus(0x80, 8);
  want[5] = 1811;
  want[6] = 2047;
  EXPECT_EQ(got, want);
  for (const char *bad : {"11", "=2048", "x", "", "1,,2", "~", "=", "-1",
                          "0,0,0,0,0,0,0,0,0,0,0,0,"
                          "0,0,0,0,0"}) {
    EXPECT_NE(parse_sbus_map(bad, map), "") << bad;
  }
  EXPECT_EQ(parse_sbus_map("0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0", map), "");
}

}  // namespace
}  // namespace kestrav_tool
