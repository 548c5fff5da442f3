// Figures of flow_monitor, each measured side by side with plain DDS in the same run:
//
// Throughput: three reporter processes send 50 000 points each as fast as they can (FlowReporter,
// a flow whose points publish nothing) to flow_monitor and, on the same topic, to a bare
// subscription that only counts them. Both must receive every point. Reported: points per second
// through the monitor, and the CPU time per point of the monitor process against that of the
// counting process (all threads, Cyclone's included, less what each uses idle). Target <= 1.5x.
//
// Latency: this process traces a point with FlowReporter, flow_monitor judges it and publishes its
// "Status OK" event, and this process receives the event. Compared with a plain relay process
// that answers each DiagnosticArray it receives with a DiagnosticEvent: the same two hops, the
// same message types. The two take turns, 2 000 rounds each after a warm-up. Target: median and
// p99 each <= 1.5x the relay's.
//
// A plain program, not Google Benchmark: it needs processes of its own. scripts/bench runs it;
// by hand, after building with -DVALTRIX_BUILD_BENCHMARKS=ON, from the source directory:
//   export ROS_LOCALHOST_ONLY=1
//   unshare -n sh -c 'ip link set lo up; exec build-bench/bench/bench_flow_monitor'

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/rclcpp.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

#include "support/child_process.hpp"
#include "support/temp_files.hpp"
#include "valtrix/trace/flow_reporter.hpp"

namespace {

using diagnostic_msgs::msg::DiagnosticArray;
using valtrix::test::Child;
using valtrix_protocol::msg::DiagnosticEvent;
using Clock = std::chrono::steady_clock;

constexpr int kReporters = 3;
constexpr int kPointsPerReporter = 50000;
constexpr int kLatencyRounds = 2000;
constexpr int kWarmUpRounds = 200;
constexpr double kTarget = 1.5;
constexpr auto kPatience = std::chrono::seconds(120);

std::string self_path;

// CPU time of every thread of a process so far.
std::chrono::nanoseconds ProcessCpu(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  int64_t total = 0;
  if (DIR* dir = opendir(tasks.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
      int64_t on_cpu = 0;
      if (entry->d_name[0] != '.' && stat >> on_cpu) {
        total += on_cpu;
      }
    }
    closedir(dir);
  }
  return std::chrono::nanoseconds(total);
}

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// --- the child processes ------------------------------------------------------------------

// Sends `count` points, starting at the system time `start_ns`, then stays until SIGINT so that
// every point is delivered.
int RunReporter(int count, int64_t start_ns) {
  auto node = std::make_shared<rclcpp::Node>("bench_reporter_" + std::to_string(getpid()));
  valtrix::trace::FlowReporter reporter(node);
  reporter.WaitForMonitor(kPatience);
  std::this_thread::sleep_until(std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::nanoseconds(start_ns))));
  for (int k = 0; k < count; ++k) {
    reporter.Trace("throughput", "tick", true);
  }
  rclcpp::spin(node);
  return 0;
}

// Counts the points of the trace topic and prints the count every 10 ms.
int RunCounter() {
  auto node = std::make_shared<rclcpp::Node>("bench_counter");
  uint64_t count = 0;
  auto subscription = node->create_subscription<DiagnosticArray>(
      "flow_trace", valtrix::trace::TraceTopicQos(),
      [&count](std::unique_ptr<DiagnosticArray>) { ++count; });
  auto report = node->create_wall_timer(std::chrono::milliseconds(10), [&count] {
    std::printf("count %llu\n", static_cast<unsigned long long>(count));
    std::fflush(stdout);
  });
  rclcpp::spin(node);
  return 0;
}

// Answers each point on relay_in with the event flow_monitor would publish for it.
int RunRelay() {
  auto node = std::make_shared<rclcpp::Node>("bench_relay");
  auto events = node->create_publisher<DiagnosticEvent>("relay_out", rclcpp::QoS(1));
  auto subscription = node->create_subscription<DiagnosticArray>(
      "relay_in", valtrix::trace::TraceTopicQos(),
      [&events, &node](std::unique_ptr<DiagnosticArray> array) {
        DiagnosticEvent event;
        event.stamp = node->now();
        event.source_id = array->status.at(0).name;
        event.event_code = 1;
        event.detail = "Status OK: " + array->status.at(0).message;
        events->publish(event);
      });
  rclcpp::spin(node);
  return 0;
}

// --- the measurements ----------------------------------------------------------------------

std::vector<std::string> MonitorCommand(const std::string& config) {
  return {FLOW_MONITOR_PATH, "--ros-args", "-p", "config_file:=" + config, "-p",
          "diagnostics_period_ms:=100"};
}

