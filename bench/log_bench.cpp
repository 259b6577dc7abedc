// Micro-measures of the monitor log: one more line shown by the log view, and one more
// line added to the form model at its limit, each with 10 and with 1000 lines already
// there. The time per line should not depend on the lines already there.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdio>
#include <map>

#include "bench_util.h"
#include "core/form_model.h"
#include "core/manual_loop.h"
#include "ui/log_view.h"

namespace {

std::string Line(int i) {
  return std::to_string(100 + i % 48) + "/dev/pts/7";
}

void ViewOneMoreLine(benchmark::State& state) {
  ol::ManualLoop loop;
  ol::FormModel form(loop);
  ol::Control& memo = form["Memo1"];
  const auto lines = static_cast<int>(state.range(0));
  memo.SetMaxLines(static_cast<std::size_t>(lines));
  ol::LogView view;
  for (int i = 0; i < lines; ++i) memo.AddLine(Line(i));
  view.Show(memo);
  int i = 0;
  for (auto _ : state) {
    memo.AddLine(Line(++i));
    view.Show(memo);
  }
}
BENCHMARK(ViewOneMoreLine)->Arg(10)->Arg(1000);

void ModelOneMoreLine(benchmark::State& state) {
  ol::ManualLoop loop;
  ol::FormModel form(loop);
  ol::Control& memo = form["Memo1"];
  const auto lines = static_cast<int>(state.range(0));
  memo.SetMaxLines(static_cast<std::size_t>(lines));
  for (int i = 0; i < lines; ++i) memo.AddLine(Line(i));
  int i = 0;
  for (auto _ : state) memo.AddLine(Line(++i));
}
BENCHMARK(ModelOneMoreLine)->Arg(10)->Arg(1000);

// Keeps each run's time per iteration, so the suite's figures can be printed after.
class Collector : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> nanos;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs)
      if (run.run_type == Run::RT_Iteration)
        nanos[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  std::printf("log_bench: one more line with 1000 lines there, against 10 lines there\n");
  for (const char* name : {"ViewOneMoreLine", "ModelOneMoreLine"}) {
    const std::string n(name);
    if (!collector.nanos.count(n + "/1000") || !collector.nanos.count(n + "/10")) continue;
    bench::Row(n + " at 1000 lines against 10", collector.nanos[n + "/1000"] / 1000.0, "us",
               collector.nanos[n + "/10"] / 1000.0);
  }
  benchmark::Shutdown();
  return 0;
}
