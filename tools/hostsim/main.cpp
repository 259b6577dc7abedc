// orderlink-hostsim: a substitute host application on the POSIX host link.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "core/real_loop.h"
#include "core/text_file.h"
#include "hostsim/host_session.h"
#include "hostsim/options.h"
#include "platform/posix_host_link.h"

namespace {

using namespace ol;

// Reads commands from stdin and termination signals, and posts them to the loop, until
// told to stop.
class CommandReader {
 public:
  CommandReader(RealLoop& loop, std::function<void(const std::string&)> command)
      : loop_(loop), command_(std::move(command)) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe");
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    signals_ = ::signalfd(-1, &set, SFD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
  }
  ~CommandReader() {
    char b = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wake_[1], &b, 1);
    thread_.join();
    ::close(wake_[0]);
    ::close(wake_[1]);
    if (signals_ >= 0) ::close(signals_);
  }

 private:
  void Run() {
    std::string pending;
    bool stdinOpen = true;
    for (;;) {
      pollfd fds[3] = {{wake_[0], POLLIN, 0}, {signals_, POLLIN, 0}, {0, 0, 0}};
      if (stdinOpen) fds[2].events = POLLIN;
      if (::poll(fds, 3, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents != 0) return;
      if (fds[1].revents & POLLIN) {
        signalfd_siginfo info;
        if (::read(signals_, &info, sizeof info) == sizeof info) Post("quit");
      }
      if (fds[2].revents != 0) {
        char buf[256];
        ssize_t n = ::read(0, buf, sizeof buf);
        if (n <= 0) {
          stdinOpen = false;  // no more commands; the run goes on
          continue;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        for (auto nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
          Post(Trim(pending.substr(0, nl)));
          pending.erase(0, nl + 1);
        }
        if (pending.size() > 4096) pending.clear();  // no line is that long
      }
    }
  }
  void Post(std::string line) {
    loop_.Post([this, line = std::move(line)] { command_(line); });
  }

  RealLoop& loop_;
  std::function<void(const std::string&)> command_;
  int wake_[2] = {-1, -1};
  int signals_ = -1;
  std::thread thread_;
};

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) return "gateway exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status))
    return "gateway ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  return "gateway ended";
}

}  // namespace

int main(int argc, char** argv) {
  hostsim::Options parsed;
  hostsim::ReplyTable replies;
  if (auto end =
          hostsim::PrepareRun(std::vector<std::string>(argv + 1, argv + argc), parsed, replies))
    return *end;
  auto* options = &parsed;

  // Signals are taken by the command reader; block them before any thread starts.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);

  RealLoop loop;
  std::unique_ptr<PosixHostLink> link;
  std::unique_ptr<TxtFolder> txt;
  try {
    link = options->handle != 0 ? std::make_unique<PosixHostLink>(loop, options->handle)
                                : std::make_unique<PosixHostLink>(loop);
    txt = std::make_unique<TxtFolder>(hostsim::TxtFolderFor(*options));
  } catch (const std::exception& e) {
    std::cerr << "orderlink-hostsim: " << e.what() << "\n";
    return 2;
  }

  auto say = [&loop](const std::string& line) {
    std::cout << hostsim::Stamped(loop.Now(), line) << std::endl;
  };
  hostsim::HostSession session(
      loop, *link, *txt, replies,
      {options->replyDelay, options->closeAfter, options->showAfter, options->keepRequests}, say);

  // The gateway: our handle as argument 1, stdin from /dev/null (ours carries commands),
  // the signal mask as it was.
  std::string handleText = std::to_string(link->OwnHandle());
  say("host handle " + handleText + ", TXT folder " + txt->Dir().string());
  say("starting " + options->gateway + " " + handleText);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setsigmask(&attr, &previous);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> childArgv = {options->gateway.data(), handleText.data(), nullptr};
  pid_t child = -1;
  int spawnError =
      posix_spawn(&child, options->gateway.c_str(), &actions, &attr, childArgv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (spawnError != 0) {
    std::cerr << "orderlink-hostsim: cannot start " << options->gateway << ": "
              << strerror(spawnError) << "\n";
    return 2;
  }

  bool exited = false;
  int status = 0;
  std::thread waiter([&loop, &exited, &status, child] {
    int st = 0;
    while (::waitpid(child, &st, 0) < 0 && errno == EINTR) {
    }
    loop.Post([&loop, &exited, &status, st] {
      exited = true;
      status = st;
      loop.Quit();
    });
  });

  hostsim::RunEnd end = hostsim::RunEnd::Gateway;
  if (options->timeout >= 0) {
    loop.StartTimer(options->timeout, [&] {
      say("timeout");
      end = hostsim::RunEnd::Timeout;
      loop.Quit();
    });
  }
  {
    CommandReader commands(loop, [&](const std::string& line) {
      if (!session.Command(line)) return;
      end = hostsim::RunEnd::Quit;
      loop.Quit();
    });
    loop.Run();
    if (!exited) {
      // We are leaving first: ask the gateway to close as a host does, and stop it if
      // it does not, so it never outlives its host.
      session.Close();
      if (!loop.RunUntil([&] { return exited; }, 3000)) ::kill(child, SIGTERM);
      if (!loop.RunUntil([&] { return exited; }, 3000)) {
        say("gateway ignores SIGTERM; killing it");
        ::kill(child, SIGKILL);
        loop.RunUntil([&] { return exited; }, 10000);
      }
    }
  }
  waiter.join();
  if (!exited) {
    // The waiter has posted its result by now; run it.
    loop.RunUntil([&] { return exited; }, 1000);
  }
  say(DescribeStatus(status) + ", " + std::to_string(session.RepliesSent()) + " replies sent");
  return hostsim::ExitCodeFor(end, ExitCodeOf(status));
}
