// flow_monitor judging points that other processes report: two robots playing the demo side by
// side in their namespaces, the README's rclpy reporter beside a C++ one, and a burst with bad
// messages mixed in.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/rclcpp.hpp>
#include <std_msgs/msg/string.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

#include "support/child_process.hpp"
#include "support/temp_files.hpp"
#include "valtrix/trace/flow_reporter.hpp"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using diagnostic_msgs::msg::DiagnosticArray;
using diagnostic_msgs::msg::DiagnosticStatus;
using valtrix::test::Child;
using valtrix_protocol::msg::DiagnosticEvent;
using Values = std::map<std::string, std::string>;

const std::string kConfig = std::string(VALTRIX_SOURCE_DIR) + "/config/monitor_flow.yaml";
constexpr auto kLong = std::chrono::seconds(120);

Values ValuesOf(const DiagnosticStatus& status) {
  Values values;
  for (const auto& entry : status.values) {
    values[entry.key] = entry.value;
  }
  return values;
}

// The test's own node, holding what it hears, spun while the test waits.
class Ear {
 public:
  Ear() : node_(std::make_shared<rclcpp::Node>("monitor_test")) {}

  // The messages of `topic`, in arrival order.
  template <typename MessageT>
  const std::vector<MessageT>& Listen(const std::string& topic) {
    auto inbox = std::make_shared<std::vector<MessageT>>();
    subscriptions_.push_back(node_->create_subscription<MessageT>(
        topic, rclcpp::QoS(1000), [inbox](const MessageT& message) { inbox->push_back(message); }));
    inboxes_.push_back(inbox);
    return *inbox;
  }

  bool SpinUntil(const std::function<bool()>& done, std::chrono::seconds timeout = kLong) {
    return valtrix::test::WaitUntil(
        [&] {
          rclcpp::spin_some(node_);
          return done();
        },
        timeout);
  }

  // The newest status named `name` that `hardware_id` published on /diagnostics.
  static Values Newest(const std::vector<DiagnosticArray>& arrays, const std::string& name,
                       const std::string& hardware_id) {
    for (auto array = arrays.rbegin(); array != arrays.rend(); ++array) {
      for (const auto& status : array->status) {
        if (status.name == name && status.hardware_id == hardware_id) {
          return ValuesOf(status);
        }
      }
    }
    return {};
  }

  std::shared_ptr<rclcpp::Node> node() const { return node_; }

 private:
  std::shared_ptr<rclcpp::Node> node_;
  std::vector<rclcpp::SubscriptionBase::SharedPtr> subscriptions_;
  std::vector<std::shared_ptr<void>> inboxes_;
};

class FlowMonitorEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
  }

  static std::vector<std::string> Monitor(const std::string& config, const std::string& ns = "") {
    std::vector<std::string> argv = {FLOW_MONITOR_PATH, "--ros-args", "-p",
                                     "config_file:=" + config, "-p", "diagnostics_period_ms:=200"};
    if (!ns.empty()) {
      argv.insert(argv.end(), {"-r", "__ns:=" + ns});
    }
    return argv;
  }
};

// "<message> <trigger> <failure_point> <desired_point>" of each verdict.
std::vector<std::string> Verdicts(const std::vector<DiagnosticArray>& arrays) {
  std::vector<std::string> verdicts;
  for (const auto& array : arrays) {
    Values values = ValuesOf(array.status.at(0));
    verdicts.push_back(array.status[0].message + " " + values["trigger"] + " " +
                       values["failure_point"] + " " + values["desired_point"]);
  }
  return verdicts;
}

