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
    std::lock_guard<std::mutex> lock(trace.mutex_);
    trace.flow_queues_.clear();
    trace.flow_configs_.clear();
    trace.flow_handlers_.clear();
    trace.flow_watches_.clear();
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
    return FlowTrace::GetInstance().node_;
  }
};

}  // namespace valtrix::trace
