#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ol::testing {

// A child process for end-to-end tests: started with arguments and extra environment
// ("NAME=value" sets, "NAME" alone removes), its standard output and error captured to a
// file, killed when the object goes.
class ChildProcess {
 public:
  ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {}, const std::filesystem::path& output = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int Pid() const { return pid_; }
  // The exit status once the process has ended within timeout, else nothing.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running();
  void Signal(int sig);

 private:
  int pid_ = -1;
  std::optional<int> status_;
};

// Copies the program into folder, so its TXT folder is the test's own.
std::filesystem::path InstallProgram(const std::filesystem::path& program,
                                     const std::filesystem::path& folder);

}  // namespace ol::testing
