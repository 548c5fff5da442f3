#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/qos.hpp>
#include <rclcpp/time.hpp>

#include "bookkeeping.hpp"
#include "valtrix/trace/flow_trace.hpp"
#include "wall_clock.hpp"

namespace valtrix::trace {

// By the verdict's value, which is part of the interface.
const char* NameOf(FlowCheckStatus status) {
  static constexpr const char* kNames[] = {"SUCCESS",          "FAILED",        "INVALID_POINT",
                                           "DUPLICATED_POINT", "MISSING_POINT", "INVALID_ORDER",
                                           "INVALID_FLOW"};
  const auto value = static_cast<size_t>(status);
  return value < std::size(kNames) ? kNames[value] : "UNKNOWN";
}

namespace {

using diagnostic_msgs::msg::DiagnosticArray;
using diagnostic_msgs::msg::DiagnosticStatus;
using diagnostic_msgs::msg::KeyValue;

constexpr char kDiagnosticsTopic[] = "/diagnostics";
constexpr size_t kDiagnosticsDepth = 1;
// The status name's prefix when Init was given no node.
constexpr char kNoNodeName[] = "flow_trace";

uint8_t Level(const FlowHealth& health, bool overdue) {
  if (overdue) {
    return DiagnosticStatus::STALE;
  }
  if (health.findings == FlowHealth::Findings::kError || health.failed_verdict) {
    return DiagnosticStatus::ERROR;
  }
  if (health.findings == FlowHealth::Findings::kWarning) {
    return DiagnosticStatus::WARN;
  }
  return DiagnosticStatus::OK;
}

// The run's first finding or, when the progressive check found nothing, its first failed verdict;
// empty when there is neither.
std::string FirstFailure(const FlowHealth& health) {
  if (!health.first_finding.empty()) {
    return health.first_finding;
  }
  return health.failed_verdict ? std::string("verdict ") + NameOf(*health.failed_verdict) : "";
}

// The id of the point an ordered flow expects next; empty once it is complete.
std::string ExpectedId(const TraceFlowCfg& flow) {
  if (flow.next_index >= flow.flow_points.size() || !flow.flow_points[flow.next_index]) {
    return "";
  }
  return flow.flow_points[flow.next_index]->point_id;
}

// What the run is doing while nothing is wrong.
std::string Progress(const TraceFlowCfg& flow, const PointQueue& record) {
  if (record.empty()) {
    return "idle";
  }
  if (!flow.check_order) {
    return "running";
  }
  if (flow.next_index >= flow.flow_points.size()) {
    return "complete";
  }
  return "running: next '" + ExpectedId(flow) + "' (" + std::to_string(flow.next_index + 1) +
         " of " + std::to_string(flow.flow_points.size()) + ")";
}

// From the run's first entry to its newest, 0 when they are out of order or there are none.
uint64_t Duration(const PointQueue& record, const FlowWatch& watch) {
  if (record.empty()) {
    return 0;
  }
  const int64_t start = watch.RunStart(record);
  const int64_t end = record.back()->timestamp;
  return start < end ? static_cast<uint64_t>(end - start) : 0;
}

// The configured point whose step durations have the highest 95th percentile; empty while no
// point has one.
std::string SlowestStep(const TraceFlowCfg& flow, const FlowTally& tally) {
  std::string slowest;
  double highest = -1.0;
  for (size_t k = 0; k < tally.points.size() && k < flow.flow_points.size(); ++k) {
    const DurationHistogram& steps = tally.points[k].steps;
    if (steps.count() == 0 || !flow.flow_points[k]) {
      continue;
    }
    const double p95 = steps.Percentile(0.95);
    if (p95 > highest) {
      highest = p95;
      slowest = flow.flow_points[k]->point_id;
    }
  }
  return slowest;
}

// What the flow's runs showed since its registration.
template <typename Add>
void AddStatistics(const TraceFlowCfg& flow, const FlowTally& tally, const Add& add) {
  const uint64_t succeeded = tally.verdicts[static_cast<size_t>(FlowCheckStatus::SUCCESS)];
  add("runs", std::to_string(tally.runs));
  add("verdicts_failed", std::to_string(tally.runs - succeeded));
  add("run_p95_ms", std::to_string(std::llround(tally.run.Percentile(0.95))));
  add("slowest_step", SlowestStep(flow, tally));
  add("record_dropped", std::to_string(tally.dropped));
}

DiagnosticStatus StatusOf(const std::string& flow_id, const TraceFlowCfg& flow,
                          const PointQueue& record, const FlowWatch& watch,
                          const std::string& node_name, int64_t now_ms) {
  const FlowHealth& health = watch.health;
  const std::optional<OverduePoint> overdue = ReportedOverdue(record, flow, watch, now_ms);
  DiagnosticStatus status;
  status.level = Level(health, overdue.has_value());
  status.name = node_name + ": " + flow_id;
  if (overdue) {
    status.message = "point '" + overdue->point->point_id +
                     "' overdue: " + std::to_string(overdue->elapsed_ms) + " ms, limit " +
                     std::to_string(overdue->limit_ms) + " ms";
  } else if (status.level != DiagnosticStatus::OK) {
    status.message = FirstFailure(health);
  } else {
    status.message = Progress(flow, record);
  }
  const auto add = [&status](const char* key, std::string value) {
    KeyValue& entry = status.values.emplace_back();
    entry.key = key;
    entry.value = std::move(value);
  };
  add("flow_name", flow.flow_name);
  add("ordered", flow.check_order ? "true" : "false");
  add("recorded", std::to_string(record.size()));
  if (flow.check_order) {
    add("next", ExpectedId(flow));
  }
  add("verdict", health.last_verdict ? NameOf(*health.last_verdict) : "none");
  add("first_failure", FirstFailure(health));
  add("duration_ms", std::to_string(Duration(record, watch)));
  static const FlowTally kNoneYet;
  AddStatistics(flow, flow.tally ? *flow.tally : kNoneYet, add);
  return status;
}

// One status per registered flow, sorted by flow id, named after `node` (none: kNoNodeName).
DiagnosticArray HealthOfFlows(
    const std::unordered_map<std::string, std::shared_ptr<TraceFlowCfg>>& configs,
    const std::unordered_map<std::string, PointQueue>& queues,
    const std::unordered_map<const TraceFlowCfg*, FlowWatch>& watches, const rclcpp::Node* node) {
  const int64_t now_ns = NowNanoseconds();
  const int64_t now_ms = now_ns / 1000000;
  DiagnosticArray array;
  array.header.stamp = rclcpp::Time(now_ns, RCL_SYSTEM_TIME);

  const std::string node_name = node != nullptr ? node->get_name() : kNoNodeName;
  std::vector<std::string> flow_ids;
  for (const auto& [flow_id, cfg] : configs) {
    if (queues.count(flow_id) != 0) {
      flow_ids.push_back(flow_id);
    }
  }
  std::sort(flow_ids.begin(), flow_ids.end());
  const FlowWatch fresh;  // for a flow never watched, as a new run has it
  for (const std::string& flow_id : flow_ids) {
    const TraceFlowCfg& flow = *configs.at(flow_id);
    const auto watch = watches.find(&flow);
    array.status.push_back(StatusOf(flow_id, flow, queues.at(flow_id),
                                    watch == watches.end() ? fresh : watch->second, node_name,
                                    now_ms));
  }
  return array;
}

}  // namespace

DiagnosticArray FlowTrace::CollectDiagnostics() {
  std::lock_guard<std::mutex> lock(mutex_);
  return HealthOfFlows(flow_configs_, flow_queues_, bookkeeping_->watches, node_.get());
}

// The node, its publisher and the array's names stay one node's, whatever Init does meanwhile.
void FlowTrace::PublishDiagnostics() {
  Bookkeeping& books = *bookkeeping_;
  std::lock_guard<std::mutex> publishing(books.diagnostics_mutex);
  std::shared_ptr<rclcpp::Node> node;
  DiagnosticArray array;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    node = node_;
    if (node) {
      array = HealthOfFlows(flow_configs_, flow_queues_, books.watches, node.get());
    }
  }
  if (!node) {
    books.diagnostics_publisher.reset();
    books.diagnostics_node.reset();
    return;
  }
  if (!books.diagnostics_publisher || books.diagnostics_node.lock() != node) {
    books.diagnostics_publisher = node->create_publisher<DiagnosticArray>(
        kDiagnosticsTopic, rclcpp::QoS(kDiagnosticsDepth).reliable().durability_volatile());
    books.diagnostics_node = node;
  }
  books.diagnostics_publisher->publish(array);
}

}  // namespace valtrix::trace
