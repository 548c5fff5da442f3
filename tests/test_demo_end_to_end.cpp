// Runs trace_demo_node against two diag_echo processes, as a user would, and checks what both
// sides print: the four verdicts, the durations, the events in order, and a clean Ctrl-C, also
// when the Ctrl-C comes during start-up; and what its run log gives flow_replay and flow_report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/browser.hpp"
#include "support/child_process.hpp"
#include "support/run_logs.hpp"
#include "support/temp_files.hpp"

namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using valtrix::test::Child;
using valtrix::test::CommandRun;
using valtrix::test::RunCommand;
using valtrix::test::TempFiles;
using valtrix::test::ReadFile;
using valtrix::test::WaitUntil;

// Whether the process catches `signal_number` or holds it back, as its /proc status shows.
// Before it does (while the dynamic loader runs, for one), the signal simply kills it.
bool HandlesSignal(pid_t pid, int signal_number) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const uint64_t bit = uint64_t{1} << (signal_number - 1);
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigCgt:", 0) == 0) {
      if (std::stoull(line.substr(7), nullptr, 16) & bit) {
        return true;
      }
    }
  }
  return false;
}

// Polls without pausing, so that the moment the process takes the signal over is caught closely.
bool WaitUntilHandlesSignal(pid_t pid, int signal_number, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!HandlesSignal(pid, signal_number)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::yield();
  }
  return true;
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

// Log lines containing `needle`, without their sequence numbers.
std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.find(needle) != std::string::npos) {
      lines.push_back(line.size() > 4 && line[3] == ' ' ? line.substr(4) : line);
    }
  }
  return lines;
}

// Each event printed by diag_echo, summarised as "source_id code outcome detail".
std::vector<std::string> EchoedEvents(const std::string& text) {
  std::vector<std::string> events;
  std::istringstream in(text);
  std::string source;
  std::string code;
  std::string outcome;
  std::string detail;
  auto unquote = [](std::string value) {
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  };
  for (std::string line; std::getline(in, line);) {
    auto value_of = [&](const std::string& key) { return unquote(line.substr(key.size())); };
    if (line.rfind("source_id: ", 0) == 0) {
      source = value_of("source_id: ");
    } else if (line.rfind("event_code: ", 0) == 0) {
      code = value_of("event_code: ");
    } else if (line.rfind("outcome: ", 0) == 0) {
      outcome = value_of("outcome: ");
    } else if (line.rfind("detail: ", 0) == 0) {
      detail = value_of("detail: ");
    } else if (line == "---") {
      events.push_back(source + " " + code + " " + outcome + " " + detail);
    }
  }
  return events;
}

// The seconds of each printed event's stamp, in order.
std::vector<int64_t> EchoedStampSeconds(const std::string& text) {
  std::vector<int64_t> seconds;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("  sec: ", 0) == 0) {
      seconds.push_back(std::stoll(line.substr(7)));
    }
  }
  return seconds;
}

int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Long enough for any start-up or shutdown on a busy machine; reaching it means a hang.
constexpr std::chrono::seconds kHangDeadline(60);
constexpr size_t kFirstRunEvents = 8;

std::vector<std::string> ExpectedFlowEvents() {
  const std::string flow = "grab_place_task ";
  auto ok = [&](const char* code, const char* point) {
    return flow + code + " 0 Status OK: " + point;
  };
  const std::string complete = flow + "1000 0 Status OK, work flow complete: grab_place_task";
  return {
      // Run 1: place_pos_reached fails; the ordered flow still completes.
      ok("1001", "home_pos_reached"), ok("1002", "gripper_opened"),
      ok("1003", "target_pos_reached"), ok("1004", "gripper_closed"),
      flow + "1005 1 Status Failed: place_pos_reached", ok("1006", "gripper_opened"),
      ok("1007", "task_completed"), complete,
      // Run 2: gripper_closed is skipped.
      ok("1001", "home_pos_reached"), ok("1002", "gripper_opened"),
      ok("1003", "target_pos_reached"),
      flow + "1004 1 Status Failed, point missing: gripper_closed", ok("1006", "gripper_opened"),
      ok("1007", "task_completed"), complete,
      // Run 3: target_pos_reached twice.
      ok("1001", "home_pos_reached"), ok("1002", "gripper_opened"),
      ok("1003", "target_pos_reached"),
      flow + "1003 1 Status Failed, point duplicated: target_pos_reached",
      ok("1004", "gripper_closed"), ok("1005", "place_pos_reached"),
      ok("1006", "gripper_opened"), ok("1007", "task_completed"), complete,
      // Run 4: clean, and the whole-flow check's success event.
      ok("1001", "home_pos_reached"), ok("1002", "gripper_opened"),
      ok("1003", "target_pos_reached"), ok("1004", "gripper_closed"),
      ok("1005", "place_pos_reached"), ok("1006", "gripper_opened"),
      ok("1007", "task_completed"), complete, flow + "1000 0 Succeed",
  };
}

