// Writes pcapng captures for the dissector test, the way the flight recorder writes them.
//   orderlink-sample-capture <file.pcapng>          a short session on two station ports:
//       every frame kind in each direction, the bytes the link leaves open filled with
//       arbitrary values, a request packet split over two reads, a packet damaged on the
//       air, a two-packet request, a reply with GBK text and its resends, a download
//   orderlink-sample-capture --faults <file.pcapng>  a gateway's mistakes: a reply with a
//       wrong length field, a poll with a wrong check, polls 140 ms apart, an
//       acknowledgement repeated after 500 ms; then one repeated across a clock set back

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "serial/flight_recorder.h"
#include "stationsim/frames.h"

namespace {

using ol::FlightRecorder;
using Dir = FlightRecorder::Direction;
using namespace ol::sim;

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// A frame with its check value (sum of all bytes before it) appended.
std::string Checked(std::string frame) {
  return frame + CheckBytes(Sum16(frame));
}

std::string Ack(const std::string& packet, bool ok) {
  return Checked("\x02" + packet.substr(1, 4) + (ok ? "OK" : "NO"));
}

std::string Poll(int station, int handheld) {
  return Checked(Bytes({0xAA, station, handheld}));
}

// The packet with its two open bytes (5-6) set and its check made right again.
std::string WithOpenBytes(std::string packet, const std::string& open) {
  packet.replace(5, 2, open);
  return Checked(packet.substr(0, 55));
}

class Capture {
 public:
  // Adds a record `ms` after the previous one.
  void Add(int port, Dir dir, std::string bytes, int ms = 20) {
    micros_ += ms * 1000;
    records_.push_back({micros_ + clockSet_, port, dir, std::move(bytes), micros_});
  }
  // Sets the wall clock by this much; the steady one goes on.
  void SetClock(std::int64_t micros) { clockSet_ += micros; }
  bool Write(const char* path) const {
    std::ofstream out(path, std::ios::binary);
    out << ol::ToPcapng({"COM3", "ttyUSB0"}, records_);
    return out.good();
  }