TEST_F(FlowMonitorEndToEndTest, TwoRobotsPlayTheDemoSideBySideAndAreJudgedApart) {
  Ear ear;
  const auto& diagnostics = ear.Listen<DiagnosticArray>("/diagnostics");
  std::map<std::string, const std::vector<DiagnosticArray>*> verdicts;
  std::map<std::string, const std::vector<DiagnosticEvent>*> events;
  std::map<std::string, std::vector<std::unique_ptr<Child>>> processes;
  for (const std::string robot : {"/robot1", "/robot2"}) {
    verdicts[robot] = &ear.Listen<DiagnosticArray>(robot + "/flow_verdict");
    events[robot] = &ear.Listen<DiagnosticEvent>(robot + "/flow_events");
    processes[robot].push_back(std::make_unique<Child>(Monitor(kConfig, robot)));
    for (const char* role : {"arm", "gripper", "sequencer"}) {
      processes[robot].push_back(std::make_unique<Child>(
          std::vector<std::string>{DEMO_PATH, role, "--ros-args", "-r", "__ns:=" + robot}));
    }
  }
  for (const std::string robot : {"/robot1", "/robot2"}) {
    Child& monitor = *processes[robot][0];
    Child& arm = *processes[robot][1];
    Child& gripper = *processes[robot][2];
    Child& sequencer = *processes[robot][3];
    SCOPED_TRACE(robot);
    ASSERT_EQ(sequencer.WaitForExit(kLong), 0) << sequencer.Output() << monitor.Output();
    EXPECT_EQ(gripper.WaitForExit(kLong), 128 + SIGKILL);  // the driver's crash
    const std::string id = robot + "/flow_monitor";
    ASSERT_TRUE(ear.SpinUntil([&] {
      return verdicts[robot]->size() == 3 &&
             Ear::Newest(diagnostics, "flow_monitor: grab_place_task", id)["runs_judged"] == "3";
    })) << monitor.Output();
    EXPECT_THAT(Verdicts(*verdicts[robot]),
                ElementsAre("SUCCESS last_point  ", "FAILED request gripper_closed gripper_closed",
                            "MISSING_POINT request  gripper_closed"));
    // Each robot's reporters are counted by its own monitor only.
    Values flow = Ear::Newest(diagnostics, "flow_monitor: grab_place_task", id);
    EXPECT_EQ(flow["received from " + robot + "/arm"], "7");
    EXPECT_EQ(flow["received from " + robot + "/gripper"], "6");
    EXPECT_EQ(flow["received from " + robot + "/sequencer"], "1");
    // The flow's statistics, kept across the monitor's resets: three runs, two of them failed.
    EXPECT_EQ(flow["runs"], "3");
    EXPECT_EQ(flow["verdicts_failed"], "2");
    EXPECT_EQ(flow.size(), 17U);  // 12 of FlowTrace, runs_judged, last_verdict, 3 reporters
    bool stale = false;
    for (const auto& array : diagnostics) {
      for (const auto& status : array.status) {
        stale |= status.hardware_id == id && status.level == DiagnosticStatus::STALE;
      }
    }
    EXPECT_TRUE(stale) << "the dead gripper's point never showed overdue on /diagnostics";

    std::vector<std::string> details;
    for (const auto& event : *events[robot]) {
      details.push_back(event.detail);
    }
    const std::vector<std::string> ok = {"Status OK: home_pos_reached", "Status OK: gripper_opened",
                                         "Status OK: target_pos_reached"};
    std::vector<std::string> expected = ok;
    expected.insert(expected.end(), {"Status OK: gripper_closed", "Status OK: place_pos_reached",
                                     "Status OK: gripper_opened", "Status OK: task_completed",
                                     "Status OK, work flow complete: grab_place_task", "Succeed"});
    expected.insert(expected.end(), ok.begin(), ok.end());
    expected.push_back("Status Failed: gripper_closed");
    expected.insert(expected.end(), ok.begin(), ok.end());
    expected.push_back("Status Failed, point overdue: gripper_closed");
    EXPECT_EQ(details, expected);

    monitor.Signal(SIGINT);
    arm.Signal(SIGINT);
    EXPECT_EQ(monitor.WaitForExit(std::chrono::seconds(10)), 0);
    EXPECT_EQ(arm.WaitForExit(std::chrono::seconds(10)), 0);
    const std::string log = monitor.Output();
    EXPECT_THAT(log, HasSubstr("[WARN] Flow 'grab_place_task' point 'gripper_closed' overdue: "));
    EXPECT_THAT(log, HasSubstr("[INFO] Verdict of flow 'grab_place_task' (last_point): SUCCESS"));
    EXPECT_THAT(log, HasSubstr("[ERROR] Verdict of flow 'grab_place_task' (request): FAILED (1)"));
    EXPECT_THAT(log, HasSubstr("(request): MISSING_POINT (4)"));
  }
}

