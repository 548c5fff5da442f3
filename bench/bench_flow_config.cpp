// Cost of loading a flow configuration file, per configured point, at two file sizes. Loading
// must grow linearly with the file: the per-point time of the large file is printed as a ratio
// of the small file's.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "valtrix/trace/flow_trace.hpp"

namespace {

constexpr int kPointsPerFlow = 10;
constexpr double kMaxGrowth = 1.5;

std::string FlowFile(int flows) {
  std::string yaml = "workflows:\n";
  for (int flow = 0; flow < flows; ++flow) {
    const std::string id = std::to_string(flow);
    yaml += "  - flow_id: flow_" + id + "\n    flow_name: Flow " + id +
            "\n    description: generated flow\n    check_order: true\n    event_id: " + id +
            "\n    flow_points:\n";
    for (int point = 0; point < kPointsPerFlow; ++point) {
      yaml += "      - point_id: point_" + std::to_string(point) +
              "\n        point_desc: generated point\n        event_id: " + std::to_string(point) +
              "\n        on_success: true\n        repeat_cnt: 1\n        timeout_ms: 500\n"
              "        optional: false\n";
    }
  }
  return yaml;
}

std::string WriteTemp(const std::string& text) {
  char path[] = "/tmp/valtrix_bench_flows_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    std::perror("mkstemp");
    std::exit(1);
  }
  close(fd);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

void BM_InitFlowFile(benchmark::State& state) {
  const int flows = static_cast<int>(state.range(0));
  const std::string text = FlowFile(flows);
  const std::string path = WriteTemp(text);
  auto& trace = valtrix::trace::FlowTrace::GetInstance();
  for (auto _ : state) {
    trace.Init(path, nullptr);
  }
  const double points = static_cast<double>(flows) * kPointsPerFlow;
  state.counters["points"] = points;
  state.counters["MB"] = static_cast<double>(text.size()) / 1e6;
  state.counters["per_point"] = benchmark::Counter(
      points, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  std::remove(path.c_str());
}
BENCHMARK(BM_InitFlowFile)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Keeps the per-point times (seconds) of the runs to compare them at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      const auto counter = run.counters.find("per_point");
      const bool aggregate = run.run_type == Run::RT_Aggregate;
      if (counter != run.counters.end() && (!aggregate || run.aggregate_name == "median")) {
        per_point_[run.run_name.args] = counter->second.value;
      }
    }
  }

  std::map<std::string, double> per_point_;
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

  const auto small = reporter.per_point_.find("1000");
  const auto large = reporter.per_point_.find("10000");
  if (small == reporter.per_point_.end() || large == reporter.per_point_.end()) {
    return 0;
  }
  const double ratio = large->second / small->second;
  std::printf("Init per point: %.0f ns at 10 000 points, %.0f ns at 100 000 points\n",
              small->second * 1e9, large->second * 1e9);
  std::printf("growth per point, 100 000 vs 10 000 points: %.2fx (target <= %.1fx) %s\n", ratio,
              kMaxGrowth, ratio <= kMaxGrowth ? "OK" : "EXCEEDED");
  return 0;
}
