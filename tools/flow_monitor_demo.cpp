// flow_monitor_demo: one pick-and-place job, three processes, one monitor. Run each role as a
// process of its own beside flow_monitor (scripts/monitor-demo starts all four):
//   flow_monitor_demo sequencer|arm|gripper [--ros-args -r __ns:=/robot1]
// The sequencer commands every step of "grab_place_task" to the arm or the gripper (topics
// "arm/command" and "gripper/command", std_msgs/msg/String), which report it to the monitor with
// a FlowReporter; it goes on once the monitor's event for the step has come. It plays three runs:
// a clean one, judged when the sequencer reports the last point; one where the gripper reports
// "gripper_closed" failed; and one where the gripper process dies before "gripper_closed", which
// the monitor reports overdue. After a failure the sequencer asks for the verdict ("check_flow").
// The sequencer ends after the third verdict; Ctrl-C ends the drivers.
#include <signal.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/rclcpp.hpp>
#include <std_msgs/msg/string.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_reporter.hpp"

namespace {

using diagnostic_msgs::msg::DiagnosticArray;
using std_msgs::msg::String;
using valtrix::trace::FlowReporter;
using valtrix_protocol::msg::DiagnosticEvent;
using Clock = std::chrono::steady_clock;

constexpr char kFlow[] = "grab_place_task";
constexpr char kSequencer[] = "sequencer";
constexpr char kArm[] = "arm";
constexpr char kGripper[] = "gripper";
constexpr char kEventTopic[] = "flow_events";  // the flow's diag_topic in monitor_flow.yaml
constexpr char kCheckTopic[] = "check_flow";
constexpr char kVerdictTopic[] = "flow_verdict";
constexpr size_t kDepth = 100;

struct Step {
  const char* role;
  const char* point;
};
constexpr std::array<Step, 7> kSteps = {{
    {kArm, "home_pos_reached"},
    {kGripper, "gripper_opened"},
    {kArm, "target_pos_reached"},
    {kGripper, "gripper_closed"},
    {kArm, "place_pos_reached"},
    {kGripper, "gripper_opened"},
    {kSequencer, "task_completed"},
}};
constexpr int kRuns = 3;
constexpr char kGrip[] = "gripper_closed";
constexpr char kOverdue[] = "Status Failed, point overdue: ";

// How long a driver's motion takes, how long the sequencer still waits for an overdue step
// before it gives up on the run, and how long it waits for anything at most.
constexpr std::chrono::milliseconds kMotion(150);
constexpr std::chrono::milliseconds kGrace(2000);
constexpr std::chrono::milliseconds kPatience(30000);
constexpr std::chrono::milliseconds kSpinSlice(10);

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

std::string CommandTopic(const std::string& role) { return role + "/command"; }

// A driver: carries out each commanded step (a short motion) and reports it. The gripper's third
// grip never happens: its process dies first, as a crashed driver would.
class Driver {
 public:
  Driver(const std::shared_ptr<rclcpp::Node>& node, const std::string& role)
      : node_(node), role_(role), reporter_(node) {
    if (!reporter_.WaitForMonitor(kPatience)) {
      throw std::runtime_error("no flow_monitor subscribes to " + std::string(reporter_.topic()));
    }
    // Commands are taken only once the monitor hears this driver, so no step reported is lost.
    commands_ = node_->create_subscription<String>(
        CommandTopic(role_), rclcpp::QoS(kDepth),
        [this](const String& command) { Start(command.data); });
    LOG_INFO("{} ready", role_);
  }

 private:
  void Start(const std::string& point) {
    motion_ = node_->create_wall_timer(kMotion, [this, point](rclcpp::TimerBase& timer) {
      timer.cancel();
      Finish(point);
    });
  }

  void Finish(const std::string& point) {
    if (role_ == kGripper && point == kGrip) {
      ++grips_;
      if (grips_ == 3) {
        LOG_WARN("gripper: the driver crashes before '{}'", point);
        std::fflush(stdout);
        raise(SIGKILL);
      }
      const bool held = grips_ == 1;
      reporter_.Trace(kFlow, point, held, {{"force", held ? "12.5" : "0.0"}});
    } else {
      reporter_.Trace(kFlow, point, true);
    }
    LOG_INFO("{}: reported '{}'", role_, point);
  }

  std::shared_ptr<rclcpp::Node> node_;
  std::string role_;
  FlowReporter reporter_;
  rclcpp::Subscription<String>::SharedPtr commands_;
  rclcpp::TimerBase::SharedPtr motion_;
  int grips_ = 0;
};

// The sequencer: commands the steps one at a time, each once the monitor has judged the one
// before, and asks for a verdict when a step fails.
class Sequencer {
 public:
  explicit Sequencer(const std::shared_ptr<rclcpp::Node>& node)
      : node_(node),
        reporter_(node),
        arm_(node->create_publisher<String>(CommandTopic(kArm), rclcpp::QoS(kDepth))),
        gripper_(node->create_publisher<String>(CommandTopic(kGripper), rclcpp::QoS(kDepth))),
        check_(node->create_publisher<String>(kCheckTopic, rclcpp::QoS(kDepth))),
        events_(node->create_subscription<DiagnosticEvent>(
            kEventTopic, rclcpp::QoS(kDepth),
            [this](const DiagnosticEvent& event) { events_seen_.push_back(event.detail); })),
        verdicts_(node->create_subscription<DiagnosticArray>(
            kVerdictTopic, rclcpp::QoS(kDepth), [this](const DiagnosticArray& array) {
              for (const auto& status : array.status) {
                verdicts_seen_.push_back(status.message);
              }
            })) {
    executor_.add_node(node_);
  }

