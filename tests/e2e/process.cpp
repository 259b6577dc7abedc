#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace ol::testing {

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args,
                           const std::vector<std::string>& env,
                           const std::filesystem::path& output) {
  std::vector<std::string> argvStore{program.string()};
  argvStore.insert(argvStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argvStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStore = env;
  pid_ = fork();
  if (pid_ == 0) {
    for (auto& e : envStore) {
      if (e.find('=') == std::string::npos)
        unsetenv(e.c_str());
      else
        putenv(e.data());
    }
    const std::string out = output.empty() ? std::string("/dev/null") : output.string();
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    int in = open("/dev/null", O_RDONLY);
    if (in >= 0) dup2(in, 0);
    execv(argv[0], argv.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    Wait(std::chrono::seconds(5));
  }
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool ChildProcess::Running() {
  return !Wait(std::chrono::milliseconds(0));
}

void ChildProcess::Signal(int sig) {
  if (pid_ > 0 && !status_) kill(pid_, sig);
}

std::filesystem::path InstallProgram(const std::filesystem::path& program,
                                     const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  auto target = folder / program.filename();
  std::filesystem::copy_file(program, target, std::filesystem::copy_options::overwrite_existing);
  return target;
}

}  // namespace ol::testing
