// The real program between two stations that the test plays on pseudo-terminals, the
// test being its host: events meeting inside a reply's first interval, in real time.
#include <gtest/gtest.h>

#include <map>

#include "core/real_loop.h"
#include "core/text_file.h"
#include "gateway/hex.h"
#include "platform/posix_host_link.h"
#include "process.h"
#include "serial/pty.h"
#include "testing/temp_dir.h"

namespace ol::testing {
namespace {

using namespace std::chrono_literals;

struct Station {
  int id;
  Pty pty;
  std::string buffer;
  std::vector<Millis> polls;
  std::vector<Millis> replies;
};

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

std::string WithCheck(std::string bytes) {
  unsigned sum = 0;
  for (unsigned char c : bytes) sum += c;
  return bytes + Bytes({static_cast<int>(sum >> 8 & 0xFF), static_cast<int>(sum & 0xFF)});
}

// A one-packet order from handheld 5 of station 1.
std::string OrderPacket() {
  std::string payload = std::string("T01    X001Y00000000001") + '\0';
  std::string stream =
      Bytes({0, static_cast<int>(9 + payload.size()), 0x56, 0x34, 0x12, 5, 0, 1, 0x53}) + payload +
      "\x11\x22\x33\x44";
  stream.resize(48, '\0');
  return WithCheck(Bytes({1, 1, 5, 1, 1, 0, 0}) + stream);
}

// A long reply to station 1's handheld is in its first interval (about 0.9 s) when
// station 2 reports its channel again. The exchange is left to its handheld: no poll
// reaches either station until its resends are over, and then both stations take turns.
TEST(ExchangeProgramTest, AChannelAnswerDuringALongReplyWaitsForTheExchange) {
  TempDir dir;
  const auto program = InstallProgram(ORDERLINK_PROGRAM, dir.Path() / "bin");
  const auto txt = dir.Path() / "bin" / "TXT";
  std::filesystem::create_directories(txt);
  std::map<int, Station> stations;
  stations.try_emplace(1, 1);
  stations.try_emplace(2, 2);
  WriteBytes(txt / "JZ.txt", "01 05 " + stations.at(1).pty.Path() + "\r\n02 09 " +
                                 stations.at(2).pty.Path() + "\r\n");
  WriteBytes(txt / "DCJ.txt", "01 005\r\n02 010\r\n");

  RealLoop loop;
  PosixHostLink host(loop);
  WindowHandle gateway = 0;
  bool asked = false;
  host.OnMessage = [&](const HostMessage& m) {
    if (gateway == 0) {
      gateway = m.wparam;
    } else if (m.wparam == 1 && m.lparam == 1 && !asked) {
      asked = true;
      WriteBytes(txt / "R1.txt", "DC\r\n" + std::string(780, 'a'));
      host.Post(gateway, kHostMessage, 0, 1);
    }
  };
  ChildProcess gw(program, {std::to_string(host.OwnHandle())}, {"QT_QPA_PLATFORM=offscreen"},
                  dir.Path() / "gateway.log");

  bool uploading = false, uploaded = false;
  Millis channelAnswerAt = -1;
  auto serve = [&](Station& s) {
    s.buffer += s.pty.Read(4096, 0);
    std::string& b = s.buffer;
    while (!b.empty()) {
      const auto first = static_cast<unsigned char>(b[0]);
      if (first == 0xAA) {
        if (b.size() < 5) return;
        if (b.starts_with(Bytes({0xAA, 0x40, 0, 0, 0xBB}))) {
          s.pty.Write(Bytes({0xAA, 0x4F, 0, s.id == 1 ? 4 : 8, 0, 0xBB}));
        } else {
          s.polls.push_back(loop.Now());
          if (s.id == 1 && b[2] == 5 && !uploading && loop.Now() > 1000) {
            uploading = true;
            s.pty.Write(Bytes({0xA5, 1, 5}));
          }
        }
        b.erase(0, 5);
      } else if (first == 0x02) {
        if (b.size() < 9) return;
        if (uploading && !uploaded) {
          uploaded = true;
          s.pty.Write(OrderPacket());
        }
        b.erase(0, 9);
      } else if (first == 0x03) {
        if (b.size() < 16) return;
        const std::size_t length =
            (static_cast<unsigned char>(b[7]) << 8) | static_cast<unsigned char>(b[8]);
        if (b.size() < length + 13) return;
        s.replies.push_back(loop.Now());
        b.erase(0, length + 13);
      } else {
        b.erase(0, 1);
      }
    }
  };
  Station& one = stations.at(1);
  Station& two = stations.at(2);
  const Millis limit = loop.Now() + 20000;
  while (loop.Now() < limit && (one.replies.empty() || loop.Now() < one.replies[0] + 4500)) {
    loop.RunFor(2);
    serve(one);
    serve(two);
    if (channelAnswerAt < 0 && !one.replies.empty() && loop.Now() >= one.replies[0] + 150) {
      channelAnswerAt = loop.Now();
      two.pty.Write(Bytes({0xAA, 0x4F, 0, 8, 0, 0xBB}));
    }
  }
  host.Post(gateway, kHostMessage, 0, 16);
  EXPECT_TRUE(gw.Wait(10s).has_value());

  ASSERT_GE(one.replies.size(), 2u) << ReadBytes(dir.Path() / "gateway.log");
  const Millis lastResend = one.replies.back();
  auto between = [](const std::vector<Millis>& polls, Millis from, Millis to) {
    return std::count_if(polls.begin(), polls.end(), [&](Millis t) { return t > from && t < to; });
  };
  EXPECT_EQ(between(one.polls, channelAnswerAt, lastResend), 0);
  EXPECT_EQ(between(two.polls, channelAnswerAt, lastResend), 0);
  // Polling resumes after the last resend, station by station (counted to the end of the
  // run: a loaded machine may stretch its pace, not stop it).
  EXPECT_GE(between(one.polls, lastResend, loop.Now()), 1);
  EXPECT_GE(between(two.polls, lastResend, loop.Now()), 1);
}

}  // namespace
}  // namespace ol::testing
