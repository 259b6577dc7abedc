#pragma once

#include <string>

namespace ol::testing {

// A pseudo-terminal pair: the component opens the slave by its path, the test plays
// the station on the master. The test keeps its own slave descriptor open so that the
// terminal survives the component's close and reopen.
class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& Path() const { return path_; }
  int Slave() const { return slave_; }

  // Writes all bytes to the master (the station sending).
  void Write(const std::string& bytes);
  // Reads from the master until want bytes have arrived or ms pass without progress.
  std::string Read(std::size_t want, int ms);
  // The station is unplugged.
  void CloseMaster();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// Process CPU time (user + system) in microseconds.
long long ProcessCpuMicros();

}  // namespace ol::testing
