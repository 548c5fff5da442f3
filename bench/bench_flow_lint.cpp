// Linting a flow configuration file against loading it with Init, on the same 10 000-point
// file: the linter reads the file as Init does and then applies its rules, and may take at
// most twice as long. And linting one mapping of many keys, at two sizes: the time per key
// must not grow with the mapping.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "valtrix/trace/flow_lint.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace {

constexpr int kFlows = 1000;
constexpr int kPointsPerFlow = 10;
constexpr double kMaxRatio = 2.0;
constexpr int kFewKeys = 10000;
constexpr int kManyKeys = 40000;
constexpr double kMaxGrowthPerKey = 1.5;

std::string FlowFile() {
  std::string yaml = "workflows:\n";
  for (int flow = 0; flow < kFlows; ++flow) {
    const std::string id = std::to_string(flow);
    yaml += "  - flow_id: flow_" + id + "\n    flow_name: Flow " + id +
            "\n    description: generated flow\n    diag_topic: /diag/flow_" + id +
            "\n    check_order: true\n    event_id: " + std::to_string(flow + 1) +
            "\n    flow_points:\n";
    for (int point = 0; point < kPointsPerFlow; ++point) {
      yaml += "      - point_id: point_" + std::to_string(point) +
              "\n        point_desc: generated point\n        event_id: " +
              std::to_string(point + 1) +
              "\n        on_success: true\n        repeat_cnt: 1\n        timeout_ms: 500\n"
              "        optional: false\n";
    }
  }
  return yaml;
}

const std::string& FlowFilePath() {
  static const std::string path = [] {
    char name[] = "/tmp/valtrix_bench_lint_XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) {
      std::perror("mkstemp");
      std::exit(1);
    }
    close(fd);
    std::ofstream(name, std::ios::binary) << FlowFile();
    return std::string(name);
  }();
  return path;
}

void BM_Init(benchmark::State& state) {
  auto& trace = valtrix::trace::FlowTrace::GetInstance();
  for (auto _ : state) {
    trace.Init(FlowFilePath(), nullptr);
  }
}
BENCHMARK(BM_Init)->Unit(benchmark::kMillisecond);

void BM_Lint(benchmark::State& state) {
  size_t findings = 0;
  for (auto _ : state) {
    findings = valtrix::trace::LintFlowConfig(FlowFilePath()).size();
    benchmark::DoNotOptimize(findings);
  }
  state.counters["findings"] = static_cast<double>(findings);
}
BENCHMARK(BM_Lint)->Unit(benchmark::kMillisecond);

// One point holding `keys` keys the loader does not know, each a warning.
std::string WideMappingFile(int keys) {
  std::string yaml = "workflows:\n  - flow_id: f\n    check_order: true\n    flow_points:\n"
                     "      - point_id: a\n";
  for (int key = 0; key < keys; ++key) {
    yaml += "        key_" + std::to_string(key) + ": 1\n";
  }
  return yaml;
}

void BM_LintWideMapping(benchmark::State& state) {
  const std::string yaml = WideMappingFile(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(valtrix::trace::LintFlowConfigText(yaml, "wide.yaml"));
  }
}
BENCHMARK(BM_LintWideMapping)->Arg(kFewKeys)->Arg(kManyKeys)->Unit(benchmark::kMillisecond);

// Keeps the real time per iteration (median when repeated) of each benchmark.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Plain text: a reporter of our own does not get --benchmark_color's setting.
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      const bool aggregate = run.run_type == Run::RT_Aggregate;
      if (!aggregate || run.aggregate_name == "median") {
        seconds_[run.run_name.str()] = run.GetAdjustedRealTime();
      }
    }
  }

  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  // DEBUG lines are dropped, as in production; a level set by the caller wins.
  setenv("SPDLOG_STDOUT", "true", 0);
  setenv("SPDLOG_LEVEL", "warning", 0);
  setenv("SPDLOG_SYSTEMD", "false", 0);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::remove(FlowFilePath().c_str());

  const auto& seconds = reporter.seconds_;
  bool missed = false;
  const auto init = seconds.find("BM_Init");
  const auto lint = seconds.find("BM_Lint");
  if (init != seconds.end() && lint != seconds.end()) {
    const double ratio = lint->second / init->second;
    missed |= ratio > kMaxRatio;
    std::printf("lint vs Init of a %d-point file: %.1f ms vs %.1f ms, %.2fx (target <= %.1fx) %s\n",
                kFlows * kPointsPerFlow, lint->second, init->second, ratio, kMaxRatio,
                ratio <= kMaxRatio ? "met" : "missed");
  }
  const auto few = seconds.find("BM_LintWideMapping/" + std::to_string(kFewKeys));
  const auto many = seconds.find("BM_LintWideMapping/" + std::to_string(kManyKeys));
  if (few != seconds.end() && many != seconds.end()) {
    const double growth = (many->second / kManyKeys) / (few->second / kFewKeys);
    missed |= growth > kMaxGrowthPerKey;
    std::printf("lint time per key of one mapping, %d vs %d keys: %.2fx (target <= %.1fx) %s\n",
                kManyKeys, kFewKeys, growth, kMaxGrowthPerKey,
                growth <= kMaxGrowthPerKey ? "met" : "missed");
  }
  return missed ? 1 : 0;
}
