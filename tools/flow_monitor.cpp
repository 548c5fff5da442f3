#include "flow_monitor.hpp"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_lint.hpp"
#include "valtrix/trace/flow_reporter.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::monitor {

namespace {

using diagnostic_msgs::msg::DiagnosticArray;
using diagnostic_msgs::msg::DiagnosticStatus;
using diagnostic_msgs::msg::KeyValue;
using trace::FlowCheckResult;
using trace::FlowCheckStatus;
using trace::FlowTrace;

constexpr char kCheckTopic[] = "check_flow";
constexpr char kVerdictTopic[] = "flow_verdict";
constexpr char kDiagnosticsTopic[] = "/diagnostics";
// Requests and verdicts are rare; a few dozen outstanding are plenty.
constexpr size_t kRequestDepth = 50;
// As FlowTrace::PublishDiagnostics: only the newest state of the flows matters.
constexpr size_t kDiagnosticsDepth = 1;
// Points stamped this long before they arrive mean the monitor (or the network) lags behind.
constexpr int64_t kLagWarningMs = 1000;
constexpr int64_t kNanosecondsPerMillisecond = 1000000;
constexpr int64_t kMillisecondsPerSecond = 1000;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

const char* VerdictName(FlowCheckStatus status) {
  switch (status) {
    case FlowCheckStatus::SUCCESS: return "SUCCESS";
    case FlowCheckStatus::FAILED: return "FAILED";
    case FlowCheckStatus::INVALID_POINT: return "INVALID_POINT";
    case FlowCheckStatus::DUPLICATED_POINT: return "DUPLICATED_POINT";
    case FlowCheckStatus::MISSING_POINT: return "MISSING_POINT";
    case FlowCheckStatus::INVALID_ORDER: return "INVALID_ORDER";
    case FlowCheckStatus::INVALID_FLOW: return "INVALID_FLOW";
  }
  return "UNKNOWN";
}

const char* TriggerName(Trigger trigger) {
  return trigger == Trigger::kLastPoint ? "last_point" : "request";
}

KeyValue Value(std::string key, std::string value) {
  KeyValue entry;
  entry.key = std::move(key);
  entry.value = std::move(value);
  return entry;
}

std::chrono::milliseconds PositivePeriod(const rclcpp::Node& node, const char* name) {
  const int64_t period = node.get_parameter(name).as_int();
  if (period <= 0) {
    throw std::invalid_argument(std::string("parameter '") + name +
                                "' must be a positive number of milliseconds, got " +
                                std::to_string(period));
  }
  return std::chrono::milliseconds(period);
}

std::size_t AtLeast(const rclcpp::Node& node, const char* name, int64_t least) {
  const int64_t value = node.get_parameter(name).as_int();
  if (value < least) {
    throw std::invalid_argument(std::string("parameter '") + name + "' must be at least " +
                                std::to_string(least) + ", got " + std::to_string(value));
  }
  return static_cast<std::size_t>(value);
}

rcl_interfaces::msg::ParameterDescriptor Described(const char* description) {
  rcl_interfaces::msg::ParameterDescriptor descriptor;
  descriptor.description = description;
  return descriptor;
}

}  // namespace

FlowMonitor::FlowMonitor(const std::shared_ptr<rclcpp::Node>& node) : node_(node) {
  DeclareParameters();
  LoadFlows();

  points_ = node_->create_subscription<DiagnosticArray>(
      trace_topic_, trace::TraceTopicQos(),
      [this](std::unique_ptr<DiagnosticArray> array) { OnTracePoints(*array); });
  check_requests_ = node_->create_subscription<std_msgs::msg::String>(
      kCheckTopic, rclcpp::QoS(kRequestDepth),
      [this](const std_msgs::msg::String& request) { OnCheckRequest(request); });
  verdicts_ = node_->create_publisher<DiagnosticArray>(kVerdictTopic, rclcpp::QoS(kRequestDepth));
  diagnostics_ = node_->create_publisher<DiagnosticArray>(
      kDiagnosticsTopic, rclcpp::QoS(kDiagnosticsDepth).reliable().durability_volatile());
  timeout_timer_ = node_->create_wall_timer(timeout_check_period_, [this] { CheckTimeouts(); });
  diagnostics_timer_ =
      node_->create_wall_timer(diagnostics_period_, [this] { PublishDiagnostics(); });

  LOG_INFO("Monitoring {} flow(s) of '{}' on '{}'; verdicts on request at '{}'", flows_.size(),
           config_file_, points_->get_topic_name(), check_requests_->get_topic_name());
}