// What the monitor says on /diagnostics about its reception.
class MonitorWatch {
 public:
  explicit MonitorWatch(const std::shared_ptr<rclcpp::Node>& node)
      : node_(node),
        subscription_(node->create_subscription<DiagnosticArray>(
            "/diagnostics", rclcpp::QoS(10), [this](const DiagnosticArray& array) {
              for (const auto& status : array.status) {
                for (const auto& value : status.values) {
                  if (status.name == "flow_monitor: reception" && value.key == "received") {
                    received_ = std::stoull(value.value);
                  }
                }
              }
              heard_ = true;
            })) {}

  void Spin() { rclcpp::spin_some(node_); }
  bool heard() const { return heard_; }
  uint64_t received() const { return received_; }

 private:
  std::shared_ptr<rclcpp::Node> node_;
  rclcpp::Subscription<DiagnosticArray>::SharedPtr subscription_;
  bool heard_ = false;
  uint64_t received_ = 0;
};

// The counter's newest complete line "count N".
uint64_t LastCount(const Child& counter) {
  const std::string out = counter.Output();
  const auto end = out.rfind('\n');
  const auto begin = end == std::string::npos ? end : out.rfind("count ", end);
  return begin == std::string::npos ? 0 : std::stoull(out.substr(begin + 6, end - begin - 6));
}

bool Throughput(const std::shared_ptr<rclcpp::Node>& node) {
  valtrix::test::TempFiles files;
  const std::string config =
      files.Write("workflows:\n  - {flow_id: throughput, flow_points: [{point_id: tick}]}\n");
  constexpr uint64_t kTotal = uint64_t{kReporters} * kPointsPerReporter;
  Child monitor(MonitorCommand(config));
  Child counter({self_path, "counter"});
  MonitorWatch watch(node);
  if (!valtrix::test::WaitUntil(
          [&] {
            watch.Spin();
            return watch.heard() && counter.Output().rfind("count 0") != std::string::npos;
          },
          kPatience)) {
    std::cout << "throughput: the monitor or the counter did not start\n";
    return false;
  }
  // What each uses while idle (timers, the middleware's own threads), left out of the figures.
  const auto idle_from = Clock::now();
  const auto monitor_idle_from = ProcessCpu(monitor.pid());
  const auto counter_idle_from = ProcessCpu(counter.pid());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double idle_seconds = std::chrono::duration<double>(Clock::now() - idle_from).count();
  const double monitor_idle =
      (ProcessCpu(monitor.pid()) - monitor_idle_from).count() / idle_seconds;
  const double counter_idle =
      (ProcessCpu(counter.pid()) - counter_idle_from).count() / idle_seconds;

  const auto start = std::chrono::system_clock::now() + std::chrono::seconds(2);
  const int64_t start_ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count();
  std::vector<std::unique_ptr<Child>> reporters;
  for (int r = 0; r < kReporters; ++r) {
    reporters.push_back(std::make_unique<Child>(std::vector<std::string>{
        self_path, "reporter", std::to_string(kPointsPerReporter), std::to_string(start_ns)}));
  }
  std::this_thread::sleep_until(start);
  const auto begin = Clock::now();
  const auto monitor_from = ProcessCpu(monitor.pid());
  const auto counter_from = ProcessCpu(counter.pid());
  Clock::time_point monitor_done{};
  const bool all = valtrix::test::WaitUntil(
      [&] {
        watch.Spin();
        if (monitor_done == Clock::time_point{} && watch.received() >= kTotal) {
          monitor_done = Clock::now();
        }
        return watch.received() >= kTotal && LastCount(counter) >= kTotal;
      },
      kPatience);
  const double window = std::chrono::duration<double>(Clock::now() - begin).count();
  const double monitor_cpu =
      (ProcessCpu(monitor.pid()) - monitor_from).count() - monitor_idle * window;
  const double counter_cpu =
      (ProcessCpu(counter.pid()) - counter_from).count() - counter_idle * window;
  if (!all || watch.received() != kTotal || LastCount(counter) != kTotal) {
    std::cout << "throughput: points lost: the monitor received " << watch.received()
              << ", the counter " << LastCount(counter) << " of " << kTotal << "\n";
    return false;
  }
  // Ended cleanly, they leave the DDS graph at once. Killed, they would stay matched until their
  // lease runs out, and the next measurement's keep-all writer would wait for them.
  for (auto& reporter : reporters) {
    reporter->Signal(SIGINT);
    reporter->WaitForExit(kPatience);
  }
  monitor.Signal(SIGINT);
  monitor.WaitForExit(kPatience);
  counter.Signal(SIGINT);
  counter.WaitForExit(kPatience);
  const double seconds = std::chrono::duration<double>(monitor_done - begin).count();
  const double ratio = monitor_cpu / counter_cpu;
  std::cout << std::fixed << std::setprecision(2) << "throughput: " << kTotal << " points from "
            << kReporters << " reporter processes, none lost, through the monitor in " << seconds
            << " s (to within its 0.1 s diagnostics period): " << std::setprecision(0)
            << kTotal / seconds << " points/s\n"
            << std::setprecision(2) << "  CPU per point: monitor " << monitor_cpu / kTotal / 1000
            << " us, bare counting subscription " << counter_cpu / kTotal / 1000
            << " us: ratio " << ratio << "x   target <= " << kTarget << "x   "
            << (ratio <= kTarget ? "met" : "missed") << "\n";
  return ratio <= kTarget;
}

