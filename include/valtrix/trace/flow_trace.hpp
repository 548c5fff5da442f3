#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/node.hpp>
#include <rclcpp/publisher.hpp>

#include "valtrix/trace/flow_watch.hpp"
#include "valtrix/trace/trace_records.hpp"

namespace YAML {
class Node;
}

namespace valtrix::trace {

/// Process-wide registry of flows: configurations, recorded points and verdict handlers.
/// Every public operation may be called from any thread; handlers run under the registry's
/// lock and must not call back into it.
class FlowTrace {
 public:
  /// The single instance, built on first use.
  static FlowTrace& GetInstance();

  FlowTrace(const FlowTrace&) = delete;
  FlowTrace& operator=(const FlowTrace&) = delete;

  /// Keeps `node`, drops every flow and loads the flows of the YAML file at `path`.
  /// Bad input is logged; only errors of the middleware creating a publisher escape.
  void Init(const std::string& path, std::shared_ptr<rclcpp::Node> node);

  /// Registers (or replaces) a flow with an empty record; its handler stays in force.
  void RegisterTraceFlow(std::shared_ptr<TraceFlowCfg> cfg);
  /// Registers a flow built from `points`, which are moved out of the caller's vector.
  void RegisterTraceFlow(const std::string& flow_id,
                         std::vector<std::shared_ptr<TracePointCfg>>& points,
                         const std::string& flow_name, const std::string& description,
                         bool check_order);
  /// Forgets a flow's configuration and record; its handler stays registered.
  void RemoveTraceFlow(const std::string& flow_id);
  /// Sets the handler that receives the flow's verdicts; the flow need not exist yet.
  void RegisterFlowHandler(const std::string& flow_id, FlowHandler handler);
  /// The flow's record, or an always-empty queue for an unknown flow. Read it only while no
  /// other thread changes that flow.
  const PointQueue& GetTracePoints(const std::string& flow_id);
  /// Starts a new run of the flow: empties its record and rewinds its progress.
  void ResetFlow(const std::string& flow_id);
  /// Starts a new run of every flow.
  void ResetAllFlows();

  /// Records `point` in the flow and judges it at once.
  void Trace(const std::string& flow_id, const std::shared_ptr<TracePoint>& point);
  /// Records a new point stamped now and judges it at once.
  void Trace(const std::string& flow_id, const std::string& point_id, bool success);
  /// Milliseconds between the oldest and the newest recorded point; 0 on any failure.
  uint64_t GetFlowDuration(const std::string& flow_id);

  /// Judges the whole record, calls the flow's handler and returns the verdict (never empty).
  std::shared_ptr<FlowCheckResult> CheckFlow(const std::string& flow_id);

  /// Reports the points that are overdue now: in an ordered flow the expected point once its
  /// `timeout_ms` has passed since the newest entry; in an unordered flow each point with a
  /// `freq_min` once 1000 / `freq_min` ms have passed since its newest entry (or, when it never
  /// came, since the oldest). Each is logged and, when configured, published once per wait.
  /// Returns the number of new reports. Call it periodically, e.g. from a wall timer.
  std::size_t CheckTimeouts();

  /// The health of every registered flow, one status per flow sorted by flow id, named
  /// "<node name>: <flow_id>" ("flow_trace" standing in without a node) and stamped now. A run's
  /// level is STALE while a point is overdue (as reported by `CheckTimeouts`), else ERROR after
  /// a failed step, a missing critical, duplicated or undefined point or a failed `CheckFlow`,
  /// else WARN after a missing optional point or a late arrival, else OK. Logs nothing.
  diagnostic_msgs::msg::DiagnosticArray CollectDiagnostics();
  /// Publishes `CollectDiagnostics()` on "/diagnostics" through the node given to `Init`
  /// (nothing without one). Logs nothing; meant for a wall timer, e.g. once a second.
  void PublishDiagnostics();

 private:
  FlowTrace() = default;
  ~FlowTrace() = default;

  std::shared_ptr<TraceFlowCfg> parseTraceFlowCfg(const YAML::Node& flow_node);
  std::shared_ptr<TracePointCfg> parseTracePointCfg(const YAML::Node& point_node);
  /// Appends `point` to the flow's record and judges it, with `mutex_` held; false (recording
  /// nothing) for an unknown flow or an empty point.
  bool recordPoint(const std::string& flow_id, std::shared_ptr<TracePoint> point);
  /// Progressive check of the newest point of `record`, the record of `flow`; runs with
  /// `mutex_` held.
  void checkFlow(const std::string& flow_id, const PointQueue& record, TraceFlowCfg& flow);
  /// Starts the flow's watch afresh (a new run, registration or reload); with `mutex_` held.
  void restartWatch(const std::string& flow_id, const TraceFlowCfg& flow);
  /// Notes in the flow's watch the newest entry of `record`; with `mutex_` held.
  void watchArrival(const std::string& flow_id, const TraceFlowCfg& flow, const PointQueue& record);
  /// Writes the health of every flow into `array`, reusing what it holds. `layout` names the
  /// flowsInOrder() build whose names and keys `array` holds (0: none) and is updated; with
  /// `mutex_` held.
  void fillDiagnostics(diagnostic_msgs::msg::DiagnosticArray& array, uint64_t& layout);
  /// The registered flows in flow id order, rebuilt after flows were added or removed; with
  /// `mutex_` held.
  const std::vector<RegisteredFlow>& flowsInOrder();

  // Lets the test suite inspect and clear the registry between cases.
  friend class FlowTraceTestAccess;

  std::unordered_map<std::string, PointQueue> flow_queues_;
  std::unordered_map<std::string, std::shared_ptr<TraceFlowCfg>> flow_configs_;
  std::unordered_map<std::string, FlowHandler> flow_handlers_;
  PointQueue empty_queue_;
  std::mutex mutex_;
  std::shared_ptr<rclcpp::Node> node_;
  // Key flow_id, kept in step with flow_queues_; guarded by mutex_.
  std::unordered_map<std::string, FlowWatch> flow_watches_;
  // What flowsInOrder() gives, the number of times it was built, and whether a flow was added or
  // removed since (set wherever a key enters or leaves the maps). Kept only so that
  // PublishDiagnostics meets its bar (see bench/bench_flow_health.cpp). Guarded by mutex_.
  std::vector<RegisteredFlow> flows_in_order_;
  uint64_t flows_in_order_build_ = 0;
  bool flows_in_order_stale_ = true;
  // PublishDiagnostics' publisher, the node it was made on and the array it sends, refilled in
  // place each time. Guarded by diagnostics_mutex_, which is taken before mutex_ and released
  // after it, so that Trace waits for the filling of the array but not for its publication.
  std::mutex diagnostics_mutex_;
  std::weak_ptr<rclcpp::Node> diagnostics_node_;
  rclcpp::Publisher<diagnostic_msgs::msg::DiagnosticArray>::SharedPtr diagnostics_publisher_;
  diagnostic_msgs::msg::DiagnosticArray diagnostics_;
  uint64_t diagnostics_layout_ = 0;
};

}  // namespace valtrix::trace
