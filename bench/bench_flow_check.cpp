// Cost of the whole-flow check per recorded point, in two shapes of flow:
//  - every point with an id of its own, 10 000 of them (the worst case for the check, which then
//    looks up as many distinct ids as the record holds): at most 100 ns per recorded point;
//  - a long-running flow of 1 000 configured points whose record cycles over them, with an id
//    the flow does not configure every seventh entry: at most 100 ns per recorded point at 10 000
//    points, and at 1 000 000 points at most 3x that, measured in the same run.
// Each shape with check_order true and false.
//
// Run at log level critical, so that the check's lines (the long run's "not in flow config"
// warnings among them) are dropped; the figures are printed beside their bars at the end,
// medians of 5 interleaved repetitions unless the command line asks otherwise.

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace {

using valtrix::trace::FlowCheckStatus;
using valtrix::trace::FlowTrace;
using valtrix::trace::TraceFlowCfg;
using valtrix::trace::TracePointCfg;

constexpr double kBarNsPerPoint = 100.0;  // at kShort points
constexpr double kBarGrowth = 3.0;        // per point, kLong against kShort
constexpr int64_t kShort = 10'000;
constexpr int64_t kLong = 1'000'000;
// Points a long-running flow configures, and how often its record holds an id it does not.
constexpr int64_t kLongRunPoints = 1'000;
constexpr int64_t kUndefinedEvery = 7;  // prime to kLongRunPoints: every id is recorded

enum class Shape { kDistinct, kLongRun };

// One flow per shape and record length, its configured points all critical, built once and kept.
// A distinct flow configures as many points as it records, in order, so the check runs both
// passes over every entry and passes. A long run passes the presence pass too; its ordered
// variant stops at the first undefined id.
std::shared_ptr<TraceFlowCfg> FlowOf(Shape shape, int64_t length) {
  static std::map<std::pair<Shape, int64_t>, std::shared_ptr<TraceFlowCfg>> flows;
  auto& cfg = flows[{shape, length}];
  if (cfg) {
    return cfg;
  }
  const bool long_run = shape == Shape::kLongRun;
  cfg = std::make_shared<TraceFlowCfg>(
      fmt::format("{}_flow_{}", long_run ? "long_run" : "distinct", length));
  const int64_t configured = long_run ? kLongRunPoints : length;
  for (int64_t i = 0; i < configured; ++i) {
    auto point = std::make_shared<TracePointCfg>(fmt::format("p{:07d}", i));
    point->is_critical = true;
    cfg->flow_points.push_back(std::move(point));
  }
  FlowTrace& trace = FlowTrace::GetInstance();
  trace.RegisterTraceFlow(cfg);
  for (int64_t i = 0; i < length; ++i) {
    const bool undefined = long_run && i % kUndefinedEvery == kUndefinedEvery - 1;
    trace.Trace(cfg->flow_id,
                undefined ? "undefined" : cfg->flow_points[i % configured]->point_id, true);
  }
  return cfg;
}

void CheckWholeFlow(benchmark::State& state, Shape shape, bool check_order) {
  const int64_t points = state.range(0);
  auto cfg = FlowOf(shape, points);
  cfg->check_order = check_order;
  const bool passes = shape == Shape::kDistinct || !check_order;
  FlowTrace& trace = FlowTrace::GetInstance();
  for (auto _ : state) {
    auto result = trace.CheckFlow(cfg->flow_id);
    benchmark::DoNotOptimize(result);
    if ((result->status == FlowCheckStatus::SUCCESS) != passes) {
      state.SkipWithError("unexpected verdict");
      break;
    }
  }
  state.counters["points"] = static_cast<double>(points);
  state.counters["ns_per_point"] = benchmark::Counter(
      static_cast<double>(points),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(state.iterations() * points);
}

void BM_DistinctIdsOrdered(benchmark::State& state) {
  CheckWholeFlow(state, Shape::kDistinct, true);
}
void BM_DistinctIdsUnordered(benchmark::State& state) {
  CheckWholeFlow(state, Shape::kDistinct, false);
}
void BM_LongRunOrdered(benchmark::State& state) { CheckWholeFlow(state, Shape::kLongRun, true); }
void BM_LongRunUnordered(benchmark::State& state) {
  CheckWholeFlow(state, Shape::kLongRun, false);
}

BENCHMARK(BM_DistinctIdsOrdered)->Arg(kShort)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DistinctIdsUnordered)->Arg(kShort)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LongRunOrdered)->Arg(kShort)->Arg(kLong)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LongRunUnordered)->Arg(kShort)->Arg(kLong)->Unit(benchmark::kMicrosecond);

