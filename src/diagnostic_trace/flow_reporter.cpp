#include "valtrix/trace/flow_reporter.hpp"

#include <thread>

#include <rclcpp/time.hpp>

namespace valtrix::trace {

namespace {

using diagnostic_msgs::msg::DiagnosticArray;
using diagnostic_msgs::msg::DiagnosticStatus;

// Only the history's kind counts: keep-all ignores the depth.
constexpr size_t kUnusedDepth = 1;
constexpr std::chrono::milliseconds kMonitorPoll(10);

}  // namespace

rclcpp::QoS TraceTopicQos() {
  return rclcpp::QoS(kUnusedDepth).keep_all().reliable().durability_volatile();
}

FlowReporter::FlowReporter(const std::shared_ptr<rclcpp::Node>& node, const std::string& topic)
    : hardware_id_(node->get_fully_qualified_name()),
      publisher_(node->create_publisher<DiagnosticArray>(topic, TraceTopicQos())) {}

void FlowReporter::Trace(const std::string& flow_id, const std::string& point_id, bool success,
                         const Metadata& metadata) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  DiagnosticArray array;
  array.header.stamp =
      rclcpp::Time(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(),
                   RCL_SYSTEM_TIME);
  DiagnosticStatus& status = array.status.emplace_back();
  status.level = success ? DiagnosticStatus::OK : DiagnosticStatus::ERROR;
  status.name = flow_id;
  status.message = point_id;
  status.hardware_id = hardware_id_;
  status.values.resize(metadata.size());
  for (size_t k = 0; k < metadata.size(); ++k) {
    status.values[k].key = metadata[k].first;
    status.values[k].value = metadata[k].second;
  }
  publisher_->publish(array);
}

bool FlowReporter::WaitForMonitor(std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (publisher_->get_subscription_count() == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kMonitorPoll);
  }
  return true;
}

}  // namespace valtrix::trace
