// Cost of FlowTrace::PublishDiagnostics for 100 flows (ordered, 7 points each, halfway through
// their runs, some with findings). It builds its array afresh on every call; that stays so while
// it costs at most 1 ms (it runs about once a second). Reported beside it, with no limit of its
// own: publishing an already built array of the same content on a publisher of the same topic,
// and CollectDiagnostics alone.
// Run DDS inside a private network namespace:
//   ROS_LOCALHOST_ONLY=1 unshare -n sh -c 'ip link set lo up; build-bench/bench/bench_flow_health'

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <rclcpp/rclcpp.hpp>

#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace {

using valtrix::trace::FlowTrace;
using valtrix::trace::TraceFlowCfg;
using valtrix::trace::TracePointCfg;

constexpr int kFlows = 100;
constexpr int kPointsPerFlow = 7;
constexpr double kLimitUs = 1000.0;

std::shared_ptr<rclcpp::Node>& BenchNode() {
  static std::shared_ptr<rclcpp::Node> node;
  return node;
}

// Gives the registry a node (from an empty configuration) and registers the flows in code.
void SetUpFlows() {
  static bool done = false;
  if (done) {
    return;
  }
  done = true;
  if (!rclcpp::ok()) {
    rclcpp::init(0, nullptr);
  }
  char path[] = "/tmp/valtrix_bench_flow_health_XXXXXX";
  close(mkstemp(path));
  std::ofstream(path) << "workflows: []\n";
  FlowTrace& trace = FlowTrace::GetInstance();
  BenchNode() = std::make_shared<rclcpp::Node>("bench_flow_health");
  trace.Init(path, BenchNode());
  std::remove(path);

  for (int f = 0; f < kFlows; ++f) {
    auto flow = std::make_shared<TraceFlowCfg>(fmt::format("flow_{:03d}", f),
                                               fmt::format("Flow number {}", f));
    for (int k = 0; k < kPointsPerFlow; ++k) {
      auto point = std::make_shared<TracePointCfg>(fmt::format("point_number_{}", k));
      point->is_critical = true;
      flow->flow_points.push_back(point);
    }
    trace.RegisterTraceFlow(flow);
    for (int k = 0; k < kPointsPerFlow / 2; ++k) {
      // Every tenth flow skips a point: an error with its first finding.
      const int id = f % 10 == 0 && k == 1 ? k + 1 : k;
      trace.Trace(flow->flow_id, flow->flow_points[id]->point_id, true);
    }
  }
  trace.PublishDiagnostics();  // makes the publisher
}

void BM_PublishBuiltArray(benchmark::State& state) {
  SetUpFlows();
  const auto array = FlowTrace::GetInstance().CollectDiagnostics();
  const auto publisher = BenchNode()->create_publisher<diagnostic_msgs::msg::DiagnosticArray>(
      "/diagnostics", rclcpp::QoS(1).reliable().durability_volatile());
  for (auto _ : state) {
    publisher->publish(array);
  }
}

void BM_PublishDiagnostics(benchmark::State& state) {
  SetUpFlows();
  FlowTrace& trace = FlowTrace::GetInstance();
  for (auto _ : state) {
    trace.PublishDiagnostics();
  }
}

void BM_CollectDiagnostics(benchmark::State& state) {
  SetUpFlows();
  FlowTrace& trace = FlowTrace::GetInstance();
  for (auto _ : state) {
    benchmark::DoNotOptimize(trace.CollectDiagnostics());
  }
}

BENCHMARK(BM_PublishBuiltArray)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PublishDiagnostics)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CollectDiagnostics)->Unit(benchmark::kMicrosecond);

// Keeps the median of each benchmark's repetitions.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians_[run.run_name.function_name] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Median(const std::string& name) const {
    auto it = medians_.find(name);
    return it == medians_.end() ? 0.0 : it->second;
  }

 private:
  std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  setenv("SPDLOG_LEVEL", "warning", 0);
  valtrix::Logger::Instance();

  std::vector<char*> args(argv, argv + argc);
  // Repetitions of the benchmarks take turns, so that a busy spell of the machine weighs on all
  // of them alike.
  std::string repetitions = "--benchmark_repetitions=10";
  std::string interleaving = "--benchmark_enable_random_interleaving=true";
  std::string aggregates = "--benchmark_report_aggregates_only=true";
  args.insert(args.begin() + 1, {repetitions.data(), interleaving.data(), aggregates.data()});
  int arg_count = static_cast<int>(args.size());
  benchmark::Initialize(&arg_count, args.data());

  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const double built = reporter.Median("BM_PublishBuiltArray");
  const double publish = reporter.Median("BM_PublishDiagnostics");
  bool met = true;
  if (built > 0 && publish > 0) {
    met = publish <= kLimitUs;
    std::cout << "\nFigures (CPU time, medians of 10 repetitions):\n"
              << std::left << std::setw(58) << "PublishDiagnostics, 100 flows" << std::right
              << std::fixed << std::setprecision(2) << std::setw(8) << publish
              << " us   limit <= " << kLimitUs << " us   " << (met ? "OK" : "MISSED") << "\n"
              << std::left << std::setw(58) << "  beside: publish of a built array" << std::right
              << std::setw(8) << built << " us (" << publish / built << "x)\n";
  }
  benchmark::Shutdown();
  return met ? 0 : 1;
}