void FlowMonitor::DeclareParameters() {
  config_file_ = node_->declare_parameter<std::string>(
      "config_file", "", Described("Flow configuration file (YAML) to judge the points by"));
  trace_topic_ = node_->declare_parameter<std::string>(
      "trace_topic", "flow_trace",
      Described("Topic the reporters publish their points on (diagnostic_msgs/DiagnosticArray)"));
  node_->declare_parameter<int64_t>(
      "timeout_check_period_ms", 100,
      Described("Milliseconds between two looks for overdue points (FlowTrace::CheckTimeouts)"));
  node_->declare_parameter<int64_t>(
      "diagnostics_period_ms", 1000,
      Described("Milliseconds between two publications of the flows' health on /diagnostics"));
  check_on_last_point_ = node_->declare_parameter<bool>(
      "check_on_last_point", true,
      Described("Judge an ordered flow (CheckFlow, then ResetFlow) once its last point is in"));
  run_log_ = node_->declare_parameter<std::string>(
      "run_log", "",
      Described("File of the run log, one JSON line per registration, reset, point and verdict; "
                "empty: as the environment (VALTRIX_RUN_LOG) says"));
  node_->declare_parameter<int64_t>(
      "run_log_max_bytes", static_cast<int64_t>(FlowTrace::kDefaultRunLogMaxBytes),
      Described("Size in bytes at which the run log is rotated"));
  node_->declare_parameter<int64_t>(
      "run_log_files", static_cast<int64_t>(FlowTrace::kDefaultRunLogFiles),
      Described("Rotated files of the run log kept beside it"));
  run_log_max_bytes_ = AtLeast(*node_, "run_log_max_bytes", 1);
  run_log_files_ = AtLeast(*node_, "run_log_files", 0);
  timeout_check_period_ = PositivePeriod(*node_, "timeout_check_period_ms");
  diagnostics_period_ = PositivePeriod(*node_, "diagnostics_period_ms");
  if (config_file_.empty()) {
    throw std::invalid_argument(
        "parameter 'config_file' is required: --ros-args -p config_file:=FILE");
  }
}

// The flows as Init registers them, read once more (without logging) for what the monitor needs
// of them and FlowTrace does not tell: the order and the last point of each.
void FlowMonitor::LoadFlows() {
  const auto configs = trace::ReadFlowConfigs(config_file_);
  if (configs.empty()) {
    throw std::runtime_error("no flow loaded from '" + config_file_ +
                             "'; flow_lint names what is wrong with it");
  }
  for (const auto& config : configs) {
    WatchedFlow& flow = flows_[config->flow_id];
    flow.ordered = config->check_order && !config->flow_points.empty();
    if (!flow.ordered) {
      continue;
    }
    // The last point is passed once it has come as often as every configured point of its id
    // requires: a repeated last point is judged when its repetitions are in.
    flow.last_point = config->flow_points.back()->point_id;
    for (const auto& point : config->flow_points) {
      if (point->point_id == flow.last_point) {
        flow.last_point_needed += std::max<uint32_t>(point->repeat_cnt, 1);
      }
    }
  }
  // Opened first, so that the log holds the registrations of the flows.
  if (!run_log_.empty()) {
    FlowTrace::GetInstance().OpenRunLog(run_log_, run_log_max_bytes_, run_log_files_);
  }
  FlowTrace::GetInstance().Init(config_file_, node_);
}

