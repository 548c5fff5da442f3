#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "diagnostic_trace/bookkeeping.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {

// Test-only window into the registry singleton.
class FlowTraceTestAccess {
  static auto Members() { return FlowTrace::Bookkeeping::MembersOf(FlowTrace::GetInstance()); }

 public:
  // Forgets every flow, record, handler and the node, as in a fresh process.
  static void Clear() {
    auto [queues, configs, handlers, mutex, node, books] = Members();
    std::lock_guard<std::mutex> publishing(books.diagnostics_mutex);
    books.diagnostics_publisher.reset();
    books.diagnostics_node.reset();
    std::lock_guard<std::mutex> lock(mutex);
    queues.clear();
    configs.clear();
    handlers.clear();
    books.watches.clear();
    node.reset();
  }

  // The registered configuration of `flow_id`, or empty.
  static std::shared_ptr<TraceFlowCfg> Config(const std::string& flow_id) {
    auto [queues, configs, handlers, mutex, node, books] = Members();
    std::lock_guard<std::mutex> lock(mutex);
    auto it = configs.find(flow_id);
    return it == configs.end() ? nullptr : it->second;
  }

  static bool HasQueue(const std::string& flow_id) {
    auto [queues, configs, handlers, mutex, node, books] = Members();
    std::lock_guard<std::mutex> lock(mutex);
    return queues.count(flow_id) != 0;
  }

  static bool HasHandler(const std::string& flow_id) {
    auto [queues, configs, handlers, mutex, node, books] = Members();
    std::lock_guard<std::mutex> lock(mutex);
    return handlers.count(flow_id) != 0;
  }

  static size_t FlowCount() {
    auto [queues, configs, handlers, mutex, node, books] = Members();
    std::lock_guard<std::mutex> lock(mutex);
    return configs.size();
  }

  // A copy of the flow's record (empty for an unknown flow), taken under the registry lock.
  static PointQueue Record(const std::string& flow_id) {
    auto [queues, configs, handlers, mutex, node, books] = Members();
    std::lock_guard<std::mutex> lock(mutex);
    auto it = queues.find(flow_id);
    return it == queues.end() ? PointQueue{} : it->second;
  }

  static std::shared_ptr<rclcpp::Node> Node() {
    auto [queues, configs, handlers, mutex, node, books] = Members();
    std::lock_guard<std::mutex> lock(mutex);
    return node;
  }

  // What PublishDiagnostics would send now, into `array`; `layout` is left as it is.
  static void FillDiagnostics(diagnostic_msgs::msg::DiagnosticArray& array, uint64_t& /*layout*/) {
    array = FlowTrace::GetInstance().CollectDiagnostics();
  }

  // The publisher PublishDiagnostics made, or empty.
  static rclcpp::Publisher<diagnostic_msgs::msg::DiagnosticArray>::SharedPtr
  DiagnosticsPublisher() {
    auto [queues, configs, handlers, mutex, node, books] = Members();
    std::lock_guard<std::mutex> publishing(books.diagnostics_mutex);
    return books.diagnostics_publisher;
  }
};

}  // namespace valtrix::trace