  bool Run() {
    if (!SpinUntil([this] { return Connected(); }, kPatience)) {
      LOG_ERROR("sequencer: the monitor, the arm or the gripper is not there");
      return false;
    }
    for (int run = 1; run <= kRuns; ++run) {
      LOG_INFO("sequencer: run {} starts", run);
      const std::optional<std::string> verdict = PlayRun();
      if (!verdict) {
        LOG_ERROR("sequencer: run {} got no verdict in time", run);
        return false;
      }
      LOG_INFO("sequencer: run {} verdict {}", run, *verdict);
    }
    return true;
  }

 private:
  bool Connected() const {
    return reporter_.WaitForMonitor(std::chrono::milliseconds(0)) &&
           arm_->get_subscription_count() > 0 && gripper_->get_subscription_count() > 0 &&
           check_->get_subscription_count() > 0 && events_->get_publisher_count() > 0 &&
           verdicts_->get_publisher_count() > 0;
  }

  // Plays the steps until one fails; the verdict comes with the last point or on request.
  std::optional<std::string> PlayRun() {
    for (const Step& step : kSteps) {
      const std::string point = step.point;
      if (std::string(step.role) == kSequencer) {
        reporter_.Trace(kFlow, point, true);
      } else {
        String command;
        command.data = point;
        (std::string(step.role) == kArm ? arm_ : gripper_)->publish(command);
      }
      const std::optional<std::string> outcome = NextOutcome(point);
      if (!outcome) {
        return std::nullopt;
      }
      if (outcome->rfind(kOverdue, 0) == 0) {
        LOG_WARN("sequencer: '{}', waiting {} ms more", *outcome, kGrace.count());
        SpinUntil([] { return false; }, kGrace);
      }
      if (*outcome != "Status OK: " + point) {
        LOG_WARN("sequencer: '{}', asking for the verdict", *outcome);
        String request;
        request.data = kFlow;
        check_->publish(request);
        break;
      }
    }
    return NextVerdict();
  }

  // The monitor's next event about `point`: "Status OK: ", "Status Failed: " or "Status Failed,
  // point overdue: " followed by it.
  std::optional<std::string> NextOutcome(const std::string& point) {
    std::optional<std::string> outcome;
    SpinUntil(
        [&] {
          while (!outcome && !events_seen_.empty()) {
            const std::string detail = events_seen_.front();
            events_seen_.pop_front();
            const std::string suffix = ": " + point;
            if (detail.size() > suffix.size() &&
                detail.compare(detail.size() - suffix.size(), suffix.size(), suffix) == 0) {
              outcome = detail;
            }
          }
          return outcome.has_value();
        },
        kPatience);
    return outcome;
  }

  std::optional<std::string> NextVerdict() {
    if (!SpinUntil([this] { return !verdicts_seen_.empty(); }, kPatience)) {
      return std::nullopt;
    }
    const std::string verdict = verdicts_seen_.front();
    verdicts_seen_.pop_front();
    return verdict;
  }

  bool SpinUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
      if (!rclcpp::ok() || Clock::now() >= deadline) {
        return false;
      }
      executor_.spin_once(kSpinSlice);
    }
    return true;
  }

  std::shared_ptr<rclcpp::Node> node_;
  FlowReporter reporter_;
  rclcpp::Publisher<String>::SharedPtr arm_;
  rclcpp::Publisher<String>::SharedPtr gripper_;
  rclcpp::Publisher<String>::SharedPtr check_;
  rclcpp::Subscription<DiagnosticEvent>::SharedPtr events_;
  rclcpp::Subscription<DiagnosticArray>::SharedPtr verdicts_;
  rclcpp::executors::SingleThreadedExecutor executor_;
  std::deque<std::string> events_seen_;
  std::deque<std::string> verdicts_seen_;
};

int RunRole(const std::string& role) {
  auto node = std::make_shared<rclcpp::Node>(role);
  if (role == kSequencer) {
    return Sequencer(node).Run() ? kExitOk : kExitFailure;
  }
  Driver driver(node, role);
  rclcpp::spin(node);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string role = argc > 1 ? argv[1] : "";
  if (role != kSequencer && role != kArm && role != kGripper) {
    std::fprintf(stderr, "usage: flow_monitor_demo sequencer|arm|gripper [--ros-args ...]\n");
    return kExitFailure;
  }
  int status = kExitOk;
  try {
    rclcpp::init(argc, argv);
    status = RunRole(role);
  } catch (const std::exception& error) {
    if (rclcpp::ok()) {
      std::fprintf(stderr, "flow_monitor_demo %s: %s\n", role.c_str(), error.what());
      status = kExitFailure;
    }
  }
  if (rclcpp::ok()) {
    rclcpp::shutdown();
  }
  return status;
}