TEST(DemoEndToEndTest, FourRunsThenHeartbeatsThenCleanExitOnCtrlC) {
  Child flow_echo({DIAG_ECHO_PATH, "/flow_diag"});
  Child heartbeat_echo({DIAG_ECHO_PATH, "/heartbeat_diag"});
  ASSERT_TRUE(flow_echo.started() && heartbeat_echo.started());
  // Once rclcpp::init has run, the echoes subscribe straight away.
  ASSERT_TRUE(WaitUntilHandlesSignal(flow_echo.pid(), SIGINT, kHangDeadline));
  ASSERT_TRUE(WaitUntilHandlesSignal(heartbeat_echo.pid(), SIGINT, kHangDeadline));
  const int64_t started = NowSeconds();
  TempFiles files;
  const std::string run_log = files.Write("");
  setenv("VALTRIX_RUN_LOG", run_log.c_str(), 1);
  Child demo({DEMO_NODE_PATH});
  unsetenv("VALTRIX_RUN_LOG");
  ASSERT_TRUE(demo.started());

  ASSERT_TRUE(WaitUntil(
      [&] { return Count(heartbeat_echo.Output(), "---") >= 2; }, kHangDeadline))
      << demo.Output();
  demo.Signal(SIGINT);
  EXPECT_EQ(demo.WaitForExit(kHangDeadline), 0);

  const std::string log = demo.Output();
  EXPECT_THAT(LinesWith(log, "FlowEventHandler"),
              ElementsAreArray({
                  "[ERROR] FlowEventHandler: Flow 'grab_place_task' failed, status: 1",
                  "[ERROR] FlowEventHandler: failure point 'place_pos_reached', index: 4",
                  "[ERROR] FlowEventHandler:  desired point 'place_pos_reached', event_id '1005'",
                  "[ERROR] FlowEventHandler: Flow 'grab_place_task' missing point, status: 4",
                  "[ERROR] FlowEventHandler:  desired point 'gripper_closed', event_id '1004'",
                  "[ERROR] FlowEventHandler: Flow 'grab_place_task' duplicated point, status: 3",
                  "[ERROR] FlowEventHandler: failure point 'target_pos_reached', index: 3",
                  "[ERROR] FlowEventHandler:  desired point 'gripper_closed', event_id '1004'",
                  "[ERROR] FlowEventHandler: Flow 'grab_place_task' success, status: 0",
              }));

  const std::regex duration_line(R"(--------Flow 'grab_place_task' duration: (\d+) ms--------)");
  std::vector<long> durations;
  for (const auto& line : LinesWith(log, "--------Flow")) {
    std::smatch match;
    ASSERT_TRUE(std::regex_search(line, match, duration_line)) << line;
    durations.push_back(std::stol(match[1]));
  }
  ASSERT_EQ(durations.size(), 3U);
  const long pauses[] = {1200, 900, 1100};
  for (size_t run = 0; run < 3; ++run) {
    EXPECT_GE(durations[run], pauses[run]);
  }

  flow_echo.Signal(SIGINT);
  heartbeat_echo.Signal(SIGINT);
  EXPECT_EQ(flow_echo.WaitForExit(kHangDeadline), 0);
  EXPECT_EQ(heartbeat_echo.WaitForExit(kHangDeadline), 0);

  // Events that go out before the demo's writer has discovered the listener are lost; that may
  // cost the start of the first run, never anything later.
  auto expected = ExpectedFlowEvents();
  const auto received = EchoedEvents(flow_echo.Output());
  const size_t missed = expected.size() - std::min(expected.size(), received.size());
  EXPECT_LT(missed, kFirstRunEvents);
  expected.erase(expected.begin(), expected.begin() + std::min(missed, kFirstRunEvents));
  EXPECT_THAT(received, ElementsAreArray(expected));
  // Events of the progressive check carry the time they were sent, CheckFlow's a zero stamp.
  const auto stamps = EchoedStampSeconds(flow_echo.Output());
  ASSERT_EQ(stamps.size(), received.size());
  for (size_t k = 0; k < stamps.size(); ++k) {
    if (received[k].rfind(" Succeed") == received[k].size() - 8) {
      EXPECT_EQ(stamps[k], 0) << received[k];
    } else {
      EXPECT_GE(stamps[k], started) << received[k];
      EXPECT_LE(stamps[k], NowSeconds()) << received[k];
    }
  }

  const auto beats = EchoedEvents(heartbeat_echo.Output());
  ASSERT_GE(beats.size(), 2U);
  for (const auto& beat : beats) {
    EXPECT_EQ(beat, "heartbeat 2001 0 Status OK: heartbeat");
  }

  // The run log: every run judged again offline as the demo judged it, and drawn by flow_report
  // one bar per point.
  const CommandRun replay =
      RunCommand(std::string(FLOW_REPLAY_PATH) + " --expect-same " + run_log);
  EXPECT_EQ(replay.status, 0) << replay.out;
  EXPECT_THAT(replay.out, HasSubstr("4 verdicts replayed: 4 as logged, 0 different"));
  const std::string page = files.Keep(run_log + ".html");
  const CommandRun report =
      RunCommand(std::string(FLOW_REPORT_PATH) + " " + run_log + " -o " + page);
  ASSERT_EQ(report.status, 0) << report.out;
#ifdef VALTRIX_BROWSER_TESTS
  std::string failure;
  EXPECT_EQ(valtrix::test::CountedInBrowser(page, valtrix::test::kReportElements, "rect.step",
                                            &failure, "section[data-flow=\"grab_place_task\"]"),
            "svg.timeline=1 g.run=4 rect.step=28 rect.step.late=0 rect.step.failed=1 "
            "line.timeout-tick=0 text.verdict=3 table.step-stats tbody tr=7 svg.histogram=7 "
            "laid-out=28")
      << failure;
#endif
}

