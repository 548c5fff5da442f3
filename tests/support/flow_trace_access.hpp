#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "diagnostic_trace/bookkeeping.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {

// Test-only window into the registry singleton.
class FlowTraceTestAccess {
 public:
  // Forgets every flow, record, handler and the node, as in a fresh process.
  static void Clear() {
    const auto state = Members();
    std::lock_guard<std::mutex> publishing(state.bookkeeping.diagnostics_mutex);
    state.bookkeeping.diagnostics_publisher.reset();
    state.bookkeeping.diagnostics_node.reset();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.flow_queues.clear();
    state.flow_configs.clear();
    state.flow_handlers.clear();
    state.bookkeeping.watches.clear();
    state.node.reset();
  }

  // The registered configuration of `flow_id`, or empty.
  static std::shared_ptr<TraceFlowCfg> Config(const std::string& flow_id) {
    const auto state = Members();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto it = state.flow_configs.find(flow_id);
    return it == state.flow_configs.end() ? nullptr : it->second;
  }

  static bool HasQueue(const std::string& flow_id) {
    const auto state = Members();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.flow_queues.count(flow_id) != 0;
  }

  static bool HasHandler(const std::string& flow_id) {
    const auto state = Members();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.flow_handlers.count(flow_id) != 0;
  }

  static size_t FlowCount() {
    const auto state = Members();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.flow_configs.size();
  }

  // A copy of the flow's record (empty for an unknown flow), taken under the registry lock.
  static PointQueue Record(const std::string& flow_id) {
    const auto state = Members();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto it = state.flow_queues.find(flow_id);
    return it == state.flow_queues.end() ? PointQueue{} : it->second;
  }

  static std::shared_ptr<rclcpp::Node> Node() {
    const auto state = Members();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.node;
  }

  // What PublishDiagnostics would send now, into `array`; `layout` is left as it is.
  static void FillDiagnostics(diagnostic_msgs::msg::DiagnosticArray& array, uint64_t& /*layout*/) {
    array = FlowTrace::GetInstance().CollectDiagnostics();
  }

  // The publisher PublishDiagnostics made, or empty.
  static rclcpp::Publisher<diagnostic_msgs::msg::DiagnosticArray>::SharedPtr
  DiagnosticsPublisher() {
    const auto state = Members();
    std::lock_guard<std::mutex> publishing(state.bookkeeping.diagnostics_mutex);
    return state.bookkeeping.diagnostics_publisher;
  }

 private:
  static FlowTrace::Bookkeeping::Members Members() {
    return FlowTrace::Bookkeeping::MembersOf(FlowTrace::GetInstance());
  }
};

}  // namespace valtrix::trace
