// Cost of FlowTrace::Trace against its floors, measured side by side in one run:
//  - without publisher and with nothing logged: at most 2.0x the floor (make_shared of a
//    TracePoint + one lock + one hash look-up + a deque push_back), and with a 1 000 000-point
//    record within 1.2x of a 1 000-point one;
//  - with a DDS publisher and its "ROS2 topic pub" line: at most 1.5x a bare dds_write of the
//    same event plus one bare spdlog line;
//  - memory per recorded point (id of 15 characters): at most 128 bytes.
// Log lines go to /dev/null; the results go to the original standard output.
// Run DDS inside a private network namespace:
//   ROS_LOCALHOST_ONLY=1 unshare -n sh -c 'ip link set lo up; build-bench/bench/bench_trace'

#include <benchmark/benchmark.h>
#include <dds/dds.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ext/stdio_filebuf.h>
#include <iomanip>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include <rclcpp/rclcpp.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

// ---- allocation counting (calling thread only; DDS threads allocate on their own) ----------

namespace {
thread_local bool t_counting = false;
std::atomic<int64_t> g_live_bytes{0};

void* CountedAlloc(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  if (t_counting) {
    g_live_bytes += static_cast<int64_t>(malloc_usable_size(p));
  }
  return p;
}

void CountedFree(void* p) noexcept {
  if (p != nullptr && t_counting) {
    g_live_bytes -= static_cast<int64_t>(malloc_usable_size(p));
  }
  std::free(p);
}
}  // namespace