// Interrupted at any moment of the start-up, from rclcpp::init through the node, the publishers
// and into the first run, the program ends as cleanly as after it; so do the watchdog demo and
// flow_monitor, which take Ctrl-C the same way.
TEST(DemoEndToEndTest, CtrlCOrSigtermDuringStartUpEndsWithStatusZero) {
  const std::vector<std::vector<std::string>> programs = {
      {DEMO_NODE_PATH},
      {WATCHDOG_DEMO_PATH},
      {FLOW_MONITOR_PATH, "--ros-args", "-p", "config_file:=" MONITOR_CONFIG_PATH}};
  std::vector<std::chrono::microseconds> delays;
  for (int us = 0; us < 10000; us += 500) {  // densely where the node and publishers are built
    delays.emplace_back(us);
  }
  for (int ms : {15, 25, 40, 60, 100}) {
    delays.emplace_back(std::chrono::milliseconds(ms));
  }
  for (const auto& program : programs) {
    for (int signal_number : {SIGINT, SIGTERM}) {
      for (const auto delay : delays) {
        SCOPED_TRACE(program[0] + ": " + strsignal(signal_number) + " " +
                     std::to_string(delay.count()) + " us after the program took the signal over");
        Child demo(program);
        ASSERT_TRUE(demo.started());
        ASSERT_TRUE(WaitUntilHandlesSignal(demo.pid(), signal_number, kHangDeadline));
        std::this_thread::sleep_for(delay);  // the moment of the interrupt, not a wait for anything
        demo.Signal(signal_number);
        EXPECT_EQ(demo.WaitForExit(kHangDeadline), 0) << demo.Output();
      }
    }
  }
}

}  // namespace