struct Percentiles {
  double median;
  double p99;
};

Percentiles Of(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

bool Latency(const std::shared_ptr<rclcpp::Node>& node) {
  valtrix::test::TempFiles files;
  const std::string config = files.Write(
      "workflows:\n  - {flow_id: latency, diag_topic: latency_events, flow_points:\n"
      "      [{point_id: ping, event_id: 1, on_success: true}]}\n");
  Child monitor(MonitorCommand(config));
  Child relay({self_path, "relay"});
  valtrix::trace::FlowReporter to_monitor(node);
  valtrix::trace::FlowReporter to_relay(node, "relay_in");
  int answers = 0;
  auto from_monitor = node->create_subscription<DiagnosticEvent>(
      "latency_events", rclcpp::QoS(10), [&answers](const DiagnosticEvent&) { ++answers; });
  auto from_relay = node->create_subscription<DiagnosticEvent>(
      "relay_out", rclcpp::QoS(10), [&answers](const DiagnosticEvent&) { ++answers; });
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node);
  if (!to_monitor.WaitForMonitor(kPatience) || !to_relay.WaitForMonitor(kPatience) ||
      !valtrix::test::WaitUntil(
          [&] {
            return from_monitor->get_publisher_count() > 0 && from_relay->get_publisher_count() > 0;
          },
          kPatience)) {
    std::cout << "latency: the monitor or the relay did not start\n";
    return false;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  // One round trip: trace, then wait for the answer.
  const auto round_trip = [&](valtrix::trace::FlowReporter& reporter) -> double {
    const int before = answers;
    const auto sent = Clock::now();
    reporter.Trace("latency", "ping", true);
    const auto deadline = sent + std::chrono::seconds(5);
    while (answers == before && Clock::now() < deadline) {
      executor.spin_once(std::chrono::milliseconds(100));
    }
    return answers == before ? -1.0 : Micros(Clock::now() - sent);
  };
  std::vector<double> through_monitor;
  std::vector<double> through_relay;
  for (int round = 0; round < kWarmUpRounds + kLatencyRounds; ++round) {
    const double monitor_us = round_trip(to_monitor);
    const double relay_us = round_trip(to_relay);
    if (monitor_us < 0 || relay_us < 0) {
      std::cout << "latency: in round " << round << " no answer came from the "
                << (monitor_us < 0 ? "monitor" : "relay") << "\n";
      return false;
    }
    if (round >= kWarmUpRounds) {
      through_monitor.push_back(monitor_us);
      through_relay.push_back(relay_us);
    }
  }
  const Percentiles monitor_us = Of(through_monitor);
  const Percentiles relay_us = Of(through_relay);
  const double median_ratio = monitor_us.median / relay_us.median;
  const double p99_ratio = monitor_us.p99 / relay_us.p99;
  const bool met = median_ratio <= kTarget && p99_ratio <= kTarget;
  std::cout << std::fixed << std::setprecision(0)
            << "latency: Trace -> the monitor's \"Status OK\" event in this process, "
            << kLatencyRounds << " rounds: median " << monitor_us.median << " us, p99 "
            << monitor_us.p99 << " us\n"
            << "  plain DDS relay over the same two hops: median " << relay_us.median
            << " us, p99 " << relay_us.p99 << " us\n"
            << std::setprecision(2) << "  ratio median " << median_ratio << "x, p99 " << p99_ratio
            << "x   target <= " << kTarget << "x   " << (met ? "met" : "missed") << "\n";
  return met;
}

}  // namespace

int main(int argc, char** argv) {
  char path[4096] = {};
  self_path = readlink("/proc/self/exe", path, sizeof(path) - 1) > 0 ? path : argv[0];
  // Options meant for the Google Benchmark programs (scripts/bench passes them to all) are
  // ignored.
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]).rfind("--benchmark", 0) != 0) {
      args.emplace_back(argv[i]);
    }
  }
  rclcpp::init(0, nullptr);
  int status = 0;
  if (!args.empty() && args[0] == "reporter" && args.size() == 3) {
    status = RunReporter(std::stoi(args[1]), std::stoll(args[2]));
  } else if (!args.empty() && args[0] == "counter") {
    status = RunCounter();
  } else if (!args.empty() && args[0] == "relay") {
    status = RunRelay();
  } else {
    auto node = std::make_shared<rclcpp::Node>("bench_flow_monitor");
    const bool throughput = Throughput(node);
    const bool latency = Latency(node);
    status = throughput && latency ? 0 : 1;
  }
  if (rclcpp::ok()) {
    rclcpp::shutdown();
  }
  return status;
}