void* operator new(std::size_t size) { return CountedAlloc(size); }
void* operator new[](std::size_t size) { return CountedAlloc(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAlloc(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAlloc(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { CountedFree(p); }

namespace {

using valtrix::Logger;
using valtrix::trace::FlowTrace;
using valtrix::trace::PointQueue;
using valtrix::trace::TraceFlowCfg;
using valtrix::trace::TracePoint;
using valtrix::trace::TracePointCfg;
using Event = valtrix_protocol::msg::DiagnosticEvent;

// Enough flows that look-ups hash instead of scanning a short list.
constexpr int kFlows = 32;
constexpr int64_t kSmallRecord = 1000;
constexpr int64_t kLargeRecord = 1000000;
constexpr int64_t kTimedIterations = 300000;
const std::string kPointId = "target_reached";  // fits the short-string buffer
const std::string kDdsTopic = "/valtrix/bench_trace";

std::string FlowId(int f) { return "bench_flow_" + std::to_string(f); }

void SetLogLevel(spdlog::level::level_enum level) {
  Logger& logger = Logger::Instance();
  logger.level = level;
  if (logger.logger) {
    logger.logger->set_level(level);
  }
}

// An ordered flow whose only point needs endless repetitions and has a time limit: every trace
// takes the in-order path with step timing, its "duration" line dropped by the log level.
std::shared_ptr<TraceFlowCfg> BusyFlow(const std::string& flow_id) {
  auto flow = std::make_shared<TraceFlowCfg>(flow_id);
  auto point = std::make_shared<TracePointCfg>(kPointId);
  point->is_critical = true;
  point->on_success = true;
  point->on_timeout = true;
  point->event_id = 1;
  point->repeat_cnt = std::numeric_limits<uint32_t>::max();
  point->timeout_ms = 1000000;
  flow->event_id = 100;
  flow->flow_points.push_back(point);
  return flow;
}

void RegisterBusyFlows() {
  FlowTrace& registry = FlowTrace::GetInstance();
  for (int f = 0; f < kFlows; ++f) {
    registry.RegisterTraceFlow(BusyFlow(FlowId(f)));
  }
}

// Brings a flow's record to `length` points outside the timed region.
void Refill(const std::string& flow_id, int64_t length) {
  FlowTrace& registry = FlowTrace::GetInstance();
  registry.ResetFlow(flow_id);
  for (int64_t k = 0; k < length; ++k) {
    registry.Trace(flow_id, kPointId, true);
  }
}

// ---- floor: what any recording must do ------------------------------------------------------

struct FloorRegistry {
  std::unordered_map<std::string, PointQueue> queues;
  std::mutex mutex;
};

void BM_Floor(benchmark::State& state) {
  FloorRegistry floor;
  for (int f = 0; f < kFlows; ++f) {
    floor.queues[FlowId(f)];
  }
  const std::string flow_id = FlowId(kFlows / 2);
  const int64_t length = state.range(0);
  auto refill = [&] {
    floor.queues[flow_id].clear();
    for (int64_t k = 0; k < length; ++k) {
      floor.queues[flow_id].push_back(std::make_shared<TracePoint>(kPointId, true));
    }
  };
  refill();
  int64_t since_refill = 0;
  for (auto _ : state) {
    auto point = std::make_shared<TracePoint>(kPointId, true);
    {
      std::lock_guard<std::mutex> lock(floor.mutex);
      auto queue = floor.queues.find(flow_id);
      point->index = static_cast<uint32_t>(queue->second.size());
      queue->second.push_back(std::move(point));
    }
    if (++since_refill == kSmallRecord && length == kSmallRecord) {
      state.PauseTiming();
      refill();
      since_refill = 0;
      state.ResumeTiming();
    }
  }
}

// ---- Trace without publisher, nothing logged ------------------------------------------------

void BM_TraceNoPublisher(benchmark::State& state) {
  SetLogLevel(spdlog::level::warn);
  RegisterBusyFlows();
  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow_id = FlowId(kFlows / 2);
  const int64_t length = state.range(0);
  if (length > kSmallRecord) {
    // Leave the heap as a long-running process has it: freed points are reused, not faulted in.
    Refill(flow_id, length + kTimedIterations);
  }
  Refill(flow_id, length);
  int64_t since_refill = 0;
  for (auto _ : state) {
    registry.Trace(flow_id, kPointId, true);
    if (++since_refill == kSmallRecord && length == kSmallRecord) {
      state.PauseTiming();
      Refill(flow_id, length);
      since_refill = 0;
      state.ResumeTiming();
    }
  }
  registry.ResetAllFlows();
}

// ---- with a DDS publisher -------------------------------------------------------------------

struct Dds {
  std::shared_ptr<rclcpp::Node> node;
  rclcpp::Publisher<Event>::SharedPtr publisher;
  dds_entity_t participant = 0;
  dds_entity_t writer = 0;
  std::vector<unsigned char> sample;
  Event event;

  static Dds& Get() {
    static Dds dds;
    return dds;
  }

 private:
  Dds() {
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
    node = std::make_shared<rclcpp::Node>("bench_trace");
    publisher = node->create_publisher<Event>(kDdsTopic, rclcpp::QoS(1));

    // The bare writer: same type, same QoS (reliable, keep-last 1, volatile), in the domain the
    // stand-in created (loopback only), with its instance registered once.
    const auto& type = ros2_standin::get_message_type_support<Event>();
    participant = dds_create_participant(DDS_DOMAIN_DEFAULT, nullptr, nullptr);
    const dds_entity_t topic = dds_create_topic(
        participant, static_cast<const dds_topic_descriptor_t*>(type.dds_descriptor),
        "bench_trace_bare", nullptr, nullptr);
    dds_qos_t* qos = dds_create_qos();
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 1);
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    writer = dds_create_writer(participant, topic, qos, nullptr);
    dds_delete_qos(qos);
    if (participant < 0 || topic < 0 || writer < 0) {
      std::cerr << "cannot create the bare DDS writer\n";
      std::exit(1);
    }
    event.stamp = rclcpp::Clock(RCL_SYSTEM_TIME).now();
    event.source_id = "bench_dds";
    event.event_code = 1;
    event.outcome = 0;
    event.detail = "Status OK: " + kPointId;
    sample.resize(type.sample_size);
    type.to_sample(&event, sample.data(), nullptr);  // a DiagnosticEvent needs no scratch
    dds_instance_handle_t handle = 0;
    dds_register_instance(writer, &handle, sample.data());
  }
};

std::shared_ptr<TraceFlowCfg> PublishingFlow() {
  auto flow = std::make_shared<TraceFlowCfg>("bench_dds");
  flow->check_order = false;
  auto point = std::make_shared<TracePointCfg>(kPointId);
  point->on_success = true;
  point->event_id = 1;
  flow->flow_points.push_back(point);
  flow->publisher = Dds::Get().publisher;
  return flow;
}

void BM_BareDdsWriteAndLogLine(benchmark::State& state) {
  SetLogLevel(spdlog::level::info);
  Dds& dds = Dds::Get();
  auto logger = Logger::Instance().logger;
  const std::string line = " 42 [INFO] ROS2 topic pub: '" + dds.event.detail + "'";
  const spdlog::source_loc location{__FILE__, __LINE__, "checkFlow"};
  for (auto _ : state) {
    dds_write(dds.writer, dds.sample.data());
    logger->log(location, spdlog::level::info, spdlog::string_view_t(line.data(), line.size()));
  }
}

void BM_TraceWithDdsPublisher(benchmark::State& state) {
  SetLogLevel(spdlog::level::info);
  FlowTrace& registry = FlowTrace::GetInstance();
  registry.RegisterTraceFlow(PublishingFlow());
  const std::string flow_id = "bench_dds";
  int64_t since_reset = 0;
  for (auto _ : state) {
    registry.Trace(flow_id, kPointId, true);
    if (++since_reset == kSmallRecord) {
      state.PauseTiming();
      registry.ResetFlow(flow_id);
      since_reset = 0;
      state.ResumeTiming();
    }
  }
  registry.RemoveTraceFlow(flow_id);
}

BENCHMARK(BM_Floor)->Arg(kSmallRecord)->Iterations(kTimedIterations);
BENCHMARK(BM_TraceNoPublisher)->Arg(kSmallRecord)->Iterations(kTimedIterations);
BENCHMARK(BM_TraceNoPublisher)->Arg(kLargeRecord)->Iterations(kTimedIterations);
BENCHMARK(BM_BareDdsWriteAndLogLine)->Iterations(100000);
BENCHMARK(BM_TraceWithDdsPublisher)->Iterations(100000);

// ---- memory per recorded point ---------------------------------------------------------------

double BytesPerPoint() {
  SetLogLevel(spdlog::level::warn);
  FlowTrace& registry = FlowTrace::GetInstance();
  const std::string flow_id = "bench_memory";
  const std::string point_id = "gripper_opened1";  // 15 characters
  registry.RegisterTraceFlow(BusyFlow(flow_id));
  constexpr int64_t kPoints = 200000;
  t_counting = true;
  const int64_t before = g_live_bytes;
  for (int64_t k = 0; k < kPoints; ++k) {
    registry.Trace(flow_id, point_id, true);
  }
  const int64_t after = g_live_bytes;
  t_counting = false;
  registry.RemoveTraceFlow(flow_id);
  return static_cast<double>(after - before) / kPoints;
}

// Keeps the median of each benchmark's repetitions.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians_[run.run_name.str()] = run.GetAdjustedCPUTime();
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

void PrintFigure(std::ostream& out, const std::string& what, double value, const char* unit,
                 double target, bool ok) {
  out << std::left << std::setw(58) << what << std::right << std::fixed << std::setprecision(2)
      << std::setw(8) << value << unit << "   target <= " << target << unit << "   "
      << (ok ? "OK" : "MISSED") << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  // Log lines go to /dev/null; results to what standard output was.
  std::fflush(stdout);
  const int results_fd = dup(STDOUT_FILENO);
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, STDOUT_FILENO);
  close(null_fd);
  __gnu_cxx::stdio_filebuf<char> results_buffer(results_fd, std::ios::out);
  std::ostream results(&results_buffer);

  // Freed points stay in the heap for reuse, as in a process that has been running a while.
  mallopt(M_TRIM_THRESHOLD, 1 << 30);

  setenv("SPDLOG_LEVEL", "warning", 0);
  Logger::Instance();

  std::vector<char*> args(argv, argv + argc);
  std::string repetitions = "--benchmark_repetitions=5";
  std::string aggregates = "--benchmark_report_aggregates_only=true";
  args.push_back(repetitions.data());
  args.push_back(aggregates.data());
  int arg_count = static_cast<int>(args.size());
  benchmark::Initialize(&arg_count, args.data());

  const double bytes_per_point = BytesPerPoint();

  MedianReporter reporter;
  reporter.SetOutputStream(&results);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const double floor = reporter.Median("BM_Floor/1000/iterations:300000");
  const double small = reporter.Median("BM_TraceNoPublisher/1000/iterations:300000");
  const double large = reporter.Median("BM_TraceNoPublisher/1000000/iterations:300000");
  const double bare = reporter.Median("BM_BareDdsWriteAndLogLine/iterations:100000");
  const double dds = reporter.Median("BM_TraceWithDdsPublisher/iterations:100000");

  results << "\nFigures (CPU time, medians of 5 repetitions):\n";
  if (floor > 0 && small > 0) {
    PrintFigure(results, "Trace, no publisher, nothing logged / floor", small / floor, "x", 2.0,
                small / floor <= 2.0);
  }
  if (small > 0 && large > 0) {
    PrintFigure(results, "Trace into 1 000 000-point record / 1 000-point record",
                large / small, "x", 1.2, large / small <= 1.2);
  }
  if (bare > 0 && dds > 0) {
    PrintFigure(results, "Trace with DDS publisher / (bare dds_write + spdlog line)", dds / bare,
                "x", 1.5, dds / bare <= 1.5);
  }
  PrintFigure(results, "Heap per recorded point (15-char id)", bytes_per_point, " B", 128.0,
              bytes_per_point <= 128.0);
  results.flush();
  benchmark::Shutdown();
  return 0;
}
