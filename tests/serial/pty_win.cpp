// The test's station on Windows: COM11 is the component's port, COM12 its far end, COM19
// the relay's control port (tests/win/pty_relay.c, started by tests/win/on-com-ports).
#include <windows.h>

#include <algorithm>
#include <stdexcept>

#include "serial/pty.h"

namespace ol::testing {
namespace {

constexpr const char* kPort = "COM11";
constexpr const char* kPortLink = "com11";  // its name in the relay
constexpr const char* kFarEnd = "\\\\.\\COM12";
constexpr const char* kControl = "\\\\.\\COM19";

HANDLE OpenPlain(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    throw std::runtime_error(std::string("cannot open ") + path + " (is the relay running?)");
  DCB d{};
  d.DCBlength = sizeof d;
  GetCommState(h, &d);
  d.BaudRate = 9600;
  d.ByteSize = 8;
  d.Parity = NOPARITY;
  d.StopBits = ONESTOPBIT;
  d.fBinary = 1;
  d.fOutX = d.fInX = 0;
  SetCommState(h, &d);
  PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return h;
}

void WriteAll(HANDLE h, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD n = 0;
    if (!WriteFile(h, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr) &&
        GetLastError() != ERROR_TIMEOUT)
      throw std::runtime_error("far end write failed");
    done += n;
  }
}

// Reads until want bytes or a line end (stopAtNewline) arrived, or a read of ms brought
// nothing. Wine ends a read on its total time-out with ERROR_TIMEOUT; the bytes count.
std::string ReadSome(HANDLE h, std::size_t want, int ms, bool stopAtNewline) {
  // A line ends its read once the line has been quiet briefly.
  COMMTIMEOUTS t{stopAtNewline ? 10u : 0u, 0, static_cast<DWORD>(ms), 0, 0};
  SetCommTimeouts(h, &t);
  std::string got;
  char buf[4096];
  while (got.size() < want) {
    DWORD n = 0;
    if (!ReadFile(h, buf, static_cast<DWORD>(std::min(sizeof buf, want - got.size())), &n,
                  nullptr) &&
        GetLastError() != ERROR_TIMEOUT)
      break;
    if (n == 0) break;
    got.append(buf, n);
    if (stopAtNewline && got.back() == '\n') break;
  }
  return got;
}

// One command to the relay, which answers "ok" once it is done; returns what follows.
std::string Relay(const std::string& command) {
  static HANDLE control = OpenPlain(kControl);
  WriteAll(control, command + "\n");
  std::string answer = ReadSome(control, 128, 2000, true);
  if (answer.rfind("ok", 0) != 0 || answer.back() != '\n')
    throw std::runtime_error("the relay refused: " + command);
  answer.pop_back();
  return answer.size() > 3 ? answer.substr(3) : std::string();
}

}  // namespace

Pty::Pty() : path_(kPort) {
  Relay("reset");
  station_ = OpenPlain(kFarEnd);
}

Pty::~Pty() {
  CloseHandle(station_);
  try {
    Relay("reset");
  } catch (const std::exception&) {
    // The next test's reset reports it.
  }
}

void Pty::Write(const std::string& bytes) {
  WriteAll(station_, bytes);
}

std::string Pty::Read(std::size_t want, int ms) {
  return ReadSome(station_, want, ms, false);
}

void Pty::CloseMaster() {
  Relay("unplug " + std::string(kPortLink));
}

void Pty::HoldOutput() {
  Relay("hold " + std::string(kPortLink));
}

void Pty::ReleaseOutput() {
  Relay("release " + std::string(kPortLink));
}

std::string Pty::LineSettings() {
  return Relay("settings " + std::string(kPortLink));
}

bool PortsShareable() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

long long ProcessCpuMicros() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto micros = [](const FILETIME& f) {
    return static_cast<long long>(
        (static_cast<unsigned long long>(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 10);
  };
  return micros(kernel) + micros(user);
}

}  // namespace ol::testing