// What each benchmark measures, for the summary.
const std::map<std::string, std::string> kVariants = {
    {"BM_DistinctIdsOrdered", "distinct ids, check_order true (worst case)"},
    {"BM_DistinctIdsUnordered", "distinct ids, check_order false (worst case)"},
    {"BM_LongRunOrdered", "1 000 points cycled, some undefined, check_order true"},
    {"BM_LongRunUnordered", "1 000 points cycled, some undefined, check_order false"},
};

// Console output as usual, plus the wall time per point of every run for the summary.
class TargetReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.error_occurred || (run.run_type == Run::RT_Aggregate && !median)) {
        continue;
      }
      auto points = run.counters.find("points");
      if (points == run.counters.end()) {
        continue;
      }
      // CPU time: the check runs wholly on the calling thread, and on a shared machine the wall
      // time also counts whatever else ran meanwhile.
      const double ns = run.GetAdjustedCPUTime() * 1e9 /
                        benchmark::GetTimeUnitMultiplier(run.time_unit) / points->second.value;
      const std::string name = run.run_name.function_name;
      const auto size = static_cast<int64_t>(points->second.value);
      auto& slot = ns_per_point_[name][size];
      if (median || slot == 0.0) {
        slot = ns;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Prints each figure beside its bar; false when one is missed.
  bool Summarise() const {
    bool met = true;
    auto verdict = [&met](bool ok) {
      met = met && ok;
      return ok ? "met" : "missed";
    };
    std::printf("\nwhole-flow check, CPU time per recorded point, log level %d (5 = critical)\n",
                static_cast<int>(valtrix::Logger::Instance().level));
    for (const auto& [name, sizes] : ns_per_point_) {
      auto variant = kVariants.find(name);
      std::printf("  %s: %s\n", name.c_str(),
                  variant != kVariants.end() ? variant->second.c_str() : "");
      auto short_run = sizes.find(kShort);
      auto long_run = sizes.find(kLong);
      if (short_run != sizes.end()) {
        const double ns = short_run->second;
        std::printf("    %8lld points:      %7.1f ns/point   bar <= %.0f    %s\n",
                    static_cast<long long>(kShort), ns, kBarNsPerPoint,
                    verdict(ns <= kBarNsPerPoint));
      }
      if (long_run != sizes.end()) {
        std::printf("    %8lld points:      %7.1f ns/point\n", static_cast<long long>(kLong),
                    long_run->second);
      }
      if (short_run != sizes.end() && long_run != sizes.end()) {
        const double growth = long_run->second / short_run->second;
        std::printf("    1M / 10k per point: %5.2fx          bar <= %.1fx   %s\n", growth,
                    kBarGrowth, verdict(growth <= kBarGrowth));
      }
    }
    return met;
  }

 private:
  std::map<std::string, std::map<int64_t, double>> ns_per_point_;
};

}  // namespace

int main(int argc, char** argv) {
  // The logger reads its level once, on first use: set it before anything logs.
  setenv("SPDLOG_LEVEL", "critical", 0);
  valtrix::Logger::Instance();
  // Defaults first, so that the command line can override them.
  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=5";
  std::string aggregates = "--benchmark_report_aggregates_only=true";
  args.insert(args.begin() + 1, {repetitions.data(), aggregates.data()});
  argc = static_cast<int>(args.size());
  argv = args.data();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  TargetReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return reporter.Summarise() ? 0 : 1;
}