void FlowMonitor::OnTracePoints(DiagnosticArray& array) {
  try {
    const auto& stamp = array.header.stamp;
    const int64_t now_ms = NowMs();
    // A stamp left empty (a message typed in by hand) means "now".
    const int64_t stamp_ms = stamp.sec == 0 && stamp.nanosec == 0
                                 ? now_ms
                                 : int64_t{stamp.sec} * kMillisecondsPerSecond +
                                       stamp.nanosec / kNanosecondsPerMillisecond;
    if (array.status.empty()) {
      Drop(warned_malformed_, "no status", malformed_, "a message without a status");
      return;
    }
    for (DiagnosticStatus& status : array.status) {
      OnTracePoint(status, stamp_ms, now_ms);
    }
  } catch (const std::exception& error) {
    LOG_ERROR("Trace point not handled: {}", error.what());
  }
}

void FlowMonitor::OnTracePoint(DiagnosticStatus& status, int64_t stamp_ms, int64_t now_ms) {
  ++received_;
  if (status.name.empty() || status.message.empty()) {
    const std::string missing = status.name.empty() ? "flow id" : "point id";
    Drop(warned_malformed_, missing + " " + status.hardware_id, malformed_,
         "a point with an empty " + missing + " from '" + status.hardware_id + "'");
    return;
  }
  const auto watched = flows_.find(status.name);
  if (watched == flows_.end()) {
    Drop(warned_unknown_flows_, status.name, unknown_flow_,
         "point '" + status.message + "' of unknown flow '" + status.name + "' from '" +
             status.hardware_id + "'");
    return;
  }
  WatchLag(now_ms - stamp_ms, status.hardware_id);
  WatchedFlow& flow = watched->second;
  ++flow.received[status.hardware_id];

  const bool last_point = flow.ordered && status.message == flow.last_point;
  auto point =
      std::make_shared<trace::TracePoint>(status.message, status.level == DiagnosticStatus::OK);
  point->timestamp = stamp_ms;
  point->metadata.reserve(status.values.size());
  for (KeyValue& value : status.values) {
    point->metadata.emplace_back(std::move(value.key), std::move(value.value));
  }
  FlowTrace::GetInstance().Trace(status.name, point);

  if (last_point && check_on_last_point_ && ++flow.last_point_seen >= flow.last_point_needed) {
    Judge(status.name, flow, Trigger::kLastPoint);
  }
}

void FlowMonitor::OnCheckRequest(const std_msgs::msg::String& request) {
  try {
    const auto watched = flows_.find(request.data);
    if (watched != flows_.end()) {
      Judge(request.data, watched->second, Trigger::kRequest);
      return;
    }
    LOG_WARN("Verdict asked for unknown flow '{}'", request.data);
    FlowCheckResult unknown;
    unknown.status = FlowCheckStatus::INVALID_FLOW;
    PublishVerdict(request.data, unknown, Trigger::kRequest, 0);
  } catch (const std::exception& error) {
    LOG_ERROR("Verdict request for flow '{}' not handled: {}", request.data, error.what());
  }
}

void FlowMonitor::Judge(const std::string& flow_id, WatchedFlow& flow, Trigger trigger) {
  FlowTrace& flows = FlowTrace::GetInstance();
  const auto result = flows.CheckFlow(flow_id);
  const uint64_t duration_ms = flows.GetFlowDuration(flow_id);
  flows.ResetFlow(flow_id);
  flow.last_point_seen = 0;
  ++flow.runs_judged;
  flow.last_verdict = VerdictName(result->status);
  const char* trigger_name = TriggerName(trigger);
  if (result->status == FlowCheckStatus::SUCCESS) {
    LOG_INFO("Verdict of flow '{}' ({}): {}; a new run starts", flow_id, trigger_name,
             flow.last_verdict);
  } else {
    LOG_ERROR("Verdict of flow '{}' ({}): {} ({}); a new run starts", flow_id, trigger_name,
              flow.last_verdict, static_cast<int>(result->status));
  }
  PublishVerdict(flow_id, *result, trigger, duration_ms);
}

