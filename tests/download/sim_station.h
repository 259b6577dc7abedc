#pragma once

// A base station with handhelds, as far as a table download sees them: every data frame
// sent on the port reaches the station's handhelds, each of which keeps the packet and
// answers with an acknowledgement record. Loss is drawn from a seeded generator, so a
// run is the same every time.

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/manual_loop.h"
#include "testing/fake_port.h"

namespace ol::testing {

struct SimHandheld {
  int number = 0;
  bool silent = false;                                // receives but never answers
  int acksPerFrame = 1;                               // more than one: duplicate acknowledgements
  std::map<int, std::map<int, std::string>> packets;  // table -> index -> payload
  std::map<int, int> lastIndex;                       // table -> last packet index
  int framesHeard = 0;

  bool Complete(int table) const {
    auto last = lastIndex.find(table);
    auto got = packets.find(table);
    return last != lastIndex.end() && got != packets.end() &&
           static_cast<int>(got->second.size()) == last->second + 1;
  }
  // The table as the handheld stores it: the packets in order, without the trailing
  // padding records (all 0xFF) that fill the last packet.
  std::string Table(int table, std::size_t recordSize) const {
    std::string image;
    auto got = packets.find(table);
    if (got == packets.end()) return image;
    for (const auto& [index, payload] : got->second) image += payload;
    while (image.size() >= recordSize &&
           image.find_first_not_of('\xFF', image.size() - recordSize) == std::string::npos)
      image.resize(image.size() - recordSize);
    return image;
  }
};

class SimStationPort : public FakePort {
 public:
  SimStationPort(ManualLoop& loop, int tag, int stationId, unsigned lossPerMille = 0,
                 std::uint32_t seed = 1)
      : FakePort(&loop, tag), loop_(loop), station_(stationId), loss_(lossPerMille), rng_(seed) {}

  bool SendData(const std::uint8_t* data, std::uint16_t length) override {
    bool ok = FakePort::SendData(data, length);
    if (ok) React(std::string(reinterpret_cast<const char*>(data), length));
    return ok;
  }

  std::vector<SimHandheld> handhelds;
  Millis answerDelay = 40;  // from the end of a frame to the station's answer
  int badFrames = 0;        // data frames with a wrong check value or layout

 private:
  bool Lost() { return rng_() % 1000 < loss_; }

  void React(const std::string& f) {
    auto byte = [&](std::size_t i) {
      return static_cast<unsigned>(static_cast<unsigned char>(f[i]));
    };
    if (f.size() < 2 || byte(0) != 0x0A || byte(1) != static_cast<unsigned>(station_)) return;
    if (f.size() != 139 || byte(2) != 0x00) return;  // a search frame: the handhelds listen
    unsigned sum = 0;
    for (std::size_t i = 0; i < 137; ++i) sum += byte(i);
    if ((sum & 0xFFFF) != (byte(137) << 8 | byte(138))) {
      ++badFrames;
      return;
    }
    int table = static_cast<int>(byte(4));
    int last = static_cast<int>(byte(5) << 8 | byte(6));
    int index = static_cast<int>(byte(7) << 8 | byte(8));
    std::string acks;
    for (SimHandheld& h : handhelds) {
      if (Lost()) continue;  // the frame did not reach this handheld
      ++h.framesHeard;
      h.lastIndex[table] = last;
      h.packets[table][index] = f.substr(9, 128);
      if (h.silent) continue;
      for (int k = 0; k < h.acksPerFrame; ++k) {
        if (Lost()) continue;  // the answer did not reach the station
        char rec[5] = {0x0A, static_cast<char>(station_), static_cast<char>(h.number),
                       static_cast<char>(index >> 8), static_cast<char>(index & 0xFF)};
        acks.append(rec, 5);
      }
    }
    if (acks.empty()) return;
    auto id = std::make_shared<EventLoop::TimerId>(0);
    *id = loop_.StartTimer(answerDelay, [this, id, acks] {
      loop_.StopTimer(*id);
      Receive(acks);
    });
  }

  ManualLoop& loop_;
  int station_;
  unsigned loss_;
  std::mt19937 rng_;
};

}  // namespace ol::testing
