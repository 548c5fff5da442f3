#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/node.hpp>

#include "valtrix/trace/flow_statistics.hpp"
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

  /// A copy of what the flow's runs showed since its registration (see `FlowStatistics`);
  /// none, and nothing logged, for a flow that is not registered.
  std::optional<FlowStatistics> GetFlowStatistics(const std::string& flow_id);

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

  /// Size at which the run log is rotated, unless told otherwise: 64 MiB.
  static constexpr std::size_t kDefaultRunLogMaxBytes = std::size_t{64} << 20;
  /// Rotated files of the run log kept beside it, unless told otherwise.
  static constexpr std::size_t kDefaultRunLogFiles = 4;
  /// Writes the run log (one JSON line per registration, reset, traced point and verdict) to
  /// `path`, rotated at `max_bytes` with `max_files` earlier files kept; an empty path closes it.
  /// An existing file at `path` is rotated first. Replaces the log that VALTRIX_RUN_LOG opened.
  /// A file that cannot be opened or written gives one ERROR line, and no run log.
  void OpenRunLog(const std::string& path, std::size_t max_bytes = kDefaultRunLogMaxBytes,
                  std::size_t max_files = kDefaultRunLogFiles);

  /// What the registry keeps beside its maps (the watch and health of every flow, the
  /// /diagnostics publisher); defined inside the library.
  struct Bookkeeping;

 private:
  FlowTrace();
  ~FlowTrace();

  std::shared_ptr<TraceFlowCfg> parseTraceFlowCfg(const YAML::Node& flow_node);
  std::shared_ptr<TracePointCfg> parseTracePointCfg(const YAML::Node& point_node);
  /// Progressive check of the newest point of `record`, the record of `flow`; runs with
  /// `mutex_` held.
  void checkFlow(const std::string& flow_id, const PointQueue& record, TraceFlowCfg& flow);

  std::unordered_map<std::string, PointQueue> flow_queues_;
  std::unordered_map<std::string, std::shared_ptr<TraceFlowCfg>> flow_configs_;
  std::unordered_map<std::string, FlowHandler> flow_handlers_;
  PointQueue empty_queue_;
  std::mutex mutex_;
  std::shared_ptr<rclcpp::Node> node_;
  std::unique_ptr<Bookkeeping> bookkeeping_;
};

}  // namespace valtrix::trace
