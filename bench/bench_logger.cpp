// Cost of a log line against spdlog itself, measured side by side in one run:
//   emitted line: LOG_INFO versus a bare spdlog logger (same sink, same pattern) writing the same
//                 finished text; goal at most 1.3 times as much;
//   dropped line: a LOG_DEBUG call below the threshold; goal at most 30 ns.
// Log lines go to /dev/null; the report goes to the original standard output.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/ansicolor_sink.h>

#include "valtrix/logger.hpp"

namespace {

constexpr const char* kBare = "BM_BareSpdlogFinishedLine";
constexpr const char* kEmitted = "BM_LoggerEmittedLine";
constexpr const char* kDropped = "BM_LoggerDroppedLine";
constexpr double kEmittedRatioGoal = 1.3;
constexpr double kDroppedNsGoal = 30.0;

// A typical line of the tracing library: one string argument.
const std::string kDetail = "Status OK: gripper_opened";

// Points file descriptor 1 at /dev/null while it lives.
class StdoutToDevNull {
 public:
  StdoutToDevNull() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~StdoutToDevNull() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  StdoutToDevNull(const StdoutToDevNull&) = delete;
  StdoutToDevNull& operator=(const StdoutToDevNull&) = delete;

 private:
  int saved_ = -1;
};

std::shared_ptr<spdlog::logger> BareLogger() {
  static const auto logger = [] {
    auto built = std::make_shared<spdlog::logger>(
        "bare", std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>());
    built->set_pattern("%v");
    return built;
  }();
  return logger;
}

void BM_BareSpdlogFinishedLine(benchmark::State& state) {
  const auto logger = BareLogger();
  const std::string line = fmt::format("{0:3d} [INFO] ROS2 topic pub: '{1}'", 1, kDetail);
  StdoutToDevNull quiet;
  for (auto _ : state) {
    logger->log(spdlog::source_loc{__FILE__, __LINE__, static_cast<const char*>(__func__)},
                spdlog::level::info, spdlog::string_view_t(line));
  }
}

void BM_LoggerEmittedLine(benchmark::State& state) {
  StdoutToDevNull quiet;
  for (auto _ : state) {
    LOG_INFO("ROS2 topic pub: '{}'", kDetail);
  }
}

void BM_LoggerDroppedLine(benchmark::State& state) {
  for (auto _ : state) {
    LOG_DEBUG("ROS2 topic pub: '{}'", kDetail);
  }
}

BENCHMARK(BM_BareSpdlogFinishedLine)->Unit(benchmark::kNanosecond)->Repetitions(10);
BENCHMARK(BM_LoggerEmittedLine)->Unit(benchmark::kNanosecond)->Repetitions(10);
BENCHMARK(BM_LoggerDroppedLine)->Unit(benchmark::kNanosecond)->Repetitions(10);

// Keeps the console report and collects each benchmark's per-iteration CPU times in ns. CPU time
// includes the write system calls and is not inflated when other processes share the machine.
class GoalReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        times_[run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Prints the goals; false if one was missed.
  bool PrintGoals() const {
    if (times_.count(kBare) == 0 || times_.count(kEmitted) == 0 || times_.count(kDropped) == 0) {
      std::printf("goals: not all of %s, %s, %s ran\n", kBare, kEmitted, kDropped);
      return true;
    }
    const double ratio = Median(kEmitted) / Median(kBare);
    const double dropped = Median(kDropped);
    const bool ratio_met = ratio <= kEmittedRatioGoal;
    const bool dropped_met = dropped <= kDroppedNsGoal;
    std::printf("emitted line / bare spdlog line: %.2f (goal <= %.2f) %s\n", ratio,
                kEmittedRatioGoal, ratio_met ? "met" : "MISSED");
    std::printf("dropped line: %.1f ns (goal <= %.0f ns) %s\n", dropped, kDroppedNsGoal,
                dropped_met ? "met" : "MISSED");
    return ratio_met && dropped_met;
  }

 private:
  double Median(const std::string& name) const {
    std::vector<double> times = times_.at(name);
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    return times[times.size() / 2];
  }

  std::map<std::string, std::vector<double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
  // A fixed, silent configuration: console sink only, threshold info.
  setenv("SPDLOG_STDOUT", "true", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  setenv("SPDLOG_LEVEL", "info", 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  // Both loggers are built while stdout is still the terminal, so their sinks decide alike.
  valtrix::Logger::Instance();
  BareLogger();
  GoalReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return reporter.PrintGoals() ? 0 : 1;
}
