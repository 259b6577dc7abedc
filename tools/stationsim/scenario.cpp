#include "stationsim/scenario.h"

#include <charconv>
#include <cmath>
#include <vector>

#include "core/gbk.h"

namespace ol::sim {

const char* const kNoReplyTexts[2] = {"系统无回复数据，请与管理员联系",
                                      "信息上传完毕,系统无回复数据，请与管理员联系"};

namespace {

struct Token {
  std::string text;  // a quoted token keeps its escapes, undecoded
  bool quoted = false;
};

std::vector<Token> Tokenize(std::string_view line) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      Token t{"", true};
      ++i;
      bool closed = false;
      while (i < line.size()) {
        if (line[i] == '\\' && i + 1 < line.size()) {
          t.text += line.substr(i, 2);
          i += 2;
        } else if (line[i] == '"') {
          closed = true;
          ++i;
          break;
        } else {
          t.text += line[i++];
        }
      }
      if (!closed) throw ScenarioError("unterminated quoted text");
      tokens.push_back(std::move(t));
    } else {
      Token t;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
             line[i] != '\n') {
        t.text += line[i++];
      }
      tokens.push_back(std::move(t));
    }
  }
  return tokens;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes the escapes of a quoted token. With toGbk the text pieces are converted to GBK
// (and must convert without loss) while \xHH bytes are taken as they stand.
std::string Unquote(const std::string& raw, bool toGbk) {
  std::string out, piece;
  auto flush = [&] {
    if (toGbk && !piece.empty()) {
      std::string gbk = Utf8ToGbk(piece);
      if (GbkToUtf8(gbk) != piece) {
        throw ScenarioError("text \"" + piece + "\" is not UTF-8 that GBK can carry");
      }
      out += gbk;
    } else {
      out += piece;
    }
    piece.clear();
  };
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      piece += raw[i];
      continue;
    }
    char e = raw[++i];
    switch (e) {
      case 'n':
        piece += '\n';
        break;
      case 'r':
        piece += '\r';
        break;
      case 't':
        piece += '\t';
        break;
      case '"':
        piece += '"';
        break;
      case '\\':
        piece += '\\';
        break;
      case 'x': {
        int hi = i + 1 < raw.size() ? HexDigit(raw[i + 1]) : -1;
        int lo = i + 2 < raw.size() ? HexDigit(raw[i + 2]) : -1;
        if (hi < 0 || lo < 0) throw ScenarioError("\\x needs two hex digits");
        flush();
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        break;
      }
      default:
        throw ScenarioError(std::string("unknown escape \\") + e);
    }
  }
  flush();
  return out;
}

long ParseInt(const std::string& word, const char* what, long lo, long hi) {
  long v = 0;
  auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
  if (ec != std::errc{} || end != word.data() + word.size() || v < lo || v > hi) {
    throw ScenarioError(std::string(what) + " must be a number from " + std::to_string(lo) +
                        " to " + std::to_string(hi) + ", not \"" + word + "\"");
  }
  return v;
}

std::uint8_t ParseCode(const std::string& word) {
  std::optional<std::uint8_t> code = CodeForName(word);
  if (!code) throw ScenarioError("unknown request name \"" + word + "\"");
  return *code;
}

}  // namespace

std::optional<ScenarioRequest> ParseScenarioLine(std::string_view line) {
  std::vector<Token> t = Tokenize(line);
  if (t.empty()) return std::nullopt;
  ScenarioRequest s;
  bool haveHandheld = false, haveRequest = false;
  std::size_t i = 0;
  auto word = [&](const char* after) -> const Token& {
    if (i >= t.size()) throw ScenarioError(std::string("\"") + after + "\" needs a value");
    return t[i++];
  };
  auto plain = [&](const char* after) -> std::string {
    const Token& v = word(after);
    if (v.quoted) throw ScenarioError(std::string("\"") + after + "\" takes a plain word");
    return v.text;
  };
  auto quoted = [&](const char* after) -> std::string {
    const Token& v = word(after);
    if (!v.quoted) throw ScenarioError(std::string("\"") + after + "\" takes a quoted text");
    return v.text;
  };
  std::vector<std::string> seen;
  while (i < t.size()) {
    if (t[i].quoted) throw ScenarioError("unexpected quoted text \"" + t[i].text + "\"");
    std::string key = t[i++].text;
    for (const std::string& k : seen) {
      if (k == key) throw ScenarioError("\"" + key + "\" given twice");
    }
    seen.push_back(key);
    if (key == "at") {
      std::string v = plain("at");
      char* end = nullptr;
      s.at = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !std::isfinite(s.at) || s.at < 0 || s.at > 1e6) {
        throw ScenarioError("\"at\" needs seconds from 0, not \"" + v + "\"");
      }
    } else if (key == "station") {
      s.station = static_cast<int>(ParseInt(plain("station"), "station", 0, 99));
    } else if (key == "handheld") {
      s.request.handheld =
          static_cast<std::uint8_t>(ParseInt(plain("handheld"), "handheld", 0, 191));
      haveHandheld = true;
    } else if (key == "request") {
      s.request.code = ParseCode(plain("request"));
      haveRequest = true;
    } else if (key == "payload") {
      s.request.payload = Unquote(quoted("payload"), true);
    } else if (key == "fault") {
      std::string f = plain("fault");
      if (f == "corrupt-packet") {
        s.request.fault = Fault::CorruptPacket;
        s.request.faultPacket =
            static_cast<int>(ParseInt(plain("corrupt-packet"), "packet", 1, 255));
      } else if (f == "silent-after-a5") {
        s.request.fault = Fault::SilentAfterA5;
      } else if (f == "no-confirm") {
        s.request.fault = Fault::NoConfirm;
      } else {
        throw ScenarioError("unknown fault \"" + f + "\"");
      }
    } else if (key == "expect") {
      std::string e = plain("expect");
      if (e == "reply") {
        s.expect = Expect::Reply;
      } else if (e == "no-reply") {
        s.expect = Expect::NoReplyText;
      } else if (e == "none") {
        s.expect = Expect::None;
      } else if (e == "text") {
        s.expect = Expect::Text;
        s.expectText = Unquote(quoted("text"), false);
      } else if (e == "code") {
        s.expect = Expect::Code;
        s.expectCode = ParseCode(plain("code"));
      } else {
        throw ScenarioError("unknown expectation \"" + e + "\"");
      }
    } else {
      throw ScenarioError("unknown word \"" + key + "\"");
    }
  }
  if (s.station < 0) throw ScenarioError("\"station\" is missing");
  if (!haveHandheld) throw ScenarioError("\"handheld\" is missing");
  if (!haveRequest) throw ScenarioError("\"request\" is missing");
  return s;
}

bool MeetsExpectation(const ScenarioRequest& s, const ReceivedReply* reply) {
  if (s.expect == Expect::None) return reply == nullptr;
  if (reply == nullptr) return false;
  switch (s.expect) {
    case Expect::Reply:
      return true;
    case Expect::NoReplyText:
      return reply->code == 0x4D &&
             (reply->text == kNoReplyTexts[0] || reply->text == kNoReplyTexts[1]);
    case Expect::Text:
      return reply->text == s.expectText;
    case Expect::Code:
      return reply->code == s.expectCode;
    case Expect::None:
      break;
  }
  return false;
}

}  // namespace ol::sim