 private:
  std::int64_t micros_ = 1700000000000000;
  std::int64_t clockSet_ = 0;
  std::vector<FlightRecorder::Record> records_;
};

void Session(Capture& c) {
  // Port 1, station 1: channel, then handheld 12 sends a two-packet KT request whose
  // first packet arrives in two reads and whose second is damaged once.
  c.Add(1, Dir::Out, Bytes({0xAA, 0x40, 0x00, 0x00, 0xBB}));
  c.Add(1, Dir::In, Bytes({0xAA, 0x4F, 0x77, 0x01, 0x99, 0xBB}));
  c.Add(2, Dir::Out, Bytes({0xAA, 0x49, 0xFF, 0x04, 0xBB}));
  c.Add(2, Dir::In, Bytes({0xAA, 0x4F, 0x12, 0x34}));
  c.Add(1, Dir::Out, Poll(1, 12));
  c.Add(1, Dir::In, Bytes({0xA5, 0x01, 0x0C, 0x33, 0x44}));
  c.Add(1, Dir::Out, Checked(Bytes({0x02, 0x01, 0x0C, 0x01, 0x01, 'N', 'O'})), 1);
  // The stamp's time of day, then three bytes of the handheld's own.
  const std::string stamp = Bytes({0x56, 0x34, 0x12, 0xFE, 0x00, 0x7F});
  std::vector<std::string> packets =
      BuildRequestPackets(1, 12, stamp, *CodeForName("KT"), std::string(60, '7'));
  packets[0] = WithOpenBytes(packets[0], Bytes({0x5A, 0xA5}));
  packets[1] = WithOpenBytes(packets[1], Bytes({0xFF, 0x00}));
  c.Add(1, Dir::In, packets[0].substr(0, 20));
  c.Add(1, Dir::In, packets[0].substr(20));
  c.Add(1, Dir::Out, Ack(packets[0], true), 1);
  c.Add(1, Dir::In, CorruptPacket(packets[1]));
  c.Add(1, Dir::Out, Ack(packets[1], false), 1);
  c.Add(1, Dir::In, packets[1]);
  c.Add(1, Dir::Out, Ack(packets[1], true), 1);
  // 红烧肉两份，少辣 in GBK, sent once, resent after two intervals and after one, then
  // confirmed.
  const std::string text = "\xBA\xEC\xC9\xD5\xC8\xE2\xC1\xBD\xB7\xDD\xA3\xAC\xC9\xD9\xC0\xB1";
  const std::string reply = BuildReplyFrame(1, 12, stamp, *CodeForName("KT"), nullptr, text);
  const int interval = static_cast<int>(reply.size()) + 60;
  c.Add(1, Dir::Out, reply, 150);
  c.Add(1, Dir::Out, reply, 2 * interval);
  c.Add(1, Dir::Out, reply, interval + 3);
  c.Add(1, Dir::In, Bytes({0x04, 0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x11, 0x22, 0x33}));

  // Port 2, station 2: polling at the gateway's pace, then handheld 7 logs on (DL, a
  // reply with the time and a text long enough to be padded) after its first
  // acknowledgement was repeated, then a download to handhelds 7 and 9.
  c.Add(1, Dir::Out, Poll(1, 13), 70);
  c.Add(2, Dir::Out, Poll(2, 7), 70);
  c.Add(1, Dir::Out, Poll(1, 12), 71);
  c.Add(2, Dir::Out, Poll(2, 7), 69);
  c.Add(2, Dir::In, Bytes({0xA5, 0x02, 0x07}));
  const std::string no7 = Checked(Bytes({0x02, 0x02, 0x07, 0x01, 0x01, 'N', 'O'}));
  c.Add(2, Dir::Out, no7, 1);
  c.Add(2, Dir::Out, no7, 300);
  const std::string stamp7 = Bytes({0x01, 0x00, 0x08, 0x00, 0x00, 0x00});
  c.Add(2, Dir::In, BuildRequestPackets(2, 7, stamp7, *CodeForName("DL"), "0001")[0]);
  const ReplyTime now{5, 4, 19, 28, 2, 24};
  const std::string login =
      BuildReplyFrame(2, 7, stamp7, *CodeForName("DL"), &now, std::string(225, 'W'));
  c.Add(2, Dir::Out, login);
  c.Add(2, Dir::In, Bytes({0x04, 0x02, 0x07, 0x4C, 0x00, 0x00, 0x00, 0x00, 0x00}));
  c.Add(2, Dir::Out, Checked(Bytes({0x0A, 0x02, 0x01, 0x02, 0x07, 0x09})));
  c.Add(2, Dir::In, Bytes({0x0A, 0x02, 0x07, 0xFF, 0xFF, 0x0A, 0x02, 0x09, 0x12, 0x34}));
  c.Add(2, Dir::Out,
        Checked(Bytes({0x0A, 0x02, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00}) +
                std::string(128, '\xFF')));
  c.Add(2, Dir::In, BuildDownloadAck(2, 7, 0));
}

void Faults(Capture& c) {
  // A reply whose length field is one short, its checks right.
  const std::string stamp = Bytes({0x00, 0x30, 0x12, 0x01, 0x02, 0x03});
  std::string reply = BuildReplyFrame(1, 5, stamp, *CodeForName("KT"), nullptr, "OK");
  reply[8] = static_cast<char>(reply[8] - 1);
  reply = Checked(reply.substr(0, reply.size() - 2));
  c.Add(1, Dir::Out, reply);
  // A poll with a wrong check, then polls at half the gateway's pace.
  c.Add(1, Dir::Out, Bytes({0xAA, 0x01, 0x05, 0x00, 0xB1}), 200);
  c.Add(1, Dir::Out, Poll(1, 6), 140);
  c.Add(1, Dir::Out, Poll(1, 7), 140);
  c.Add(1, Dir::Out, Poll(1, 5), 140);
  // An acknowledgement repeated after 500 ms.
  c.Add(1, Dir::In, Bytes({0xA5, 0x01, 0x05}));
  const std::string no = Checked(Bytes({0x02, 0x01, 0x05, 0x01, 0x01, 'N', 'O'}));
  c.Add(1, Dir::Out, no, 1);
  c.Add(1, Dir::Out, no, 500);
  // An acknowledgement repeated at its pace across a wall clock set back an hour: no
  // fault.
  c.Add(1, Dir::In, Bytes({0xA5, 0x01, 0x06}), 400);
  const std::string no6 = Checked(Bytes({0x02, 0x01, 0x06, 0x01, 0x01, 'N', 'O'}));
  c.Add(1, Dir::Out, no6, 1);
  c.SetClock(-3'600'000'000);
  c.Add(1, Dir::Out, no6, 300);
}

}  // namespace

int main(int argc, char** argv) {
  const bool faults = argc == 3 && std::strcmp(argv[1], "--faults") == 0;
  if (argc != 2 && !faults) {
    std::fprintf(stderr, "usage: %s [--faults] <file.pcapng>\n", argv[0]);
    return 2;
  }
  Capture c;
  if (faults)
    Faults(c);
  else
    Session(c);
  return c.Write(argv[argc - 1]) ? 0 : 1;
}
