// Writes a pcapng capture of a short session on two station ports for the dissector
// test: every frame kind in each direction, a request packet split over two reads, a
// packet whose check was damaged on the air, a reply with GBK text, and a download.
//   orderlink-sample-capture <file.pcapng>

#include <cstdio>
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

std::uint16_t ReplyLength(const std::string& reply) {
  return static_cast<std::uint16_t>(Byte(reply, 7) << 8 | Byte(reply, 8));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <file.pcapng>\n", argv[0]);
    return 2;
  }
  std::vector<FlightRecorder::Record> records;
  std::int64_t micros = 1700000000000000;
  auto add = [&](int port, Dir dir, std::string bytes) {
    micros += 20000;
    records.push_back({micros, port, dir, std::move(bytes)});
  };

  // Port 1, station 1: channel, then handheld 12 sends a two-packet KT request whose
  // first packet arrives in two reads and whose second is damaged once.
  add(1, Dir::Out, Bytes({0xAA, 0x40, 0x00, 0x00, 0xBB}));
  add(1, Dir::In, BuildChannelAnswer(1, 2));
  add(2, Dir::Out, Bytes({0xAA, 0x49, 0xFF, 0x04, 0xBB}));
  add(1, Dir::Out, Checked(Bytes({0xAA, 0x01, 0x0C})));
  add(1, Dir::In, Bytes({0xA5, 0x01, 0x0C}));
  const std::string stamp = MakeStamp(12, 34, 56, 12, 0x0102);
  std::vector<std::string> packets =
      BuildRequestPackets(1, 12, stamp, *CodeForName("KT"), std::string(60, '7'));
  add(1, Dir::In, packets[0].substr(0, 20));
  add(1, Dir::In, packets[0].substr(20));
  add(1, Dir::Out, Ack(packets[0], true));
  add(1, Dir::In, CorruptPacket(packets[1]));
  add(1, Dir::Out, Ack(packets[1], false));
  add(1, Dir::In, packets[1]);
  add(1, Dir::Out, Ack(packets[1], true));
  // 红烧肉两份，少辣 in GBK.
  const std::string text = "\xBA\xEC\xC9\xD5\xC8\xE2\xC1\xBD\xB7\xDD\xA3\xAC\xC9\xD9\xC0\xB1";
  const std::string reply = BuildReplyFrame(1, 12, stamp, *CodeForName("KT"), nullptr, text);
  add(1, Dir::Out, reply);
  add(1, Dir::In, BuildConfirmation(1, 12, *CodeForName("KT"), ReplyLength(reply)));

  // Port 2, station 2: handheld 7 logs on (DL, a reply with the time and a text long
  // enough to be padded), then a download to handhelds 7 and 9.
  add(2, Dir::Out, Checked(Bytes({0xAA, 0x02, 0x07})));
  add(2, Dir::In, Bytes({0xA5, 0x02, 0x07}));
  const std::string stamp7 = MakeStamp(8, 0, 1, 7, 0x0001);
  add(2, Dir::In, BuildRequestPackets(2, 7, stamp7, *CodeForName("DL"), "0001")[0]);
  const ReplyTime now{5, 4, 19, 28, 2, 24};
  const std::string login =
      BuildReplyFrame(2, 7, stamp7, *CodeForName("DL"), &now, std::string(225, 'W'));
  add(2, Dir::Out, login);
  add(2, Dir::In, BuildConfirmation(2, 7, *CodeForName("DL"), ReplyLength(login)));
  add(2, Dir::Out, Checked(Bytes({0x0A, 0x02, 0x01, 0x02, 0x07, 0x09})));
  add(2, Dir::In, BuildDownloadAck(2, 7, 0) + BuildDownloadAck(2, 9, 0));
  add(2, Dir::Out,
      Checked(Bytes({0x0A, 0x02, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00}) +
              std::string(128, '\xFF')));
  add(2, Dir::In, BuildDownloadAck(2, 7, 0));

  std::ofstream out(argv[1], std::ios::binary);
  out << ol::ToPcapng({"COM3", "ttyUSB0"}, records);
  return out.good() ? 0 : 1;
}
