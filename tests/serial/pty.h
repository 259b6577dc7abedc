#pragma once

#include <string>

namespace ol::testing {

// A pseudo-terminal pair: the component opens the slave by its path, the test plays
// the station on the master. The test keeps its own slave descriptor open so that the
// terminal survives the component's close and reopen. On Windows the component's port is
// a COM port whose far end, a second COM port, the test plays (a relay outside Wine joins
// the two pseudo-terminals behind them).
class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& Path() const { return path_; }
#ifndef _WIN32
  int Slave() const {
    return slave_;
  }
#endif

  // Writes all bytes to the master (the station sending).
  void Write(const std::string& bytes);
  // Reads from the master until want bytes have arrived or ms pass without progress.
  std::string Read(std::size_t want, int ms);
  // The station is unplugged.
  void CloseMaster();
  // Holds back what the component sends, as flow control would; Release lets it pass.
  void HoldOutput();
  void ReleaseOutput();
#ifdef _WIN32
  // The port's settings as the terminal behind it has them: "RATE 1stop|2stop [-]ixon
  // [-]ixoff start=HH stop=HH raw|cooked".
  std::string LineSettings();
#endif

 private:
#ifdef _WIN32
  void* station_ = nullptr;  // HANDLE of the far end
#else
  int master_ = -1;
  int slave_ = -1;
#endif
  std::string path_;
};

// True where the system lets a port be opened twice (Wine; Windows and Linux refuse).
bool PortsShareable();

// Process CPU time (user + system) in microseconds.
long long ProcessCpuMicros();

}  // namespace ol::testing
