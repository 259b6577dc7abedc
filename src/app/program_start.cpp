#include "app/program_start.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>

#include "app/gateway.h"
#include "app/station_ports.h"
#include "core/error_text.h"
#include "core/event_loop.h"
#include "core/file_store.h"
#include "core/gbk.h"
#include "core/text_file.h"
#include "core/version.h"
#include "platform/file_sync.h"
#include "platform/system_info.h"

namespace ol {

std::optional<WindowHandle> ParseHostHandle(std::string_view text) {
  const bool negative = text.starts_with('-');
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != text.npos)
    return std::nullopt;
  const unsigned long long v = std::stoull(std::string(text));
  if (v == 0 || v > (negative ? 0x80000000ull : 0xFFFFFFFFull)) return std::nullopt;
  return static_cast<WindowHandle>(negative ? 0x100000000ull - v : v);
}

Holder WatchHolder(const std::function<SingleInstance::HolderLook()>& look,
                   const std::function<void()>& pause, int looks) {
  SingleInstance::HolderLook seen;
  for (int i = 0; i < looks; ++i) {
    if (i > 0) pause();
    seen = look();
    if (!seen.held) return Holder::Gone;
    if (seen.window && seen.answers) return Holder::Serving;
  }
  return seen.window ? Holder::NotAnswering : Holder::Ending;
}

std::optional<int> StartProgram(int argc, char** argv, std::unique_ptr<SingleInstance>& instance,
                                WindowHandle& host, std::string& failure) {
  bool otherSession = false;
  // A second try only after the holder ended while it was watched.
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      instance = SingleInstance::Acquire(Gateway::kTitle, &otherSession);
    } catch (const std::exception& e) {
      failure = std::string("无法确认是否已有网关在运行：") + ErrorText(e);
      return 3;
    }
    if (instance || otherSession) break;
    // The process of a gateway whose port a driver never lets go cannot end: Windows
    // keeps a terminated process "until all pending I/O has been completed or canceled"
    // (TerminateProcess), so its name stays while its window is gone or hung. Ending in
    // silence then would leave the host without a gateway and no one told why.
    const Holder holder =
        WatchHolder([] { return SingleInstance::LookAtHolder(Gateway::kTitle); },
                    [] { std::this_thread::sleep_for(std::chrono::milliseconds(500)); }, 10);
    if (holder == Holder::Serving) return 0;
    if (holder == Holder::Ending) {
      failure =
          "已有一个网关正在退出，但一直没有结束：很可能是某个串口的驱动程序没有放开串口，"
          "串口放开之前 Windows 无法结束它。这次启动没有打开串口。请拔下那个串口的USB转串口线"
          "（或重新启动Windows），再启动主机程序。";
      return 5;
    }
    if (holder == Holder::NotAnswering) {
      failure =
          "已在运行的网关没有响应，这次启动没有打开串口。请在任务管理器中结束 orderlink.exe "
          "后再启动主机程序；结束不了时，请拔下USB转串口线或重新启动Windows。";
      return 5;
    }
  }
  // One of this session has a window the host finds; one of another session holds the
  // ports and shares TXT, and must be left alone: nothing here is touched.
  if (!instance && otherSession) {
    failure =
        "网关已在另一个用户会话中运行（快速用户切换或远程桌面的另一个登录）。"
        "这次启动没有打开串口，也没有改动 TXT 文件夹。请在运行网关的那个会话里使用"
        "点菜系统，或先在那里退出网关。";
    return 4;
  }
  if (!instance) return 0;
  if (argc < 2) return 0;
  if (auto handle = ParseHostHandle(argv[1])) {
    host = *handle;
    return std::nullopt;
  }
  failure = std::string("启动参数1应为主机程序的窗口句柄（十进制数），收到的是“") + argv[1] +
            "”。网关未启动，请检查主机程序的启动设置。";
  return 2;
}

