#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/qos.hpp>
#include <rclcpp/time.hpp>

#include "overdue.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {

namespace {

using diagnostic_msgs::msg::DiagnosticArray;
using diagnostic_msgs::msg::DiagnosticStatus;
using diagnostic_msgs::msg::KeyValue;

constexpr char kDiagnosticsTopic[] = "/diagnostics";
constexpr size_t kDiagnosticsDepth = 1;
// The status name's prefix when Init was given no node.
constexpr std::string_view kNoNodeName = "flow_trace";

// A verdict's name, and the text for a run that only its verdict found failing.
struct VerdictTexts {
  std::string_view name;
  std::string_view failed;
};

VerdictTexts TextsOf(FlowCheckStatus status) {
  switch (status) {
    case FlowCheckStatus::SUCCESS:
      return {"SUCCESS", "verdict SUCCESS"};
    case FlowCheckStatus::FAILED:
      return {"FAILED", "verdict FAILED"};
    case FlowCheckStatus::INVALID_POINT:
      return {"INVALID_POINT", "verdict INVALID_POINT"};
    case FlowCheckStatus::DUPLICATED_POINT:
      return {"DUPLICATED_POINT", "verdict DUPLICATED_POINT"};
    case FlowCheckStatus::MISSING_POINT:
      return {"MISSING_POINT", "verdict MISSING_POINT"};
    case FlowCheckStatus::INVALID_ORDER:
      return {"INVALID_ORDER", "verdict INVALID_ORDER"};
    case FlowCheckStatus::INVALID_FLOW:
      return {"INVALID_FLOW", "verdict INVALID_FLOW"};
  }
  return {"UNKNOWN", "verdict UNKNOWN"};
}

// A number written out in decimal, viewed as text.
class Decimal {
 public:
  explicit Decimal(uint64_t value)
      : length_(static_cast<size_t>(
            std::to_chars(digits_, digits_ + sizeof(digits_), value).ptr - digits_)) {}
  Decimal(const Decimal&) = delete;
  Decimal& operator=(const Decimal&) = delete;

  operator std::string_view() const { return {digits_, length_}; }

 private:
  char digits_[20];
  size_t length_;
};

// Sets `text` to `value`. Most texts of a status are what they were a publication ago, and
// comparing is cheaper than writing, so one that holds its value already is left alone.
void Update(std::string& text, std::string_view value) {
  if (std::string_view(text) != value) {
    text.assign(value.data(), value.size());
  }
}

// Sets the values of a status in order, reusing the entries that the status already holds and
// dropping those left over. The keys are written only when the entries may not hold them yet.
class ValueWriter {
 public:
  ValueWriter(std::vector<KeyValue>& values, size_t count, bool keys_known)
      : values_(values), keys_known_(keys_known && values.size() == count) {
    values_.resize(count);
  }
  ValueWriter(const ValueWriter&) = delete;
  ValueWriter& operator=(const ValueWriter&) = delete;

  void Set(std::string_view key, std::string_view value) {
    KeyValue& entry = values_[used_++];
    if (!keys_known_) {
      entry.key.assign(key.data(), key.size());
    }
    Update(entry.value, value);
  }