void FlowMonitor::PublishVerdict(const std::string& flow_id, const FlowCheckResult& result,
                                 Trigger trigger, uint64_t duration_ms) {
  DiagnosticArray array;
  array.header.stamp = rclcpp::Time(NowMs() * kNanosecondsPerMillisecond, RCL_SYSTEM_TIME);
  DiagnosticStatus& status = array.status.emplace_back();
  status.level =
      result.status == FlowCheckStatus::SUCCESS ? DiagnosticStatus::OK : DiagnosticStatus::ERROR;
  status.name = flow_id;
  status.message = VerdictName(result.status);
  status.hardware_id = node_->get_fully_qualified_name();
  status.values = {
      Value("status", std::to_string(static_cast<int>(result.status))),
      Value("trigger", TriggerName(trigger)),
      Value("failure_point", result.failure_point ? result.failure_point->point_id : ""),
      Value("desired_point", result.desired_point ? result.desired_point->point_id : ""),
      Value("duration_ms", std::to_string(duration_ms)),
  };
  verdicts_->publish(array);
}

void FlowMonitor::CheckTimeouts() {
  try {
    FlowTrace::GetInstance().CheckTimeouts();
    WatchReporters();
  } catch (const std::exception& error) {
    LOG_ERROR("Time-out check failed: {}", error.what());
  }
}

// A reporter that ends (or dies) mid-run leaves its flow waiting; its time limits catch that.
// Here it is named as it happens, as far as the middleware tells it.
void FlowMonitor::WatchReporters() {
  const size_t reporters = points_->get_publisher_count();
  if (reporters < reporters_) {
    LOG_WARN("{} reporter(s) left '{}', {} remain; a flow waiting for them is reported once its "
             "time limit passes",
             reporters_ - reporters, points_->get_topic_name(), reporters);
  }
  reporters_ = reporters;
}

void FlowMonitor::WatchLag(int64_t lag_ms, const std::string& reporter) {
  if (!lagging_ && lag_ms > kLagWarningMs) {
    lagging_ = true;
    LOG_WARN("Points arrive {} ms after they were traced (from '{}'): the monitor is behind, and "
             "points may be reported overdue until it catches up",
             lag_ms, reporter);
  } else if (lagging_ && lag_ms < kLagWarningMs / 2) {
    lagging_ = false;
    LOG_INFO("The monitor has caught up: points arrive {} ms after they were traced", lag_ms);
  }
}

void FlowMonitor::Drop(std::set<std::string>& warned, const std::string& key, uint64_t& count,
                       const std::string& text) {
  ++count;
  if (warned.insert(key).second) {
    LOG_WARN("Dropped {} (the first such; the count goes to /diagnostics)", text);
  }
}

// FlowTrace's health of every flow, and the monitor's own figures: the verdicts it gave and the
// points each reporter sent, per flow, and what it received and dropped.
void FlowMonitor::PublishDiagnostics() {
  try {
    DiagnosticArray array = FlowTrace::GetInstance().CollectDiagnostics();
    const std::string prefix = std::string(node_->get_name()) + ": ";
    const std::string hardware_id = node_->get_fully_qualified_name();
    for (DiagnosticStatus& status : array.status) {
      status.hardware_id = hardware_id;
      const auto watched = flows_.find(status.name.substr(prefix.size()));
      if (watched == flows_.end()) {
        continue;
      }
      const WatchedFlow& flow = watched->second;
      status.values.push_back(Value("runs_judged", std::to_string(flow.runs_judged)));
      status.values.push_back(Value("last_verdict", flow.last_verdict));
      for (const auto& [reporter, count] : flow.received) {
        status.values.push_back(Value("received from " + reporter, std::to_string(count)));
      }
    }
    DiagnosticStatus& own = array.status.emplace_back();
    own.name = prefix + "reception";
    own.hardware_id = hardware_id;
    const uint64_t dropped = unknown_flow_ + malformed_;
    own.level = dropped == 0 ? DiagnosticStatus::OK : DiagnosticStatus::WARN;
    own.message = std::to_string(received_) + " points received, " + std::to_string(dropped) +
                  " dropped";
    own.values = {
        Value("topic", points_->get_topic_name()),
        Value("reporters", std::to_string(points_->get_publisher_count())),
        Value("received", std::to_string(received_)),
        Value("unknown_flow", std::to_string(unknown_flow_)),
        Value("malformed", std::to_string(malformed_)),
    };
    diagnostics_->publish(array);
  } catch (const std::exception& error) {
    LOG_ERROR("Diagnostics not published: {}", error.what());
  }
}

}  // namespace valtrix::monitor
