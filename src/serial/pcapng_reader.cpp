#include "serial/pcapng_reader.h"

#include <limits>

namespace ol {
namespace {

constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kInterfaceDescription = 1;
constexpr std::uint32_t kEnhancedPacket = 6;
constexpr std::uint32_t kObsoletePacket = 2;
constexpr std::uint32_t kSimplePacket = 3;
constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;

[[noreturn]] void Fail(std::size_t offset, const std::string& what) {
  throw PcapngError("pcapng offset " + std::to_string(offset) + ": " + what);
}

std::size_t Pad4(std::size_t n) {
  return (n + 3) & ~std::size_t{3};
}

// The file's bytes read in the byte order of the current section.
class Bytes {
 public:
  explicit Bytes(std::string_view data) : d_(data) {}
  void SetBigEndian(bool big) { big_ = big; }
  std::uint8_t U8(std::size_t at) const { return static_cast<std::uint8_t>(d_[at]); }
  std::uint16_t U16(std::size_t at) const {
    return static_cast<std::uint16_t>(big_ ? U8(at) << 8 | U8(at + 1) : U8(at + 1) << 8 | U8(at));
  }
  std::uint32_t U32(std::size_t at) const {
    const std::uint32_t a = U16(at), b = U16(at + 2);
    return big_ ? a << 16 | b : b << 16 | a;
  }
  std::uint32_t LittleU32(std::size_t at) const {
    return static_cast<std::uint32_t>(U8(at)) | static_cast<std::uint32_t>(U8(at + 1)) << 8 |
           static_cast<std::uint32_t>(U8(at + 2)) << 16 |
           static_cast<std::uint32_t>(U8(at + 3)) << 24;
  }
  std::string_view Slice(std::size_t at, std::size_t n) const { return d_.substr(at, n); }
  std::size_t Size() const { return d_.size(); }

