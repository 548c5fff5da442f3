// flow_monitor: judges the flows of a configuration file from the points that other nodes
// report on a topic (valtrix::trace::FlowReporter, or any publisher of the same messages).
//   flow_monitor --ros-args -p config_file:=flows.yaml [-p trace_topic:=...] [-r __ns:=/robot1]
// Ctrl-C ends it.
#include <cstdio>
#include <exception>
#include <memory>

#include <rclcpp/rclcpp.hpp>

#include "flow_monitor.hpp"
#include "interrupts.hpp"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

}  // namespace

int main(int argc, char** argv) {
  // Signals wait until rclcpp::init has installed its handler, then go to a thread of their own.
  const valtrix::tools::InterruptsOnOwnThread interrupts;
  try {
    rclcpp::init(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "flow_monitor: %s\n", error.what());
    return kExitFailure;
  }
  interrupts.Receive();

  int status = kExitOk;
  try {
    auto node = std::make_shared<rclcpp::Node>("flow_monitor");
    valtrix::monitor::FlowMonitor monitor(node);
    rclcpp::spin(node);
  } catch (const std::exception& error) {
    // Ctrl-C during start-up shuts the context down, and what was being made then fails: a clean
    // end, not an error.
    if (rclcpp::ok()) {
      std::fprintf(stderr, "flow_monitor: %s\n", error.what());
      status = kExitFailure;
    }
  }
  if (rclcpp::ok()) {
    rclcpp::shutdown();
  }
  return status;
}