// The rclpy reporter of the README reports the first half of a run, this process the rest.
TEST_F(FlowMonitorEndToEndTest, TheReadmePythonReporterReportsBesideACppOne) {
  if (std::system("python3 -c 'import rclpy, diagnostic_msgs.msg' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "rclpy cannot be imported here: source a ROS 2 humble setup "
                    "(/opt/ros/humble/setup.bash) to run the README's Python reporter";
  }
  const std::regex block("<!-- rclpy example: flow_reporter.py -->\n```python\n([^`]*)```");
  std::smatch match;
  const std::string readme =
      valtrix::test::ReadFile(std::string(VALTRIX_SOURCE_DIR) + "/README.md");
  ASSERT_TRUE(std::regex_search(readme, match, block));
  valtrix::test::TempFiles files;
  const std::string script = files.Write(match[1]);

  Ear ear;
  const auto& diagnostics = ear.Listen<DiagnosticArray>("/diagnostics");
  const auto& verdicts = ear.Listen<DiagnosticArray>("flow_verdict");
  Child monitor(Monitor(kConfig));
  Child python({"/usr/bin/env", "python3", script, "grab_place_task", "home_pos_reached",
                "gripper_opened", "target_pos_reached", "gripper_closed"});
  ASSERT_EQ(python.WaitForExit(kLong), 0) << python.Output();

  valtrix::trace::FlowReporter reporter(ear.node());
  ASSERT_TRUE(reporter.WaitForMonitor(kLong));
  for (const char* point : {"place_pos_reached", "gripper_opened", "task_completed"}) {
    reporter.Trace("grab_place_task", point, true);
  }
  ASSERT_TRUE(ear.SpinUntil([&] {
    return !verdicts.empty() && Ear::Newest(diagnostics, "flow_monitor: grab_place_task",
                                            "/flow_monitor")["runs_judged"] == "1";
  })) << monitor.Output();
  EXPECT_THAT(Verdicts(verdicts), ElementsAre("SUCCESS last_point  "));
  Values flow = Ear::Newest(diagnostics, "flow_monitor: grab_place_task", "/flow_monitor");
  EXPECT_EQ(flow["received from /flow_reporter"], "4");
  EXPECT_EQ(flow["received from /monitor_test"], "3");
  monitor.Signal(SIGINT);  // leaves the DDS graph at once, unlike a killed process
  EXPECT_EQ(monitor.WaitForExit(std::chrono::seconds(10)), 0);
}

TEST_F(FlowMonitorEndToEndTest, BurstsLoseNothingAndBadPointsOnlyWarnAndCount) {
  valtrix::test::TempFiles files;
  const std::string config = files.Write(R"(workflows:
  - {flow_id: burst, flow_points: [{point_id: tick}]}
)");
  constexpr int kPerReporter = 3334;  // three reporters, 10 002 points
  Ear ear;
  const auto& diagnostics = ear.Listen<DiagnosticArray>("/diagnostics");
  const auto& verdicts = ear.Listen<DiagnosticArray>("flow_verdict");
  const std::string run_log = files.Keep(config + ".jsonl");
  std::vector<std::string> argv = Monitor(config);
  argv.insert(argv.end(), {"-p", "run_log:=" + run_log});
  Child monitor(argv);
  auto raw = ear.node()->create_publisher<DiagnosticArray>("flow_trace",
                                                           valtrix::trace::TraceTopicQos());
  std::vector<std::shared_ptr<rclcpp::Node>> nodes;
  std::vector<std::unique_ptr<valtrix::trace::FlowReporter>> reporters;
  for (const char* name : {"burst_a", "burst_b", "burst_c"}) {
    nodes.push_back(std::make_shared<rclcpp::Node>(name));
    reporters.push_back(std::make_unique<valtrix::trace::FlowReporter>(nodes.back()));
  }
  // Sent only once the monitor hears all four writers.
  ASSERT_TRUE(ear.SpinUntil([&] {
    return Ear::Newest(diagnostics, "flow_monitor: reception", "/flow_monitor")["reporters"] == "4";
  })) << monitor.Output();

  std::vector<std::thread> threads;
  for (auto& reporter : reporters) {
    threads.emplace_back([&reporter] {
      for (int k = 0; k < kPerReporter; ++k) {
        reporter->Trace("burst", "tick", true, {{"k", std::to_string(k)}});
      }
    });
  }
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"", "tick"}, {"burst", ""}, {"no_such_flow", "tick"}, {"no_such_flow", "tock"}};
  for (const auto& [flow, point] : bad) {
    DiagnosticArray array;
    array.status.resize(1);
    array.status[0].name = flow;
    array.status[0].message = point;
    raw->publish(array);
  }
  raw->publish(DiagnosticArray());
  for (auto& thread : threads) {
    thread.join();
  }
  std_msgs::msg::String request;
  request.data = "burst";
  auto check = ear.node()->create_publisher<std_msgs::msg::String>("check_flow", 10);
  ASSERT_TRUE(ear.SpinUntil([&] { return check->get_subscription_count() > 0; }));
  ASSERT_TRUE(ear.SpinUntil([&] {
    Values flow = Ear::Newest(diagnostics, "flow_monitor: burst", "/flow_monitor");
    return flow["received from /burst_a"] == "3334" && flow["received from /burst_b"] == "3334" &&
           flow["received from /burst_c"] == "3334";
  })) << monitor.Output();
  check->publish(request);
  ASSERT_TRUE(ear.SpinUntil([&] { return !verdicts.empty(); })) << monitor.Output();
  EXPECT_THAT(Verdicts(verdicts), ElementsAre("SUCCESS request  "));
  Values reception = Ear::Newest(diagnostics, "flow_monitor: reception", "/flow_monitor");
  EXPECT_EQ(reception["unknown_flow"], "2");
  EXPECT_EQ(reception["malformed"], "3");

  monitor.Signal(SIGINT);
  EXPECT_EQ(monitor.WaitForExit(std::chrono::seconds(10)), 0);
  const std::string log = monitor.Output();
  EXPECT_THAT(log, HasSubstr("[WARN] Dropped a point with an empty flow id from ''"));
  EXPECT_THAT(log, HasSubstr("[WARN] Dropped a point with an empty point id from ''"));
  EXPECT_THAT(log, HasSubstr("[WARN] Dropped point 'tick' of unknown flow 'no_such_flow'"));
  EXPECT_THAT(log, HasSubstr("[WARN] Dropped a message without a status"));
  EXPECT_EQ(log.find("no_such_flow", log.find("no_such_flow") + 1), std::string::npos)
      << "the second point of an unknown flow is warned again";
  // The run log: the registration, every point received, the verdict and the new run.
  const std::string lines = valtrix::test::ReadFile(run_log);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3 * kPerReporter + 3);
  EXPECT_THAT(lines, HasSubstr(R"("type":"verdict","flow":"burst",)"));
}

}  // namespace
