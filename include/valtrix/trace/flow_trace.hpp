#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <rclcpp/node.hpp>

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
};

}  // namespace valtrix::trace
