// flow_monitor: judges the flows of a configuration file from the points that other nodes
// report on a topic (valtrix::trace::FlowReporter, or any publisher of the same messages).
//   flow_monitor --ros-args -p config_file:=flows.yaml [-p trace_topic:=...] [-r __ns:=/robot1]
// Ctrl-C ends it.
#include <signal.h>

#include <cstdio>
#include <exception>
#include <memory>

#include <rclcpp/rclcpp.hpp>

#include "flow_monitor.hpp"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

void SetTerminationSignalsBlocked(bool blocked) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &signals, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // A Ctrl-C that comes before rclcpp::init has installed its handler waits for it.
  SetTerminationSignalsBlocked(true);
  try {
    rclcpp::init(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "flow_monitor: %s\n", error.what());
    return kExitFailure;
  }
  SetTerminationSignalsBlocked(false);

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