int RunProgram(int argc, char** argv, Edition& edition) {
  const std::filesystem::path txt = Utf8Path(ProgramFolder()) / "TXT";
  auto failed = [&](const std::string& reason, int code) {
    std::fprintf(stderr, "orderlink: %s\n", reason.c_str());
    edition.StartFailed(reason, txt, RecordStartFailure(txt, reason));
    return code;
  };
  std::unique_ptr<SingleInstance> instance;
  WindowHandle host = 0;
  std::string failure;
  if (auto end = StartProgram(argc, argv, instance, host, failure))
    return failure.empty() ? *end : failed(failure, *end);
  const std::string txtProblem = edition.CheckTxt(txt);

  int status = 0;
  try {
    const Edition::Parts parts = edition.MakeParts();
    // A host that was restarted finds us by the instance's name. Hosts that keep our
    // announcement never ask, so a name that cannot answer does not stop the start.
    try {
      instance->AnswerWith(parts.host.OwnHandle());
    } catch (const std::exception& e) {
      std::fprintf(stderr, "orderlink: a restarted host cannot find this gateway: %s\n",
                   ErrorText(e).c_str());
    }
    // ORDERLINK_RECORDER=off runs without the flight recorder, so that a benchmark can tell
    // what it costs; 保存抓包 then says there is nothing recorded.
    std::shared_ptr<FlightRecorder> recorder;
    if (const char* off = std::getenv("ORDERLINK_RECORDER"); !off || std::string(off) != "off")
      recorder = std::make_shared<FlightRecorder>();
    auto station = [&loop = parts.loop, recorder](int n) {
      return MakeStationComm(loop, n, recorder);
    };
    // Every path the gateway builds is under TXT; in the long form they work past 260
    // characters. Texts for the operator keep the plain form of txt.
    GatewayWorld world{parts.loop, parts.host,        parts.boxes,
                       station,    LongPathForm(txt), [] { return ListSerialPorts(); }};
    static const SystemFileSync fileSync;
    world.fileSync = &fileSync;
    world.recorder = recorder;
    world.version = kVersion;
    Gateway& gateway = edition.MakeWindow(std::move(world));
    edition.ShowAtStart();
    // The host learns our handle before the first station port opens, so a request that
    // arrives during the start-up already reaches it.
    gateway.Announce(host);
    gateway.FormCreate();
    // A close accepted during the start-up found no running loop to quit.
    if (!gateway.Ended()) {
      // In the running loop, so that the stations are served while the box is open.
      if (!txtProblem.empty())
        parts.loop.Post([&boxes = parts.boxes, txtProblem] { boxes.Show(txtProblem); });
      status = edition.Run();
    }
  } catch (const std::exception& e) {
    status = failed(std::string("网关出错停止：") + ErrorText(e), 3);
  }
  edition.Finish();
  return status;
}

bool RecordStartFailure(const std::filesystem::path& txt, const std::string& utf8Reason) {
  const LocalDateTime t = SystemLocalTime(SystemWallClock());
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  try {
    std::filesystem::create_directories(txt);
    DiskFileStore(txt).Append(kStartFailures,
                              Utf8ToGbk(std::string(stamp) + "  " + utf8Reason) + "\r\n");
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace ol

namespace ol {

std::optional<std::string> CannotWrite(const std::filesystem::path& folder) {
  constexpr const char* kProbe = "write-check.tmp";
  try {
    std::filesystem::create_directories(folder);
    DiskFileStore store(folder);
    store.Replace(kProbe, "OrderLink");
    if (store.Read(kProbe) != std::optional<std::string>("OrderLink")) return "写入的内容读不回来";
    store.Remove(kProbe);
    return std::nullopt;
  } catch (const std::exception& e) {
    return ErrorText(e);
  }
}

std::optional<std::string> VirtualStoreTwin(std::string_view localAppData,
                                            std::string_view folder) {
  const bool drive =
      folder.size() >= 3 && folder[1] == ':' && (folder[2] == '\\' || folder[2] == '/') &&
      ((folder[0] >= 'A' && folder[0] <= 'Z') || (folder[0] >= 'a' && folder[0] <= 'z'));
  if (!drive || localAppData.empty()) return std::nullopt;
  std::string twin(localAppData);
  if (twin.back() != '\\') twin += '\\';
  twin += "VirtualStore";
  twin += folder.substr(2);
  return twin;
}

}  // namespace ol
