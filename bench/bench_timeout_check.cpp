// Cost of FlowTrace::CheckTimeouts when nothing is overdue, over 1 000 flows of 10 configured
// points each, in the two kinds of flow it looks at:
//  - ordered, every point with a timeout_ms, the run halfway through (so the expected point is
//    timed);
//  - unordered, every point with a freq_min, each recorded (so each point is timed from its own
//    newest entry).
// Beside it, what keeping the watch costs Trace: a heartbeat (unordered, one point) traced with and
// without freq_min, side by side.
// Targets: at most 20 ns per configured point; nothing allocated; records 100 times longer cost
// no more than 1.5x (the check never walks a record; what grows is the spread of the
// configurations over a heap that also holds the 100x entries, costing cache and TLB misses).
// The heartbeat with freq_min at most 1.3x the one without, which keeps it within Trace's own
// bar (bench_trace: 2x its floor, where a trace without freq_min sits at about 1.5x).
//
// Run at log level warning (the default here unless SPDLOG_LEVEL is set), so that registration
// and tracing stay quiet; the figures are printed beside their targets at the end.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

// ---- allocation counting (calling thread only) ----------------------------------------------

namespace {
thread_local bool t_counting = false;
thread_local int64_t t_allocations = 0;

void* CountedAlloc(std::size_t size) {
  if (t_counting) {
    ++t_allocations;
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  return p;
}
}  // namespace

void* operator new(std::size_t size) { return CountedAlloc(size); }
void* operator new[](std::size_t size) { return CountedAlloc(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using valtrix::trace::FlowTrace;
using valtrix::trace::TraceFlowCfg;
using valtrix::trace::TracePointCfg;

constexpr int kFlows = 1000;
constexpr int kPointsPerFlow = 10;
constexpr int64_t kConfiguredPoints = int64_t{kFlows} * kPointsPerFlow;
constexpr double kTargetNsPerPoint = 20.0;
constexpr double kTargetGrowth = 1.5;
constexpr double kTargetWatchCost = 1.3;  // heartbeat with freq_min / without
constexpr uint32_t kHour = 3600 * 1000;
constexpr float kOncePerHour = 1.0F / 3600.0F;
// Entries per configured point in a record: one, or a long-running flow's hundred.
constexpr int64_t kShort = 1;
constexpr int64_t kLong = 100;

enum class Kind { kOrdered, kUnordered };

std::string FlowId(Kind kind, int f) {
  return fmt::format("{}_{:04d}", kind == Kind::kOrdered ? "ordered" : "unordered", f);
}

std::shared_ptr<TraceFlowCfg> MakeFlow(Kind kind, int f) {
  auto flow = std::make_shared<TraceFlowCfg>(FlowId(kind, f));
  flow->check_order = kind == Kind::kOrdered;
  for (int k = 0; k < kPointsPerFlow; ++k) {
    auto point = std::make_shared<TracePointCfg>(fmt::format("point_{}", k));
    point->is_critical = true;
    point->timeout_ms = kHour;
    point->freq_min = kOncePerHour;
    flow->flow_points.push_back(point);
  }
  return flow;
}

// Registers the flows of one kind afresh and records `repeats` entries per configured point:
// ordered flows pass their first half and then wait (later entries are undefined points),
// unordered ones see every point.
void RegisterFlows(Kind kind, int64_t repeats) {
  FlowTrace& trace = FlowTrace::GetInstance();
  for (int f = 0; f < kFlows; ++f) {
    auto flow = MakeFlow(kind, f);
    trace.RegisterTraceFlow(flow);
    for (int64_t r = 0; r < repeats; ++r) {
      for (int k = 0; k < kPointsPerFlow; ++k) {
        const bool in_order = kind == Kind::kUnordered || (r == 0 && k < kPointsPerFlow / 2);
        trace.Trace(flow->flow_id, in_order ? flow->flow_points[k]->point_id : "late", true);
      }
    }
  }
}

void RemoveFlows(Kind kind) {
  FlowTrace& trace = FlowTrace::GetInstance();
  for (int f = 0; f < kFlows; ++f) {
    trace.RemoveTraceFlow(FlowId(kind, f));
  }
}

void CheckNothingOverdue(benchmark::State& state, Kind kind) {
  const int64_t repeats = state.range(0);
  RegisterFlows(kind, repeats);
  FlowTrace& trace = FlowTrace::GetInstance();
  int64_t reports = 0;
  t_allocations = 0;
  t_counting = true;
  for (auto _ : state) {
    reports += static_cast<int64_t>(trace.CheckTimeouts());
  }
  t_counting = false;
  if (reports != 0) {
    state.SkipWithError("something was overdue");
  }
  state.counters["points"] = static_cast<double>(kConfiguredPoints);
  state.counters["allocations"] = static_cast<double>(t_allocations);
  state.counters["ns_per_point"] = benchmark::Counter(
      static_cast<double>(kConfiguredPoints),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  RemoveFlows(kind);
}

void BM_Ordered(benchmark::State& state) { CheckNothingOverdue(state, Kind::kOrdered); }
void BM_Unordered(benchmark::State& state) { CheckNothingOverdue(state, Kind::kUnordered); }

BENCHMARK(BM_Ordered)->Arg(kShort)->Arg(kLong)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Unordered)->Arg(kShort)->Arg(kLong)->Unit(benchmark::kMicrosecond);

// Trace into a heartbeat flow, its record emptied every 1 000 points outside the timed region.
void TraceHeartbeat(benchmark::State& state, float freq_min) {
  FlowTrace& trace = FlowTrace::GetInstance();
  auto flow = std::make_shared<TraceFlowCfg>("heartbeat");
  flow->check_order = false;
  auto point = std::make_shared<TracePointCfg>("heartbeat");
  point->freq_min = freq_min;
  flow->flow_points.push_back(point);
  trace.RegisterTraceFlow(flow);
  int64_t since_reset = 0;
  for (auto _ : state) {
    trace.Trace("heartbeat", "heartbeat", true);
    if (++since_reset == 1000) {
      state.PauseTiming();
      trace.ResetFlow("heartbeat");
      since_reset = 0;
      state.ResumeTiming();
    }
  }
  trace.RemoveTraceFlow("heartbeat");
}

void BM_TraceHeartbeatWithoutFreqMin(benchmark::State& state) { TraceHeartbeat(state, 0.0F); }
void BM_TraceHeartbeatWithFreqMin(benchmark::State& state) { TraceHeartbeat(state, 2.0F); }

BENCHMARK(BM_TraceHeartbeatWithoutFreqMin)->Iterations(300000);
BENCHMARK(BM_TraceHeartbeatWithFreqMin)->Iterations(300000);

// Console output as usual, plus the CPU time per configured point of every median.
class TargetReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.error_occurred || (run.run_type == Run::RT_Aggregate && !median)) {
        continue;
      }
      const double run_ns =
          run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      if (run.run_name.function_name.rfind("BM_TraceHeartbeat", 0) == 0) {
        double& trace_ns = trace_ns_[run.run_name.function_name];
        if (median || trace_ns == 0.0) {
          trace_ns = run_ns;
        }
        continue;
      }
      const double ns = run_ns / kConfiguredPoints;
      Figures& figures = figures_[run.run_name.function_name][run.run_name.args];
      if (median || figures.ns_per_point == 0.0) {
        figures.ns_per_point = ns;
      }
      auto allocations = run.counters.find("allocations");
      if (allocations != run.counters.end()) {
        figures.allocations += allocations->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Prints each figure beside its target; false when one is missed.
  bool Summarise() const {
    bool met = true;
    std::printf("\nCheckTimeouts, nothing overdue, %d flows x %d points, CPU time per configured "
                "point\n", kFlows, kPointsPerFlow);
    for (const auto& [name, runs] : figures_) {
      std::printf("  %s\n", name.c_str());
      for (const auto& [args, figures] : runs) {
        const bool fast = figures.ns_per_point <= kTargetNsPerPoint;
        const bool lean = figures.allocations == 0.0;
        met = met && fast && lean;
        std::printf("    %3s entries per point: %6.2f ns/point   target <= %.0f   %s;"
                    "   %.0f allocations   %s\n",
                    args.c_str(), figures.ns_per_point, kTargetNsPerPoint,
                    fast ? "met" : "MISSED", figures.allocations, lean ? "met" : "MISSED");
      }
      auto short_run = runs.find(std::to_string(kShort));
      auto long_run = runs.find(std::to_string(kLong));
      if (short_run != runs.end() && long_run != runs.end()) {
        const double growth = long_run->second.ns_per_point / short_run->second.ns_per_point;
        const bool ok = growth <= kTargetGrowth;
        met = met && ok;
        std::printf("    %lldx longer records:  %5.2fx            target <= %.1fx   %s\n",
                    static_cast<long long>(kLong / kShort), growth, kTargetGrowth,
                    ok ? "met" : "MISSED");
      }
    }
    const auto without = trace_ns_.find("BM_TraceHeartbeatWithoutFreqMin");
    const auto with = trace_ns_.find("BM_TraceHeartbeatWithFreqMin");
    if (without != trace_ns_.end() && with != trace_ns_.end()) {
      const double cost = with->second / without->second;
      const bool ok = cost <= kTargetWatchCost;
      met = met && ok;
      std::printf("Trace into a heartbeat: %.1f ns with freq_min, %.1f ns without: %.2fx   "
                  "target <= %.1fx   %s\n",
                  with->second, without->second, cost, kTargetWatchCost, ok ? "met" : "MISSED");
    }
    return met;
  }

 private:
  struct Figures {
    double ns_per_point = 0.0;
    double allocations = 0.0;
  };
  std::map<std::string, std::map<std::string, Figures>> figures_;
  std::map<std::string, double> trace_ns_;
};

}  // namespace

int main(int argc, char** argv) {
  // The logger reads its level once, on first use: set it before anything logs.
  setenv("SPDLOG_LEVEL", "warning", 0);
  valtrix::Logger::Instance();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  TargetReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return reporter.Summarise() ? 0 : 1;
}
