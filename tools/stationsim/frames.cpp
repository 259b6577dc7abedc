#include "stationsim/frames.h"

#include <stdexcept>

#include "gateway/hex.h"

namespace ol::sim {

const std::array<const char*, 32> kCodeNames = {
    "DL",   "XGMM", "KT",   "HT",   "BT",   "CT",   "XGTT", "DC",   "TC",   "ZZCC", "CPCC",
    "ZDCX", "KXHZ", "LBKX", "THKX", "YDHZ", "THYD", "ZLQR", "KHKH", "PYKH", "DYJZ", "GT",
    "CLCC", "ZKMD", "JC",   "DYDC", "GQ",   "LSC",  "XGJQ", "XJJZ", "QCJE", "KHYQ"};

namespace {

constexpr std::uint8_t kFirstCode = 0x4C;
constexpr std::size_t kPacketData = 48;
constexpr std::size_t kPacketSize = 57;
// Reply texts are cut at 812 bytes by the gateway; anything far longer is not a reply.
constexpr std::size_t kMaxReplyLength = 1100;

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::uint16_t Be16(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(Byte(bytes, at) << 8 | Byte(bytes, at + 1));
}

bool CheckAt(std::string_view frame, std::size_t at, std::string_view covered) {
  return Be16(frame, at) == Sum16(covered);
}

}  // namespace

std::optional<std::uint8_t> CodeForName(std::string_view name) {
  for (std::size_t i = 0; i < kCodeNames.size(); ++i) {
    if (name == kCodeNames[i]) return static_cast<std::uint8_t>(kFirstCode + i);
  }
  if (name.size() == 2 && IsHexDigit(name[0]) && IsHexDigit(name[1])) {
    std::uint32_t code = HexToInt(name);
    if (code >= kFirstCode && code < kFirstCode + kCodeNames.size()) {
      return static_cast<std::uint8_t>(code);
    }
  }
  return std::nullopt;
}

std::string NameForCode(std::uint8_t code) {
  if (code >= kFirstCode && code < kFirstCode + kCodeNames.size()) {
    return kCodeNames[code - kFirstCode];
  }
  return IntToHex(code);
}

std::uint16_t Sum16(std::string_view bytes) {
  std::uint32_t sum = 0;
  for (unsigned char b : bytes) sum = (sum + b) & 0xFFFF;
  return static_cast<std::uint16_t>(sum);
}

std::string CheckBytes(std::uint16_t sum) {
  return std::string{static_cast<char>(sum >> 8), static_cast<char>(sum & 0xFF)};
}

std::uint8_t ToBcd(int value) {
  return static_cast<std::uint8_t>((value / 10 % 10) << 4 | value % 10);
}

int FromBcd(std::uint8_t bcd) {
  int hi = bcd >> 4, lo = bcd & 0x0F;
  if (hi > 9 || lo > 9) return -1;
  return hi * 10 + lo;
}

std::string MakeStamp(int hours, int minutes, int seconds, std::uint8_t handheld,
                      std::uint16_t serial) {
  std::string stamp;
  stamp.push_back(static_cast<char>(ToBcd(seconds)));
  stamp.push_back(static_cast<char>(ToBcd(minutes)));
  stamp.push_back(static_cast<char>(ToBcd(hours)));
  stamp.push_back(static_cast<char>(handheld));
  stamp += CheckBytes(serial);
  return stamp;
}

std::vector<std::string> BuildRequestPackets(std::uint8_t station, std::uint8_t handheld,
                                             std::string_view stamp, std::uint8_t code,
                                             std::string_view payload) {
  if (stamp.size() != 6) throw std::invalid_argument("request stamp must be 6 bytes");
  std::size_t length = 9 + payload.size();
  std::size_t total = (length + 4 + kPacketData - 1) / kPacketData;
  if (total > 255) throw std::length_error("request payload too long for 255 packets");
  std::string stream = CheckBytes(static_cast<std::uint16_t>(length));
  stream += stamp;
  stream.push_back(static_cast<char>(code));
  stream += payload;
  stream.append(4, '\0');
  stream.resize(total * kPacketData, '\0');

  std::vector<std::string> packets;
  for (std::size_t i = 0; i < total; ++i) {
    std::string p;
    p.push_back(0x01);
    p.push_back(static_cast<char>(station));
    p.push_back(static_cast<char>(handheld));
    p.push_back(static_cast<char>(total));
    p.push_back(static_cast<char>(i + 1));
    p.append(2, '\0');
    p += stream.substr(i * kPacketData, kPacketData);
    p += CheckBytes(Sum16(p));
    packets.push_back(std::move(p));
  }
  return packets;
}

std::string CorruptPacket(std::string packet) {
  if (packet.size() == kPacketSize) packet[kPacketSize - 1] ^= 0x5A;
  return packet;
}

std::optional<PacketAck> ParsePacketAck(std::string_view f) {
  if (f.size() != 9 || Byte(f, 0) != 0x02 || !CheckAt(f, 7, f.substr(0, 7))) return std::nullopt;
  PacketAck ack;
  ack.station = Byte(f, 1);
  ack.handheld = Byte(f, 2);
  ack.total = Byte(f, 3);
  ack.index = Byte(f, 4);
  std::uint16_t word = Be16(f, 5);
  if (word == 0x4F4B) {
    ack.ok = true;
  } else if (word != 0x4E4F) {
    return std::nullopt;
  }
  return ack;
}

std::size_t ReplyFrameLength(std::string_view head) {
  if (head.size() < 16) return 0;
  std::size_t length = Be16(head, 7);
  return 9 + length + (Byte(head, 15) == kFirstCode ? 6 : 0) + 4;
}

namespace {

// Spaces that follow AA BB for a text of n bytes.
std::size_t PaddingFor(std::size_t n) {
  return n > 220 && n < 250 ? 250 - n : 0;
}

// Whether body (text, AA BB, spaces) has the layout of a text of n bytes.
bool BodyFits(std::string_view body, std::size_t n) {
  std::size_t p = PaddingFor(n);
  if (body.size() != n + 2 + p) return false;
  if (Byte(body, n) != 0xAA || Byte(body, n + 1) != 0xBB) return false;
  for (std::size_t i = n + 2; i < body.size(); ++i) {
    if (body[i] != ' ') return false;
  }
  return true;
}

}  // namespace

std::optional<ReplyFrame> ParseReplyFrame(std::string_view f, std::string* error) {
  auto fail = [&](const char* why) {
    if (error) *error = why;
    return std::nullopt;
  };
  if (f.size() < 16 || Byte(f, 0) != 0x03) return fail("not a reply frame");
  if (f.substr(3, 4) != std::string_view("\x55\x55\x55\x00", 4)) return fail("bad header bytes");
  std::size_t length = Be16(f, 7);
  if (length < 9 || length > kMaxReplyLength) return fail("implausible length");
  if (f.size() != ReplyFrameLength(f)) return fail("frame size does not match its length");
  if (!CheckAt(f, f.size() - 2, f.substr(0, f.size() - 2))) return fail("bad frame check");

  ReplyFrame r;
  r.station = Byte(f, 1);
  r.handheld = Byte(f, 2);
  r.stamp = std::string(f.substr(9, 6));
  r.code = Byte(f, 15);
  if (r.code < kFirstCode || r.code >= kFirstCode + kCodeNames.size()) {
    return fail("reply code outside the code table");
  }
  std::size_t pos = 16;
  if (r.code == kFirstCode) {
    int v[6];
    for (int i = 0; i < 6; ++i) v[i] = FromBcd(Byte(f, pos + i));
    for (int x : v) {
      if (x < 0) return fail("time bytes are not BCD");
    }
    if (v[0] > 59 || v[1] > 59 || v[2] > 23 || v[3] < 1 || v[3] > 31 || v[4] < 1 || v[4] > 12) {
      return fail("time bytes out of range");
    }
    r.time = ReplyTime{v[0], v[1], v[2], v[3], v[4], v[5]};
    pos += 6;
  }
  std::string_view body = f.substr(pos, f.size() - 4 - pos);
  if (!CheckAt(f, f.size() - 4, body)) return fail("bad text check");
  if (body.size() < 2) return fail("no AA BB after the text");
  // Text, AA BB and spaces: the text length follows from the body size except for a body
  // of 252 bytes, which any text of 221 to 250 bytes fills; the AA BB marker decides.
  std::size_t n = body.size() - 2;
  bool found = BodyFits(body, n);
  if (!found && body.size() == 252) {
    for (n = 249; n > 220 && !found; --n) found = BodyFits(body, n);
    if (found) ++n;
  }
  if (!found) return fail("text, AA BB and spaces do not fit the length");
  r.text = std::string(body.substr(0, n));
  r.spaces = body.size() - n - 2;
  return r;
}

std::string BuildReplyFrame(std::uint8_t station, std::uint8_t handheld, std::string_view stamp,
                            std::uint8_t code, const ReplyTime* time, std::string_view text) {
  std::size_t n = text.size(), p = PaddingFor(n);
  std::string f;
  f.push_back(0x03);
  f.push_back(static_cast<char>(station));
  f.push_back(static_cast<char>(handheld));
  f.append("\x55\x55\x55\x00", 4);
  f += CheckBytes(static_cast<std::uint16_t>(6 + 1 + n + 2 + p));
  f += stamp;
  f.push_back(static_cast<char>(code));
  if (code == kFirstCode && time) {
    for (int v : {time->second, time->minute, time->hour, time->day, time->month, time->year}) {
      f.push_back(static_cast<char>(ToBcd(v)));
    }
  }
  std::string body(text);
  body += "\xAA\xBB";
  body.append(p, ' ');
  f += body;
  f += CheckBytes(Sum16(body));
  f += CheckBytes(Sum16(f));
  return f;
}

std::string BuildConfirmation(std::uint8_t station, std::uint8_t handheld, std::uint8_t code,
                              std::uint16_t length) {
  std::string f;
  f.push_back(0x04);
  f.push_back(static_cast<char>(station));
  f.push_back(static_cast<char>(handheld));
  f.push_back(static_cast<char>(code));
  f += CheckBytes(length);
  f.push_back('\0');
  f += CheckBytes(Sum16(f));
  return f;
}

std::string BuildChannelAnswer(std::uint8_t station, std::uint8_t channel0) {
  std::string f = "\xAA\x4F";
  f.push_back(static_cast<char>(station));
  f.push_back(static_cast<char>(channel0));
  f.push_back('\0');
  f.push_back(static_cast<char>(0xBB));
  return f;
}

long GatewayFrameReader::FrameLength(GatewayFrameKind* kind) const {
  const std::string& b = buffer_;
  switch (Byte(b, 0)) {
    case 0xAA: {
      if (b.size() < 5) return 0;
      std::string_view f(b.data(), 5);
      if (f == std::string_view("\xAA\x40\x00\x00\xBB", 5)) {
        *kind = GatewayFrameKind::ChannelQuery;
      } else if (Byte(f, 1) == 0x49 && Byte(f, 2) == 0xFF && Byte(f, 4) == 0xBB) {
        *kind = GatewayFrameKind::ChannelSetting;
      } else if (CheckAt(f, 3, f.substr(0, 3))) {
        *kind = GatewayFrameKind::Poll;
      } else {
        return -1;
      }
      return 5;
    }
    case 0x02:
      if (b.size() < 9) return 0;
      if (!ParsePacketAck(std::string_view(b.data(), 9))) return -1;
      *kind = GatewayFrameKind::PacketAck;
      return 9;
    case 0x03: {
      if (b.size() < 16) return 0;
      if (std::string_view(b.data() + 3, 4) != std::string_view("\x55\x55\x55\x00", 4)) return -1;
      std::size_t length = Be16(b, 7);
      if (length < 9 || length > kMaxReplyLength) return -1;
      *kind = GatewayFrameKind::Reply;
      std::size_t total = ReplyFrameLength(b);
      return b.size() < total ? 0 : static_cast<long>(total);
    }
    case 0x0A: {
      if (b.size() < 4) return 0;
      std::size_t total = Byte(b, 2) == 0 ? 139 : 6 + Byte(b, 3);
      if (b.size() < total) return 0;
      std::string_view f(b.data(), total);
      if (!CheckAt(f, total - 2, f.substr(0, total - 2))) return -1;
      *kind = Byte(b, 2) == 0 ? GatewayFrameKind::Data : GatewayFrameKind::Search;
      return static_cast<long>(total);
    }
    default:
      return -1;
  }
}

std::vector<GatewayFrame> GatewayFrameReader::Push(std::string_view chunk) {
  buffer_ += chunk;
  std::vector<GatewayFrame> frames;
  while (!buffer_.empty()) {
    GatewayFrameKind kind{};
    long length = FrameLength(&kind);
    if (length == 0) break;
    if (length < 0) {
      // One bad stretch of bytes counts once, however long it is.
      if (!inGarbage_) ++badFrames_;
      inGarbage_ = true;
      buffer_.erase(0, 1);
      continue;
    }
    inGarbage_ = false;
    frames.push_back({kind, buffer_.substr(0, static_cast<std::size_t>(length))});
    buffer_.erase(0, static_cast<std::size_t>(length));
  }
  return frames;
}

void GatewayFrameReader::DiscardPartial() {
  if (buffer_.empty()) return;
  buffer_.clear();
  if (!inGarbage_) ++badFrames_;
  inGarbage_ = false;
}

std::optional<SearchFrame> ParseSearchFrame(std::string_view f) {
  if (f.size() < 6 || Byte(f, 0) != 0x0A || Byte(f, 2) == 0) return std::nullopt;
  std::size_t n = Byte(f, 3);
  if (f.size() != 6 + n || !CheckAt(f, 4 + n, f.substr(0, 4 + n))) return std::nullopt;
  SearchFrame s;
  s.station = Byte(f, 1);
  s.table = Byte(f, 2);
  for (std::size_t i = 0; i < n; ++i) s.handhelds.push_back(Byte(f, 4 + i));
  return s;
}

std::optional<DataFrame> ParseDataFrame(std::string_view f) {
  if (f.size() != 139 || Byte(f, 0) != 0x0A || Byte(f, 2) != 0) return std::nullopt;
  if (!CheckAt(f, 137, f.substr(0, 137))) return std::nullopt;
  DataFrame d;
  d.station = Byte(f, 1);
  d.tableCount = Byte(f, 3);
  d.table = Byte(f, 4);
  d.lastIndex = Be16(f, 5);
  d.index = Be16(f, 7);
  d.payload = std::string(f.substr(9, 128));
  return d;
}

std::string BuildDownloadAck(std::uint8_t station, std::uint8_t handheld, std::uint16_t index) {
  std::string f;
  f.push_back(0x0A);
  f.push_back(static_cast<char>(station));
  f.push_back(static_cast<char>(handheld));
  f += CheckBytes(index);
  return f;
}

}  // namespace ol::sim
