// The real hostsim program against the stand-in gateway, over real sockets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "core/gbk.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using ol::testing::ReadBytes;
using ol::testing::TempDir;
using ol::testing::WriteBytes;

struct ProgramRun {
  int exitCode = -1;
  std::string output;
};

// Runs the program with stdin from /dev/null, collecting stdout and stderr; kills it
// when it has not ended within 30 s.
ProgramRun RunProgram(std::vector<std::string> args) {
  ProgramRun run;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  int err = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (err != 0) {
    ::close(out[0]);
    return run;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    pollfd p{out[0], POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
      ::kill(pid, SIGKILL);
      run.output += "\n[killed: no end within 30 s]";
      break;
    }
    char buf[4096];
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;  // every writer (hostsim and the gateway) has gone
    run.output.append(buf, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

// A gateway folder: the stand-in program, its scenario and its TXT folder beside it.
class GatewayFolder {
 public:
  explicit GatewayFolder(const std::string& scenario) {
    fs::copy_file(FAKE_GATEWAY_PATH, Program());
    WriteBytes(dir_.Path() / "scenario.txt", scenario);
  }
  std::string Program() const { return (dir_.Path() / "gateway").string(); }
  fs::path Txt() const { return dir_.Path() / "TXT"; }
  const fs::path& Dir() const { return dir_.Path(); }

 private:
  TempDir dir_;
};

TEST(HostsimProgram, AnswersTheGatewaysRequestAndReportsItsExit) {
  GatewayFolder gw("reply\n" + ol::Utf8ToGbk("DL   005\r\n1234567890 ABCD 菜单\r\n"));
  ProgramRun run = RunProgram({HOSTSIM_PATH, "--gateway", gw.Program(), "--timeout", "20"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(ReadBytes(gw.Txt() / "R1.txt"), "DL  \r\n" + ol::Utf8ToGbk("登录成功") + "\r\n");
  EXPECT_NE(run.output.find("gateway announced handle"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("request DL (index 0) from handheld 005"), std::string::npos);
  EXPECT_NE(run.output.find("| 1234567890 ABCD 菜单"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("fake gateway: got 1280 0 1"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("gateway exited with status 0"), std::string::npos) << run.output;
}

TEST(HostsimProgram, RepliesFileAndCloseCommand) {
  GatewayFolder gw("reply-close\nKT   010\r\nA1   04 x\r\n");
  WriteBytes(gw.Dir() / "replies.txt", "KT\t开台完成\\n请点菜\n");
  ProgramRun run =
      RunProgram({HOSTSIM_PATH, "--gateway", gw.Program(), "--replies",
                  (gw.Dir() / "replies.txt").string(), "--close-after", "0", "--timeout", "20"});
  // The stand-in ends with 7 once it has had both the reply and the close.
  EXPECT_EQ(run.exitCode, 7) << run.output;
  EXPECT_EQ(ReadBytes(gw.Txt() / "R1.txt"), "KT  \r\n" + ol::Utf8ToGbk("开台完成\r\n请点菜\r\n"));
  EXPECT_NE(run.output.find("fake gateway: got 1280 0 16"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("gateway exited with status 7"), std::string::npos) << run.output;
}

TEST(HostsimProgram, TimeoutStopsAGatewayThatNeverEnds) {
  GatewayFolder gw("hang\n");
  auto start = std::chrono::steady_clock::now();
  ProgramRun run = RunProgram({HOSTSIM_PATH, "--gateway", gw.Program(), "--timeout", "0.3"});
  EXPECT_EQ(run.exitCode, 124) << run.output;
  EXPECT_NE(run.output.find("timeout"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("gateway ended by signal 15"), std::string::npos) << run.output;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(HostsimProgram, BadCommandLineOrRepliesFileIsRefused) {
  ProgramRun noGateway = RunProgram({HOSTSIM_PATH, "--timeout", "1"});
  EXPECT_EQ(noGateway.exitCode, 2);
  EXPECT_NE(noGateway.output.find("--gateway PATH is required"), std::string::npos);

  TempDir dir;
  WriteBytes(dir.Path() / "replies.txt", "DL\tok\nNOPE\tx\n");
  ProgramRun badFile = RunProgram(
      {HOSTSIM_PATH, "--gateway", "/bin/true", "--replies", (dir.Path() / "replies.txt").string()});
  EXPECT_EQ(badFile.exitCode, 2);
  EXPECT_NE(badFile.output.find("line 2: unknown reply name 'NOPE'"), std::string::npos)
      << badFile.output;

  ProgramRun missing = RunProgram({HOSTSIM_PATH, "--gateway", (dir.Path() / "none").string(),
                                   "--txt", dir.Path().string(), "--timeout", "5"});
  EXPECT_EQ(missing.exitCode, 2) << missing.output;
  EXPECT_NE(missing.output.find("cannot start"), std::string::npos) << missing.output;
}

}  // namespace
