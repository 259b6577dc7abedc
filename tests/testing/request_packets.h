#pragma once

#include <string>
#include <vector>

#include "gateway/hex.h"

namespace ol::testing {

// Request packets as a handheld builds them: the data stream (length, stamp, code,
// payload, four trailing bytes) cut into 48-byte pieces, each with its header and check.
inline std::vector<std::string> BuildPackets(int station, int handheld, int code,
                                             const std::string& payload,
                                             const std::string& stampHex = "563412010203") {
  std::string stream;
  const std::size_t length = 9 + payload.size();
  stream += static_cast<char>(length >> 8);
  stream += static_cast<char>(length & 0xFF);
  stream += HexToBytes(stampHex);
  stream += static_cast<char>(code);
  stream += payload;
  stream += std::string("\x11\x22\x33\x44", 4);
  if (stream.size() % 48) stream.resize(stream.size() + 48 - stream.size() % 48, '\0');
  const int total = static_cast<int>(stream.size() / 48);
  std::vector<std::string> packets;
  for (int i = 0; i < total; ++i) {
    std::string p = "01" + IntToHex(station) + IntToHex(handheld) + IntToHex(total) +
                    IntToHex(i + 1) + "0000" + BytesToHex(stream.substr(48 * i, 48));
    p += FrameCheck(p);
    packets.push_back(p);
  }
  return packets;
}

}  // namespace ol::testing
