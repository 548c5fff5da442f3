// What statistics and a bounded record cost, measured side by side in one run:
//  - Trace (ordered flow, in-order step timed, nothing published or logged) with statistics at
//    most 1.1x Trace without them: the median of 15 alternating rounds of 100 000 traces each,
//    thread CPU time, resets between chunks of 1 000 not timed;
//  - CheckFlow on a heartbeat flow bounded by max_record 1 000, after 5 000 000 beats, at most
//    1.1x CheckFlow on the same flow holding 1 000 beats (the lock is held for the whole check,
//    its log lines included, which go to /dev/null at INFO level as in a deployed process).
// The figures are printed beside their bars; the program exits 1 when one is missed.
//   build/bench/bench_flow_statistics

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "diagnostic_trace/bookkeeping.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace {

using valtrix::trace::FlowTrace;
using valtrix::trace::TraceFlowCfg;
using valtrix::trace::TracePointCfg;

constexpr double kTraceBar = 1.1;
constexpr double kCheckBar = 1.1;
constexpr int kRounds = 15;
constexpr int kChunks = 100;
constexpr int kChunk = 1000;
constexpr int kFlows = 32;
constexpr uint32_t kMaxRecord = 1000;
constexpr int64_t kBeats = 5'000'000;
constexpr int kChecks = 200;
const std::string kPointId = "target_reached";

int64_t ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool& StatisticsSwitch() {
  return std::get<5>(FlowTrace::Bookkeeping::MembersOf(FlowTrace::GetInstance())).statistics;
}

// As bench_trace's: one point needing endless repetitions, with a time limit, so that every
// trace takes the in-order path and times its step.
std::shared_ptr<TraceFlowCfg> BusyFlow(const std::string& flow_id) {
  auto flow = std::make_shared<TraceFlowCfg>(flow_id);
  auto point = std::make_shared<TracePointCfg>(kPointId);
  point->is_critical = true;
  point->event_id = 1;
  point->repeat_cnt = std::numeric_limits<uint32_t>::max();
  point->timeout_ms = 1000000;
  flow->flow_points.push_back(point);
  return flow;
}

// CPU nanoseconds per Trace over one round.
double TraceRound(const std::string& flow_id, bool statistics) {
  FlowTrace& registry = FlowTrace::GetInstance();
  StatisticsSwitch() = statistics;
  int64_t spent = 0;
  for (int chunk = 0; chunk < kChunks; ++chunk) {
    registry.ResetFlow(flow_id);
    const int64_t start = ThreadCpuNs();
    for (int k = 0; k < kChunk; ++k) {
      registry.Trace(flow_id, kPointId, true);
    }
    spent += ThreadCpuNs() - start;
  }
  StatisticsSwitch() = true;
  return static_cast<double>(spent) / (kChunks * kChunk);
}

std::shared_ptr<TraceFlowCfg> Heartbeat(const std::string& flow_id) {
  auto flow = std::make_shared<TraceFlowCfg>(flow_id);
  flow->check_order = false;
  flow->max_record = kMaxRecord;
  auto point = std::make_shared<TracePointCfg>("beat");
  point->is_critical = true;
  flow->flow_points.push_back(point);
  return flow;
}

// Median CPU nanoseconds of one CheckFlow.
double CheckNs(const std::string& flow_id) {
  FlowTrace& registry = FlowTrace::GetInstance();
  std::vector<double> times;
  for (int k = 0; k < kChecks; ++k) {
    const int64_t start = ThreadCpuNs();
    registry.CheckFlow(flow_id);
    times.push_back(static_cast<double>(ThreadCpuNs() - start));
  }
  return Median(times);
}

void SetLogLevel(spdlog::level::level_enum level) {
  valtrix::Logger& logger = valtrix::Logger::Instance();
  logger.level = level;
  if (logger.logger) {
    logger.logger->set_level(level);
  }
}

bool Print(FILE* out, const char* what, double value, const char* unit, double bar) {
  const bool met = value <= bar;
  std::fprintf(out, "%-62s %9.2f%s   bar <= %.2f%s   %s\n", what, value, unit, bar, unit,
              met ? "met" : "missed");
  return met;
}

}  // namespace

int main() {
  // Log lines go to /dev/null; the figures to what standard output was.
  std::fflush(stdout);
  const int results_fd = dup(STDOUT_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, STDOUT_FILENO);
  close(null_fd);
  FILE* results = fdopen(results_fd, "w");
  setenv("SPDLOG_LEVEL", "warning", 0);
  valtrix::Logger::Instance();

  FlowTrace& registry = FlowTrace::GetInstance();
  for (int f = 0; f < kFlows; ++f) {
    registry.RegisterTraceFlow(BusyFlow("bench_flow_" + std::to_string(f)));
  }
  const std::string flow_id = "bench_flow_" + std::to_string(kFlows / 2);
  std::vector<double> with;
  std::vector<double> without;
  for (int round = 0; round < kRounds; ++round) {
    // Alternate which goes first, so that neither always follows the other.
    if (round % 2 == 0) {
      without.push_back(TraceRound(flow_id, false));
      with.push_back(TraceRound(flow_id, true));
    } else {
      with.push_back(TraceRound(flow_id, true));
      without.push_back(TraceRound(flow_id, false));
    }
  }
  const double with_ns = Median(with);
  const double without_ns = Median(without);

  registry.RegisterTraceFlow(Heartbeat("heartbeat_long"));
  registry.RegisterTraceFlow(Heartbeat("heartbeat_short"));
  for (int64_t k = 0; k < kBeats; ++k) {
    registry.Trace("heartbeat_long", "beat", true);
  }
  for (uint32_t k = 0; k < kMaxRecord; ++k) {
    registry.Trace("heartbeat_short", "beat", true);
  }
  // The log as deployed: INFO lines written (to /dev/null).
  SetLogLevel(spdlog::level::info);
  const double long_ns = CheckNs("heartbeat_long");
  const double short_ns = CheckNs("heartbeat_short");
  const double long_again_ns = CheckNs("heartbeat_long");
  const double bounded_ns = std::min(long_ns, long_again_ns);

  std::fprintf(results, "Trace, ordered, in order, nothing published or logged: without "
                        "statistics %.1f ns, with %.1f ns (medians of %d rounds)\n",
               without_ns, with_ns, kRounds);
  bool met = Print(results, "Trace with statistics / without", with_ns / without_ns, "x",
                   kTraceBar);
  std::fprintf(results,
               "CheckFlow, heartbeat bounded by max_record %u: after %lld beats %.1f us, "
               "with %u beats %.1f us\n",
               kMaxRecord, static_cast<long long>(kBeats), bounded_ns / 1000.0, kMaxRecord,
               short_ns / 1000.0);
  met = Print(results, "CheckFlow after 5 000 000 beats / after max_record beats",
              bounded_ns / short_ns, "x", kCheckBar) &&
        met;
  std::fclose(results);
  return met ? 0 : 1;
}
