#pragma once

// The station and handheld side of the link frames: what a simulated station recognises
// in the byte stream the gateway writes, and the frames its handhelds send back.
// Frames here are byte strings; hex text appears only in transcripts.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ol::sim {

// The 32 request and reply names; code = 0x4C + index.
extern const std::array<const char*, 32> kCodeNames;
// Code of a name ("DL" gives 0x4C), or of two hex digits in 4C..6B; nothing otherwise.
std::optional<std::uint8_t> CodeForName(std::string_view name);
// Name of a code, or its two hex digits when it is outside the table.
std::string NameForCode(std::uint8_t code);

// Sum of the bytes modulo 65536.
std::uint16_t Sum16(std::string_view bytes);
// The two bytes of a check value, high byte first.
std::string CheckBytes(std::uint16_t sum);
inline std::uint8_t Byte(std::string_view bytes, std::size_t i) {
  return static_cast<std::uint8_t>(bytes[i]);
}

// Six bytes that tie a reply to its request: BCD seconds, minutes and hours, then the
// handheld and a 16-bit serial number, high byte first.
std::string MakeStamp(int hours, int minutes, int seconds, std::uint8_t handheld,
                      std::uint16_t serial);
std::uint8_t ToBcd(int value);
// Value of a BCD byte, or -1 when a digit is above 9.
int FromBcd(std::uint8_t bcd);

// The request data stream (length, stamp, code, payload, four trailing bytes) cut into
// 57-byte request packets of 48 data bytes each, the last one padded with zeros.
std::vector<std::string> BuildRequestPackets(std::uint8_t station, std::uint8_t handheld,
                                             std::string_view stamp, std::uint8_t code,
                                             std::string_view payload);
// The packet with its check value damaged, as radio noise would leave it.
std::string CorruptPacket(std::string packet);

// A packet acknowledgement as the handheld reads it.
struct PacketAck {
  std::uint8_t station = 0, handheld = 0, total = 0, index = 0;
  bool ok = false;
};
// Decodes a 9-byte 02 frame; nothing when the layout or the check is wrong.
std::optional<PacketAck> ParsePacketAck(std::string_view frame);

// Local date and time as the 4C reply carries it.
struct ReplyTime {
  int second = 0, minute = 0, hour = 0, day = 0, month = 0, year = 0;  // year in century
};

// A reply frame taken apart.
struct ReplyFrame {
  std::uint8_t station = 0, handheld = 0;
  std::string stamp;  // six bytes
  std::uint8_t code = 0;
  std::optional<ReplyTime> time;  // 4C replies only
  std::string text;               // bytes as sent (GBK)
  std::size_t spaces = 0;
};
// Total length of the reply frame that starts the buffer, once enough of it is there to
// tell (16 bytes); 0 while too short. Does not check the frame.
std::size_t ReplyFrameLength(std::string_view head);
// Decodes and checks a whole reply frame: header bytes, length, layout of text, AA BB and
// spaces, both check values, the BCD time of a 4C reply. On failure error says why.
std::optional<ReplyFrame> ParseReplyFrame(std::string_view frame, std::string* error);
// Builds a reply frame as the gateway does; used to drive tests and to check the parser.
std::string BuildReplyFrame(std::uint8_t station, std::uint8_t handheld, std::string_view stamp,
                            std::uint8_t code, const ReplyTime* time, std::string_view text);

// The handheld's confirmation of a reply: 04, station, handheld, code, length, 00, check.
std::string BuildConfirmation(std::uint8_t station, std::uint8_t handheld, std::uint8_t code,
                              std::uint16_t length);

// The station's answer to the channel query and the channel setting (channel from 0).
std::string BuildChannelAnswer(std::uint8_t station, std::uint8_t channel0);

// What the gateway writes to a station port, as recognised in the byte stream.
enum class GatewayFrameKind {
  ChannelQuery,    // AA 40 00 00 BB
  ChannelSetting,  // AA 49 FF ch BB
  Poll,            // AA st hh ck ck
  PacketAck,       // 02 ..., 9 bytes
  Reply,           // 03 ..., variable
  Search,          // 0A st table n hh... ck ck
  Data,            // 0A st 00 ..., 139 bytes
};

struct GatewayFrame {
  GatewayFrameKind kind;
  std::string bytes;
};

// Frames the bytes the gateway writes, whether they arrive split over several chunks or
// several frames in one chunk. A byte that can start no frame, or a frame that fails its
// check, is dropped and counted, and framing resumes at the next byte; a reply frame whose
// header is sound but whose checks or layout are not is delivered all the same, so that
// the handheld can reject it as a whole.
class GatewayFrameReader {
 public:
  // Appends a chunk and returns the frames it completed, in order.
  std::vector<GatewayFrame> Push(std::string_view chunk);
  // Drops an incomplete frame (the line went quiet in the middle of one); counted as bad.
  void DiscardPartial();
  bool HasPartial() const { return !buffer_.empty(); }
  // Bytes dropped because no frame could start with them, and frames that failed a check.
  std::uint64_t BadFrames() const { return badFrames_; }

 private:
  // Length of the frame at the start of the buffer: 0 = need more bytes, -1 = no frame
  // can start here.
  long FrameLength(GatewayFrameKind* kind) const;

  std::string buffer_;
  std::uint64_t badFrames_ = 0;
  bool inGarbage_ = false;
};

// Search frame and data frame of a download, decoded.
struct SearchFrame {
  std::uint8_t station = 0, table = 0;
  std::vector<std::uint8_t> handhelds;
};
std::optional<SearchFrame> ParseSearchFrame(std::string_view frame);

struct DataFrame {
  std::uint8_t station = 0, tableCount = 0, table = 0;
  std::uint16_t lastIndex = 0, index = 0;
  std::string payload;  // 128 bytes
};
std::optional<DataFrame> ParseDataFrame(std::string_view frame);

// The 5-byte acknowledgement record a handheld sends for a search or data frame.
std::string BuildDownloadAck(std::uint8_t station, std::uint8_t handheld, std::uint16_t index);

}  // namespace ol::sim
