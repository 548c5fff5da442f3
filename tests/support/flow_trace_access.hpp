#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {

// Test-only window into the registry singleton.
class FlowTraceTestAccess {
 public:
  // Forgets every flow, record, handler and the node, as in a fresh process.
  static void Clear() {
    FlowTrace& trace = FlowTrace::GetInstance();
    std::lock_guard<std::mutex> publishing(trace.diagnostics_mutex_);
    trace.diagnostics_publisher_.reset();
    trace.diagnostics_node_.reset();
    trace.diagnostics_ = diagnostic_msgs::msg::DiagnosticArray();
    trace.diagnostics_layout_ = 0;
    std::lock_guard<std::mutex> lock(trace.mutex_);
    trace.flow_queues_.clear();
    trace.flow_configs_.clear();
    trace.flow_handlers_.clear();
    trace.flow_watches_.clear();
    trace.flows_in_order_stale_ = true;
    trace.node_.reset();
  }

  // The registered configuration of `flow_id`, or empty.
  static std::shared_ptr<TraceFlowCfg> Config(const std::string& flow_id) {
    FlowTrace& trace = FlowTrace::GetInstance();
    std::lock_guard<std::mutex> lock(trace.mutex_);
    auto it = trace.flow_configs_.find(flow_id);
    return it == trace.flow_configs_.end() ? nullptr : it->second;
  }

  static bool HasQueue(const std::string& flow_id) {
    FlowTrace& trace = FlowTrace::GetInstance();
    std::lock_guard<std::mutex> lock(trace.mutex_);
    return trace.flow_queues_.count(flow_id) != 0;
  }

  static bool HasHandler(const std::string& flow_id) {
    FlowTrace& trace = FlowTrace::GetInstance();
    std::lock_guard<std::mutex> lock(trace.mutex_);
    return trace.flow_handlers_.count(flow_id) != 0;
  }

  static size_t FlowCount() {
    FlowTrace& trace = FlowTrace::GetInstance();
    std::lock_guard<std::mutex> lock(trace.mutex_);
    return trace.flow_configs_.size();
  }

  // A copy of the flow's record (empty for an unknown flow), taken under the registry lock.
  static PointQueue Record(const std::string& flow_id) {
    FlowTrace& trace = FlowTrace::GetInstance();
    std::lock_guard<std::mutex> lock(trace.mutex_);
    auto it = trace.flow_queues_.find(flow_id);
    return it == trace.flow_queues_.end() ? PointQueue{} : it->second;
  }

  static std::shared_ptr<rclcpp::Node> Node() {
    FlowTrace& trace = FlowTrace::GetInstance();
    std::lock_guard<std::mutex> lock(trace.mutex_);
    return trace.node_;
  }

  // Refills `array` in place as PublishDiagnostics does before it publishes; `layout` as
  // fillDiagnostics keeps it (0 for an array never filled).
  static void FillDiagnostics(diagnostic_msgs::msg::DiagnosticArray& array, uint64_t& layout) {
    FlowTrace& trace = FlowTrace::GetInstance();
    std::lock_guard<std::mutex> lock(trace.mutex_);
    trace.fillDiagnostics(array, layout);
  }

  // The publisher PublishDiagnostics made, or empty.
  static rclcpp::Publisher<diagnostic_msgs::msg::DiagnosticArray>::SharedPtr
  DiagnosticsPublisher() {
    FlowTrace& trace = FlowTrace::GetInstance();
    std::lock_guard<std::mutex> publishing(trace.diagnostics_mutex_);
    return trace.diagnostics_publisher_;
  }
};

}  // namespace valtrix::trace