 private:
  std::string_view d_;
  bool big_ = false;
};

// Walks the options from `at` to `end` (code, length, value padded to 4), calling
// fn(code, offset of value, length) until opt_endofopt or the end.
template <typename Fn>
void Options(const Bytes& b, std::size_t at, std::size_t end, Fn fn) {
  while (at < end) {
    if (end - at < 4) Fail(at, "option header runs past its block");
    const std::uint16_t code = b.U16(at), length = b.U16(at + 2);
    if (code == 0) return;
    if (Pad4(length) > end - at - 4)
      Fail(at, "option of " + std::to_string(length) + " bytes runs past its block");
    fn(code, at + 4, std::size_t{length});
    at += 4 + Pad4(length);
  }
}

// Ticks per second of an if_tsresol value: 10^v, or 2^(v & 0x7F) with the top bit set.
std::uint64_t TicksPerSecond(std::uint8_t v, std::size_t at) {
  const bool binary = v & 0x80;
  const unsigned e = v & 0x7F;
  if (binary ? e > 63 : e > 19) Fail(at, "time stamp resolution out of range");
  std::uint64_t t = 1;
  for (unsigned i = 0; i < e; ++i) t *= binary ? 2 : 10;
  return t;
}

std::int64_t ToMicros(std::uint64_t ticks, std::uint64_t perSecond, std::size_t at) {
  // Without a 128-bit product, which 32-bit builds lack: whole seconds, then the part of a
  // second, exact unless the resolution is finer than about 18 million ticks per µs.
  constexpr std::uint64_t kMillion = 1000000;
  const std::uint64_t seconds = ticks / perSecond, rest = ticks % perSecond;
  const std::uint64_t part =
      rest <= std::numeric_limits<std::uint64_t>::max() / kMillion
          ? rest * kMillion / perSecond
          : static_cast<std::uint64_t>(static_cast<long double>(rest) * kMillion / perSecond);
  const auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (seconds > (limit - part) / kMillion) Fail(at, "time stamp out of range");
  return static_cast<std::int64_t>(seconds * kMillion + part);
}
}  // namespace

PcapngFile ReadPcapng(std::string_view data) {
  Bytes b(data);
  PcapngFile out;
  std::vector<std::uint64_t> ticksPerSecond;
  std::size_t sectionFirst = 0;  // index of the current section's first interface
  std::size_t pos = 0;
  if (data.empty()) Fail(0, "empty file");
  while (pos < b.Size()) {
    const std::size_t left = b.Size() - pos;
    if (left < 12) Fail(pos, "truncated block: " + std::to_string(left) + " bytes left");
    // The section header's type reads the same in both byte orders; its magic sets the
    // order of everything up to the next one.
    const bool section = b.LittleU32(pos) == kSectionHeader;
    if (pos == 0 && !section) Fail(0, "not a pcapng file (no section header)");
    if (section) {
      const std::uint32_t magic = b.LittleU32(pos + 8);
      if (magic == kByteOrderMagic) {
        b.SetBigEndian(false);
      } else if (magic == __builtin_bswap32(kByteOrderMagic)) {
        b.SetBigEndian(true);
      } else {
        Fail(pos + 8, "garbled byte-order magic");
      }
    }
    const std::uint32_t type = b.U32(pos), length = b.U32(pos + 4);
    if (length < 12 || length % 4 != 0)
      Fail(pos,
           "block length " + std::to_string(length) + " is not a multiple of 4 of at least 12");
    if (length > left)
      Fail(pos, "block of " + std::to_string(length) + " bytes, only " + std::to_string(left) +
                    " left in the file");
    if (b.U32(pos + length - 4) != length)
      Fail(pos + length - 4, "trailing block length " + std::to_string(b.U32(pos + length - 4)) +
                                 " differs from " + std::to_string(length));
    const std::size_t body = pos + 8, end = pos + length - 4;
    if (type == kSectionHeader) {
      if (end - body < 16) Fail(pos, "section header too short");
      if (b.U16(body + 4) != 1)
        Fail(body + 4, "unknown major version " + std::to_string(b.U16(body + 4)));
      sectionFirst = out.interfaces.size();
    } else if (type == kInterfaceDescription) {
      if (end - body < 8) Fail(pos, "interface description too short");
      if (out.interfaces.size() >= kMaxPcapngInterfaces)
        Fail(pos, "more than " + std::to_string(kMaxPcapngInterfaces) + " interfaces");
      PcapngInterface iface;
      iface.linkType = b.U16(body);
      std::uint64_t perSecond = 1000000;
      Options(b, body + 8, end, [&](std::uint16_t code, std::size_t at, std::size_t n) {
        if (code == 2 || code == 3) {
          std::string_view text = b.Slice(at, n);
          while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
          (code == 2 ? iface.name : iface.description) = std::string(text);
        } else if (code == 9) {
          if (n != 1) Fail(at, "time stamp resolution of " + std::to_string(n) + " bytes");
          perSecond = TicksPerSecond(b.U8(at), at);
        }
      });
      out.interfaces.push_back(std::move(iface));
      ticksPerSecond.push_back(perSecond);
    } else if (type == kEnhancedPacket) {
      if (end - body < 20) Fail(pos, "enhanced packet too short");
      const std::size_t iface = sectionFirst + b.U32(body);
      if (b.U32(body) >= out.interfaces.size() - sectionFirst)
        Fail(body, "packet of interface " + std::to_string(b.U32(body)) + ", the section has " +
                       std::to_string(out.interfaces.size() - sectionFirst));
      const std::uint32_t captured = b.U32(body + 12);
      // Compared before padding: a length near 4 GiB would wrap to 0 in a 32-bit size_t.
      if (captured > end - body - 20 || Pad4(captured) > end - body - 20)
        Fail(body + 12, "packet of " + std::to_string(captured) + " bytes runs past its block");
      PcapngPacket p;
      p.interface = iface;
      p.offset = pos;
      const std::uint64_t ticks = std::uint64_t{b.U32(body + 4)} << 32 | b.U32(body + 8);
      p.micros = ToMicros(ticks, ticksPerSecond[iface], body + 4);
      Options(b, body + 20 + Pad4(captured), end,
              [&](std::uint16_t code, std::size_t at, std::size_t n) {
                if (code == 1) p.comment = std::string(b.Slice(at, n));
                if (code != 2) return;
                if (n != 4) Fail(at, "packet flags of " + std::to_string(n) + " bytes");
                switch (b.U32(at) & 3) {
                  case 1:
                    p.direction = FlightRecorder::Direction::In;
                    break;
                  case 2:
                    p.direction = FlightRecorder::Direction::Out;
                    break;
                  case 3:
                    Fail(at, "packet flags name no valid direction");
                  default:
                    break;
                }
              });
      p.bytes = std::string(b.Slice(body + 20, captured));
      out.packets.push_back(std::move(p));
    } else if (type == kSimplePacket) {
      ++out.simplePackets;
    } else if (type == kObsoletePacket) {
      ++out.obsoletePackets;
    }
    pos += length;
  }
  return out;
}

}  // namespace ol
