// Chunk latency of TComm against a QSerialPort reader given the same quiet interval, in
// the same run and on the same loop: a frame is written to each reader's pseudo-terminal
// in two pieces, and the time from the last piece to the chunk's delivery is taken. Both
// readers should deliver one quiet interval after the last byte. QSerialPort is used here
// only, as the yardstick.
#include <QCoreApplication>
#include <QSerialPort>
#include <QTimer>
#include <atomic>
#include <cstring>
#include <thread>

#include "bench_util.h"
#include "serial/tcomm.h"
#include "ui/qt_event_loop.h"

namespace {

using bench::Clock;
using bench::Ms;

constexpr int kIntervalMs = 20;     // the first station port's read interval
constexpr std::size_t kFrame = 57;  // one request packet

struct Reader {
  bench::Pty pty;
  std::atomic<Clock::rep> lastByte{0};
  std::atomic<bool> delivered{false};
  std::size_t got = 0;
  std::vector<double> latency;

  void Received(std::size_t bytes) {
    got += bytes;
    if (got < kFrame) return;
    const auto sent = Clock::time_point(Clock::duration(lastByte.load()));
    latency.push_back(Ms(Clock::now() - sent));
    got = 0;
    delivered = true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  int rounds = 100;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
  QCoreApplication app(argc, argv);
  ol::QtEventLoop loop;
  Reader ours, theirs;
  if (!ours.pty.Ok() || !theirs.pty.Ok()) return 1;
  // The slaves are opened by the readers; the bench needs no handle of its own on them.
  close(ours.pty.keep);
  ours.pty.keep = -1;
  close(theirs.pty.keep);
  theirs.pty.keep = -1;

  ol::TComm comm(loop);
  comm.SetCommName(ours.pty.slave);
  comm.SetReadIntervalTimeout(kIntervalMs);
  comm.OnReceiveData = [&](ol::Port&, const std::uint8_t*, std::uint16_t n) { ours.Received(n); };
  comm.OpenPort();

  QSerialPort port;
  port.setPortName(QString::fromStdString(theirs.pty.slave));
  if (!port.open(QIODevice::ReadWrite)) {
    std::printf("serial_bench: QSerialPort cannot open %s: %s\n", theirs.pty.slave.c_str(),
                port.errorString().toLocal8Bit().constData());
    return 1;
  }
  QTimer quiet;
  quiet.setSingleShot(true);
  quiet.setTimerType(Qt::PreciseTimer);
  quiet.setInterval(kIntervalMs);
  QByteArray chunk;
  QObject::connect(&port, &QSerialPort::readyRead, [&] {
    chunk += port.readAll();
    quiet.start();
  });
  QObject::connect(&quiet, &QTimer::timeout, [&] {
    theirs.Received(static_cast<std::size_t>(chunk.size()));
    chunk.clear();
  });

  // Turn by turn, so both readers see the same load; a frame not delivered within half a
  // second counts as lost rather than holding the run.
  int lost = 0;
  std::thread feeder([&] {
    std::string frame(kFrame, '\x5A');
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int r = 0; r < rounds; ++r) {
      for (Reader* reader : {&ours, &theirs}) {
        reader->delivered = false;
        [[maybe_unused]] auto a = write(reader->pty.master, frame.data(), kFrame / 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        reader->lastByte = Clock::now().time_since_epoch().count();
        [[maybe_unused]] auto b =
            write(reader->pty.master, frame.data() + kFrame / 2, kFrame - kFrame / 2);
        const auto limit = Clock::now() + std::chrono::milliseconds(500);
        while (!reader->delivered && Clock::now() < limit)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!reader->delivered) ++lost;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
  });
  app.exec();
  feeder.join();
  comm.ClosePort();

  std::printf("serial_bench: %d frames of %zu bytes to each reader, quiet interval %d ms\n", rounds,
              kFrame, kIntervalMs);
  bench::Tail("TComm: last byte -> chunk delivered", ours.latency, "ms", kIntervalMs);
  bench::Tail("QSerialPort + quiet timer: last byte -> chunk", theirs.latency, "ms", kIntervalMs);
  const double qt = bench::Percentile(theirs.latency, 50);
  bench::Row("TComm median against QSerialPort median", bench::Percentile(ours.latency, 50), "ms",
             qt);
  if (lost) std::printf("  %d frames were not delivered within 500 ms\n", lost);
  return ours.latency.empty() || theirs.latency.empty() ? 1 : 0;
}
