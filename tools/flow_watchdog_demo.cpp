// flow_watchdog_demo: deadlines that fire on their own. A pick-and-place flow stops before its
// gripper closes and a heartbeat stops after a few beats; a 100 ms wall timer calling
// FlowTrace::CheckTimeouts() reports both within one period of their limits. Later the arm moves
// on without the part. A 1 s wall timer calling FlowTrace::PublishDiagnostics() shows the health
// of both flows on /diagnostics throughout. Ctrl-C ends it.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include <ament_index_cpp/get_package_share_directory.hpp>
#include <rclcpp/rclcpp.hpp>

#include "interrupts.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace {

using valtrix::trace::FlowTrace;

constexpr char kPackage[] = "valtrix_diagnostic_reporter";
constexpr char kConfigFile[] = "/config/watchdog_flow.yaml";
constexpr char kPickFlow[] = "pick_and_place";
constexpr char kHeartbeat[] = "heartbeat";
constexpr std::chrono::milliseconds kWatchPeriod(100);
constexpr std::chrono::seconds kDiagnosticsPeriod(1);
// Not a multiple of the watchdog's period, so that steps and checks do not coincide.
constexpr std::chrono::milliseconds kStepPeriod(230);
// The job gets as far as the part; "gripper_closed" never comes.
constexpr std::array<const char*, 3> kPickSteps = {"home_pos_reached", "gripper_opened",
                                                   "target_pos_reached"};
constexpr size_t kHeartbeats = 4;
constexpr size_t kOverduePoints = 2;
// At the 20th step (4.6 s), long after "gripper_closed" is overdue (2.2 s), the arm gives up on
// it and reaches the place position: the gripper's point is missing, and so the job's verdict
// says.
constexpr size_t kGiveUpStep = 20;
constexpr char kGiveUpPoint[] = "place_pos_reached";

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

void RunDemo() {
  const std::string config = ament_index_cpp::get_package_share_directory(kPackage) + kConfigFile;
  auto node = std::make_shared<rclcpp::Node>("flow_watchdog_demo");
  FlowTrace& flows = FlowTrace::GetInstance();
  flows.Init(config, node);

  // The watchdog: this timer is all an application adds to its own node.
  size_t reported = 0;
  auto watchdog = node->create_wall_timer(kWatchPeriod, [&flows, &reported] {
    const size_t before = reported;
    reported += flows.CheckTimeouts();
    if (before < kOverduePoints && reported >= kOverduePoints) {
      LOG_INFO("Both overdue points reported, each once");
    }
  });

  // The health of every flow for rqt_robot_monitor and friends: this timer is all it takes.
  auto diagnostics =
      node->create_wall_timer(kDiagnosticsPeriod, [&flows] { flows.PublishDiagnostics(); });

  // The application's own work: one step every 230 ms, then silence, then one last step.
  size_t step = 0;
  auto script = node->create_wall_timer(kStepPeriod, [&flows, &step](rclcpp::TimerBase& timer) {
    if (step < kPickSteps.size()) {
      flows.Trace(kPickFlow, kPickSteps[step], true);
    }
    if (step < kHeartbeats) {
      flows.Trace(kHeartbeat, kHeartbeat, true);
    }
    if (step + 1 == kHeartbeats) {
      LOG_INFO("The heartbeat stops here, and 'gripper_closed' never comes");
    }
    if (step == kGiveUpStep) {
      LOG_INFO("The arm moves on without the part");
      flows.Trace(kPickFlow, kGiveUpPoint, true);
      flows.CheckFlow(kPickFlow);
      LOG_INFO("Done; Ctrl-C ends the demo");
      timer.cancel();
    }
    ++step;
  });

  LOG_INFO("Checking time-outs every {} ms, publishing /diagnostics every {} s",
           kWatchPeriod.count(), kDiagnosticsPeriod.count());
  rclcpp::spin(node);
}

}  // namespace

int main(int argc, char** argv) {
  // Signals wait until rclcpp::init has installed its handler, then go to a thread of their own.
  const valtrix::tools::InterruptsOnOwnThread interrupts;
  try {
    rclcpp::init(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "flow_watchdog_demo: %s\n", error.what());
    return kExitFailure;
  }
  interrupts.Receive();

  int status = kExitOk;
  try {
    RunDemo();
  } catch (const rclcpp::exceptions::RCLError& error) {
    // Ctrl-C during start-up shuts the context down, and creating the node or a publisher then
    // fails: that is a clean end, not an error.
    if (rclcpp::ok()) {
      std::fprintf(stderr, "flow_watchdog_demo: %s\n", error.what());
      status = kExitFailure;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "flow_watchdog_demo: %s\n", error.what());
    status = kExitFailure;
  }
  // After Ctrl-C the context is shut down already; leaving its signal handlers in place until
  // exit lets a second Ctrl-C during teardown do no harm.
  if (rclcpp::ok()) {
    rclcpp::shutdown();
  }
  return status;
}
