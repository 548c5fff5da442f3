#pragma once

// FlowMonitor: judges flows whose steps other processes report over ROS 2 (FlowReporter, or any
// node publishing the same messages), with the process's FlowTrace.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/rclcpp.hpp>
#include <std_msgs/msg/string.hpp>

#include "valtrix/trace/trace_records.hpp"

namespace valtrix::monitor {

/// What made the monitor judge a flow.
enum class Trigger { kLastPoint, kRequest };

/// Builds the monitor on a node, as diagnostic_updater's Updater is built: it declares the
/// node's parameters, loads the flows into `FlowTrace` with that node, and owns the
/// subscriptions, publishers and timers that do the work while the node spins.
///
/// Parameters: `config_file` (the flows, required), `trace_topic` ("flow_trace"),
/// `timeout_check_period_ms` (100), `diagnostics_period_ms` (1000), `check_on_last_point`
/// (true), `run_log` ("": as VALTRIX_RUN_LOG says), `run_log_max_bytes` (64 MiB),
/// `run_log_files` (4). Topics, relative to the node's namespace unless said otherwise: the trace topic
/// (points in), "check_flow" (std_msgs/msg/String, a flow id: judge and reset that flow now),
/// "flow_verdict" (diagnostic_msgs/msg/DiagnosticArray, one status per verdict) and
/// "/diagnostics". `FlowTrace` is one per process, and so is the monitor.
///
/// Its callbacks run on the thread spinning the node, one at a time (the node's default callback
/// group), and never let an exception out: a bad message or a failed publication is logged and
/// the monitor goes on.
class FlowMonitor {
 public:
  /// Throws std::invalid_argument for a parameter it cannot work with and std::runtime_error
  /// when the configuration file loads no flow; rclcpp's exceptions for parameters of the wrong
  /// type or names it refuses.
  explicit FlowMonitor(const std::shared_ptr<rclcpp::Node>& node);
  FlowMonitor(const FlowMonitor&) = delete;
  FlowMonitor& operator=(const FlowMonitor&) = delete;

 private:
  /// What the monitor keeps of one configured flow.
  struct WatchedFlow {
    /// An ordered flow is judged when its last point has come `last_point_needed` times.
    bool ordered = false;
    std::string last_point;
    uint32_t last_point_needed = 0;
    uint32_t last_point_seen = 0;
    /// Points received per reporter (`hardware_id`) since the monitor started.
    std::map<std::string, uint64_t> received;
    uint64_t runs_judged = 0;
    std::string last_verdict = "none";
  };

  void DeclareParameters();
  void LoadFlows();
  void OnTracePoints(diagnostic_msgs::msg::DiagnosticArray& array);
  void OnTracePoint(diagnostic_msgs::msg::DiagnosticStatus& status, int64_t stamp_ms,
                    int64_t now_ms);
  void OnCheckRequest(const std_msgs::msg::String& request);
  void Judge(const std::string& flow_id, WatchedFlow& flow, Trigger trigger);
  void PublishVerdict(const std::string& flow_id, const trace::FlowCheckResult& result,
                      Trigger trigger, uint64_t duration_ms);
  void CheckTimeouts();
  void WatchReporters();
  void WatchLag(int64_t lag_ms, const std::string& reporter);
  void PublishDiagnostics();
  /// Logs the first of a kind of dropped message, and counts all of them.
  void Drop(std::set<std::string>& warned, const std::string& key, uint64_t& count,
            const std::string& text);

  std::shared_ptr<rclcpp::Node> node_;
  std::string config_file_;
  std::string trace_topic_;
  std::chrono::milliseconds timeout_check_period_{0};
  std::chrono::milliseconds diagnostics_period_{0};
  bool check_on_last_point_ = true;
  std::string run_log_;
  std::size_t run_log_max_bytes_ = 0;
  std::size_t run_log_files_ = 0;

  std::unordered_map<std::string, WatchedFlow> flows_;
  uint64_t received_ = 0;
  uint64_t unknown_flow_ = 0;
  uint64_t malformed_ = 0;
  std::set<std::string> warned_unknown_flows_;
  std::set<std::string> warned_malformed_;
  size_t reporters_ = 0;
  bool lagging_ = false;

  rclcpp::Subscription<diagnostic_msgs::msg::DiagnosticArray>::SharedPtr points_;
  rclcpp::Subscription<std_msgs::msg::String>::SharedPtr check_requests_;
  rclcpp::Publisher<diagnostic_msgs::msg::DiagnosticArray>::SharedPtr verdicts_;
  rclcpp::Publisher<diagnostic_msgs::msg::DiagnosticArray>::SharedPtr diagnostics_;
  rclcpp::TimerBase::SharedPtr timeout_timer_;
  rclcpp::TimerBase::SharedPtr diagnostics_timer_;
};

}  // namespace valtrix::monitor
