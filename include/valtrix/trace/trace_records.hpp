#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <rclcpp/publisher.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

namespace valtrix::trace {

struct FlowTally;

/// One point of a flow that the application reports as executed.
class TracePoint {
 public:
  /// Stamps the point with the current wall-clock time; `index` 0, no metadata.
  TracePoint(const std::string& point_id, bool success);
  virtual ~TracePoint();

  /// Identifier matched byte for byte against `TracePointCfg::point_id`.
  std::string point_id;
  /// Construction time, milliseconds since the Unix epoch (system clock).
  int64_t timestamp;
  /// Outcome of the step as reported by the application.
  bool success;
  /// Position in the flow's run, counted from 0 at each reset; written once by
  /// `FlowTrace::Trace`. It equals the position in the record while the flow drops no entries
  /// (see `TraceFlowCfg::max_record`), and keeps counting when it does.
  uint32_t index;
  /// Free key/value annotations in insertion order; only logged by the library.
  std::vector<std::pair<std::string, std::string>> metadata;
};

/// One configured point of a flow.
struct TracePointCfg {
  explicit TracePointCfg(const std::string& point_id = "", const std::string& description = "")
      : point_id(point_id), description(description) {}

  /// Identifier that executed points must carry.
  std::string point_id;
  /// Human-readable text.
  std::string description;
  /// A critical point must be executed for the flow check to pass.
  bool is_critical = false;
  /// Publish an event when the point is reported successful.
  bool on_success = false;
  /// Publish an event when the point is reported failed.
  bool on_failure = true;
  /// Publish an event when the point's time limit passes.
  bool on_timeout = false;
  /// Event identifier of the point's events; 0 silences its step events.
  uint32_t event_id = 0;
  /// In-order occurrences needed before the ordered check moves on (0: no requirement).
  uint32_t repeat_cnt = 0;
  /// Occurrences counted by the ordered progressive check (run-time state).
  uint32_t hit_cnt = 0;
  /// Upper bound of `hit_cnt` (0: unbounded).
  uint32_t repeat_max = 0;
  /// Time limit of the point in milliseconds (0: none).
  uint32_t timeout_ms = 0;
  /// Minimum occurrence frequency; stored only.
  float freq_min = 0.0F;
};

/// One configured flow.
struct TraceFlowCfg {
  explicit TraceFlowCfg(const std::string& flow_id = "", const std::string& flow_name = "",
                        const std::string& description = "")
      : flow_id(flow_id), flow_name(flow_name), description(description) {}

  /// Whether the points must occur in the configured order.
  bool check_order = true;
  /// Index into `flow_points` of the point the ordered check expects next (run-time state).
  uint32_t next_index = 0;
  /// Flow-level event identifier.
  uint32_t event_id = 0;
  /// Most entries the record keeps (0: unbounded); beyond it the oldest are dropped, and counted.
  uint32_t max_record = 0;
  /// Key of the flow in every map of the registry.
  std::string flow_id;
  /// Human-readable name.
  std::string flow_name;
  /// Topic of the flow's diagnostic events.
  std::string diag_topic;
  /// Human-readable text.
  std::string description;
  /// Configured points, in the order the flow must pass them.
  std::vector<std::shared_ptr<TracePointCfg>> flow_points;
  /// Publisher on `diag_topic`; empty means nothing is published for this flow.
  rclcpp::Publisher<valtrix_protocol::msg::DiagnosticEvent>::SharedPtr publisher;
  /// What the flow's runs have shown since its registration, kept by the registry (run-time
  /// state, read through `FlowTrace::GetFlowStatistics`). Held here rather than in a map of the
  /// registry so that `Trace` counts a step without a second look-up.
  std::shared_ptr<FlowTally> tally;
};

/// Verdict of a whole-flow check. The numeric values are part of the interface.
enum class FlowCheckStatus : int32_t {
  SUCCESS = 0,
  FAILED = 1,
  INVALID_POINT = 2,
  DUPLICATED_POINT = 3,
  MISSING_POINT = 4,
  INVALID_ORDER = 5,
  INVALID_FLOW = 6,
};

/// Result of `FlowTrace::CheckFlow`, handed to the flow's handler and returned to the caller.
struct FlowCheckResult {
  /// The verdict.
  FlowCheckStatus status = FlowCheckStatus::SUCCESS;
  /// The recorded point the verdict is about, if any (the very object held in the record).
  std::shared_ptr<TracePoint> failure_point;
  /// The configured point the verdict is about, if any.
  std::shared_ptr<TracePointCfg> desired_point;
};

/// Executed points of one flow in arrival order (front = oldest).
using PointQueue = std::deque<std::shared_ptr<TracePoint>>;

/// Callback registered per flow and called with each whole-flow verdict.
using FlowHandler =
    std::function<void(const std::string& flow_id, const std::shared_ptr<FlowCheckResult>& result)>;

}  // namespace valtrix::trace