 private:
  std::vector<KeyValue>& values_;
  bool keys_known_;
  size_t used_ = 0;
};

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
std::string_view FirstFailure(const FlowHealth& health) {
  if (!health.first_finding.empty()) {
    return health.first_finding;
  }
  return health.failed_verdict ? TextsOf(*health.failed_verdict).failed : std::string_view();
}

// The point an ordered flow expects next; none once it is complete.
const TracePointCfg* ExpectedPoint(const TraceFlowCfg& flow) {
  return flow.next_index < flow.flow_points.size() ? flow.flow_points[flow.next_index].get()
                                                   : nullptr;
}

std::string_view IdOf(const TracePointCfg* point) {
  return point != nullptr ? std::string_view(point->point_id) : std::string_view();
}

// What the run is doing while nothing is wrong.
void SetProgress(const TraceFlowCfg& flow, const PointQueue& record, std::string& text) {
  if (record.empty()) {
    Update(text, "idle");
  } else if (!flow.check_order) {
    Update(text, "running");
  } else if (flow.next_index >= flow.flow_points.size()) {
    Update(text, "complete");
  } else {
    text.clear();
    text += "running: next '";
    text += IdOf(ExpectedPoint(flow));
    text += "' (";
    text += Decimal(uint64_t{flow.next_index} + 1);
    text += " of ";
    text += Decimal(flow.flow_points.size());
    text += ')';
  }
}

void SetOverdue(const OverduePoint& overdue, std::string& text) {
  text.clear();
  text += "point '";
  text += overdue.point->point_id;
  text += "' overdue: ";
  text += Decimal(overdue.elapsed_ms);
  text += " ms, limit ";
  text += Decimal(overdue.limit_ms);
  text += " ms";
}

// From the oldest to the newest entry, 0 when they are out of order or there are none.
uint64_t Duration(const PointQueue& record) {
  if (record.empty()) {
    return 0;
  }
  const int64_t start = record.front()->timestamp;
  const int64_t end = record.back()->timestamp;
  return start < end ? static_cast<uint64_t>(end - start) : 0;
}

constexpr size_t kOrderedValues = 7;
constexpr size_t kUnorderedValues = 6;  // no "next"

// `layout_known`: the status holds the name and keys of this flow from an earlier fill.
void FillStatus(const RegisteredFlow& view, std::string_view node_name, int64_t now_ms,
                bool layout_known, DiagnosticStatus& status) {
  const TraceFlowCfg& flow = **view.flow;
  const PointQueue& record = *view.record;
  const FlowHealth& health = view.watch->health;
  const std::optional<OverduePoint> overdue = ReportedOverdue(record, flow, *view.watch, now_ms);

  status.level = Level(health, overdue.has_value());
  if (!layout_known) {
    status.name.assign(node_name.data(), node_name.size()).append(": ").append(*view.flow_id);
    status.hardware_id.clear();
  }
  if (overdue) {
    SetOverdue(*overdue, status.message);
  } else if (status.level != DiagnosticStatus::OK) {
    Update(status.message, FirstFailure(health));
  } else {
    SetProgress(flow, record, status.message);
  }

  ValueWriter values(status.values, flow.check_order ? kOrderedValues : kUnorderedValues,
                     layout_known);
  values.Set("flow_name", flow.flow_name);
  values.Set("ordered", flow.check_order ? "true" : "false");
  values.Set("recorded", Decimal(record.size()));
  if (flow.check_order) {
    values.Set("next", IdOf(ExpectedPoint(flow)));
  }
  values.Set("verdict", health.last_verdict ? TextsOf(*health.last_verdict).name : "none");
  values.Set("first_failure", FirstFailure(health));
  values.Set("duration_ms", Decimal(Duration(record)));
}

}  // namespace

DiagnosticArray FlowTrace::CollectDiagnostics() {
  DiagnosticArray array;
  uint64_t layout = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  fillDiagnostics(array, layout);
  return array;
}

void FlowTrace::PublishDiagnostics() {
  std::lock_guard<std::mutex> publishing(diagnostics_mutex_);
  std::shared_ptr<rclcpp::Node> node;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    node = node_;  // Init may replace it meanwhile
  }
  if (!node) {
    diagnostics_publisher_.reset();
    diagnostics_node_.reset();
    return;
  }
  if (!diagnostics_publisher_ || diagnostics_node_.lock() != node) {
    diagnostics_publisher_ = node->create_publisher<DiagnosticArray>(
        kDiagnosticsTopic, rclcpp::QoS(kDiagnosticsDepth).reliable().durability_volatile());
    diagnostics_node_ = node;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fillDiagnostics(diagnostics_, diagnostics_layout_);
  }
  diagnostics_publisher_->publish(diagnostics_);
}

void FlowTrace::fillDiagnostics(DiagnosticArray& array, uint64_t& layout) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const int64_t now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  array.header.stamp = rclcpp::Time(now_ns, RCL_SYSTEM_TIME);
  array.header.frame_id.clear();

  const std::vector<RegisteredFlow>& flows = flowsInOrder();
  const std::string_view node_name = node_ ? node_->get_name() : kNoNodeName;
  const bool layout_known = layout == flows_in_order_build_;
  array.status.resize(flows.size());
  for (size_t k = 0; k < flows.size(); ++k) {
    FillStatus(flows[k], node_name, now_ms, layout_known, array.status[k]);
  }
  layout = flows_in_order_build_;
}

const std::vector<RegisteredFlow>& FlowTrace::flowsInOrder() {
  if (!flows_in_order_stale_) {
    return flows_in_order_;
  }
  static const FlowWatch kFresh;  // for a flow never watched, as a new run has it
  flows_in_order_.clear();
  for (const auto& [flow_id, cfg] : flow_configs_) {
    const auto queue = flow_queues_.find(flow_id);
    if (queue == flow_queues_.end()) {
      continue;
    }
    const auto watch = flow_watches_.find(flow_id);
    flows_in_order_.push_back({&flow_id, &cfg, &queue->second,
                               watch == flow_watches_.end() ? &kFresh : &watch->second});
  }
  std::sort(flows_in_order_.begin(), flows_in_order_.end(),
            [](const RegisteredFlow& a, const RegisteredFlow& b) {
              return *a.flow_id < *b.flow_id;
            });
  flows_in_order_stale_ = false;
  ++flows_in_order_build_;
  return flows_in_order_;
}

}  // namespace valtrix::trace
