#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/node.hpp>
#include <rclcpp/publisher.hpp>
#include <rclcpp/qos.hpp>

namespace valtrix::trace {

/// The quality of service of a trace topic, for reporters and the monitor alike: reliable,
/// volatile, keep-all. Keep-all on the writer makes a burst wait for the reader's
/// acknowledgements instead of overwriting points not yet delivered (a keep-last writer drops
/// its oldest unacknowledged sample once its depth is full), and keep-all on the reader keeps
/// every point received until the monitor takes it, however far it falls behind (a keep-last
/// reader would overwrite them): a burst costs memory and delay, never points. The price: while
/// a monitor that died is still matched (Cyclone DDS notices after its lease, 10 s by default),
/// `Trace` waits once some 500 kB of points (about 2 500) are unacknowledged.
rclcpp::QoS TraceTopicQos();

/// Reports the steps of flows from any node of the ROS graph to a `flow_monitor`, which judges
/// them with `FlowTrace`. Each point is one `diagnostic_msgs/msg/DiagnosticArray` holding one
/// `DiagnosticStatus`: `name` the flow id, `message` the point id, `level` OK for success and
/// ERROR for failure, `values` the metadata in order, `hardware_id` the node's fully qualified
/// name, and `header.stamp` the system time of the call. Shares nothing with `FlowTrace`; any
/// thread may call `Trace`.
class FlowReporter {
 public:
  /// Free key/value annotations of a point, in order.
  using Metadata = std::vector<std::pair<std::string, std::string>>;

  /// Publishes on `topic`, relative to the node's namespace unless it starts with '/'.
  explicit FlowReporter(const std::shared_ptr<rclcpp::Node>& node,
                        const std::string& topic = "flow_trace");

  /// Reports one step, stamped now.
  void Trace(const std::string& flow_id, const std::string& point_id, bool success,
             const Metadata& metadata = {});

  /// Waits up to `timeout` until a monitor subscribes; true when one has. Points reported before
  /// reach no monitor: the topic is volatile, as ROS 2 topics are unless made otherwise.
  bool WaitForMonitor(std::chrono::milliseconds timeout) const;

  /// The fully qualified topic the points go to.
  const char* topic() const { return publisher_->get_topic_name(); }

 private:
  std::string hardware_id_;
  rclcpp::Publisher<diagnostic_msgs::msg::DiagnosticArray>::SharedPtr publisher_;
};

}  // namespace valtrix::trace
