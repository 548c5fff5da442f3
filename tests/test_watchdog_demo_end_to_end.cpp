// Runs flow_watchdog_demo against two diag_echo processes, as a user would: both overdue points
// are reported once each, past their limits, to one of them; the other, on /diagnostics, sees the
// pick-and-place flow go from OK to STALE to ERROR and the heartbeat go STALE; Ctrl-C ends the
// demo cleanly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.hpp"

namespace {

using ::testing::UnorderedElementsAre;
using valtrix::test::Child;
using valtrix::test::WaitUntil;

// Lines matching `pattern`, without the log lines' sequence numbers.
std::vector<std::string> LinesMatching(const std::string& text, const std::string& pattern) {
  const std::regex wanted(pattern);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (std::regex_search(line, wanted)) {
      lines.push_back(line.size() > 4 && line[3] == ' ' ? line.substr(4) : line);
    }
  }
  return lines;
}

// The overdue events printed by diag_echo, as "source_id event_code outcome detail".
std::vector<std::string> OverdueEvents(const std::string& echoed) {
  std::vector<std::string> events;
  std::istringstream in(echoed);
  std::string source;
  std::string code;
  std::string outcome;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("source_id: ", 0) == 0) {
      source = line.substr(11);
    } else if (line.rfind("event_code: ", 0) == 0) {
      code = line.substr(12);
    } else if (line.rfind("outcome: ", 0) == 0) {
      outcome = line.substr(9);
    } else if (line.rfind("detail: ", 0) == 0 && line.find("point overdue") != std::string::npos) {
      events.push_back(source + " " + code + " " + outcome + " " + line.substr(8));
    }
  }
  return events;
}

// The statuses diag_echo printed of /diagnostics, per flow in arrival order, as "<level>
// <message as printed>" with an overdue time as N, repeats left out.
std::map<std::string, std::vector<std::string>> HealthHistory(const std::string& echoed) {
  static const std::regex kStatus(
      R"re(- level: "\\(?:x0)?(\d)"\n  name: '?flow_watchdog_demo: (\w+)'?\n  message: (.*)\n)re");
  std::map<std::string, std::vector<std::string>> history;
  for (auto match = std::sregex_iterator(echoed.begin(), echoed.end(), kStatus);
       match != std::sregex_iterator(); ++match) {
    const std::string entry =
        (*match)[1].str() + " " +
        std::regex_replace((*match)[3].str(), std::regex("overdue: [0-9]+"), "overdue: N");
    auto& entries = history[(*match)[2]];
    if (entries.empty() || entries.back() != entry) {
      entries.push_back(entry);
    }
  }
  return history;
}

// The levels of a history, each once in a row.
std::string Levels(const std::vector<std::string>& entries) {
  std::string levels;
  for (const std::string& entry : entries) {
    if (levels.empty() || levels.back() != entry[0]) {
      levels += entry[0];
    }
  }
  return levels;
}

TEST(WatchdogDemoEndToEndTest, ReportsBothOverduePointsOnceAndTheHealthOfBothFlowsThenEndsOnCtrlC) {
  // The overdue events come after more than a second, long after the two have discovered
  // each other; only the demo's first step events might go unseen.
  Child echo({DIAG_ECHO_PATH, "/watchdog_diag"});
  ASSERT_TRUE(echo.started());
  Child health({DIAG_ECHO_PATH, "/diagnostics"});
  ASSERT_TRUE(health.started());
  Child demo({WATCHDOG_DEMO_PATH});
  ASSERT_TRUE(demo.started());

  ASSERT_TRUE(WaitUntil([&] { return OverdueEvents(echo.Output()).size() >= 2; },
                        std::chrono::seconds(60)))
      << demo.Output();
  ASSERT_TRUE(WaitUntil(
      [&] { return demo.Output().find("Both overdue points reported") != std::string::npos; },
      std::chrono::seconds(10)));
  // The last step comes at 4.6 s; the next array on /diagnostics shows its effect.
  const std::string kPickError = "2 'Status Failed, point missing: gripper_closed'";
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto pick = HealthHistory(health.Output())["pick_and_place"];
        return !pick.empty() && pick.back() == kPickError;
      },
      std::chrono::seconds(60)))
      << health.Output();
  demo.Signal(SIGINT);
  EXPECT_EQ(demo.WaitForExit(std::chrono::seconds(5)), 0);
  echo.Signal(SIGINT);
  EXPECT_EQ(echo.WaitForExit(std::chrono::seconds(5)), 0);
  health.Signal(SIGINT);
  EXPECT_EQ(health.WaitForExit(std::chrono::seconds(5)), 0);

  // One status per flow. The pick-and-place flow runs until 2.2 s, is overdue until 4.6 s and
  // failed afterwards, each for at least two arrays; the heartbeat stops at 0.9 s.
  auto history = HealthHistory(health.Output());
  EXPECT_EQ(history.size(), 2U) << health.Output();
  const auto& pick = history["pick_and_place"];
  EXPECT_EQ(Levels(pick), "032") << health.Output();  // OK, STALE, ERROR
  EXPECT_THAT(pick, ::testing::Contains("0 'running: next ''gripper_closed'' (4 of 5)'"));
  EXPECT_THAT(pick,
              ::testing::Contains("3 'point ''gripper_closed'' overdue: N ms, limit 1500 ms'"));
  EXPECT_EQ(history["heartbeat"].back(), "3 'point ''heartbeat'' overdue: N ms, limit 500 ms'");

  const std::string log = demo.Output();
  const auto reports = LinesMatching(log, R"(\[WARN\].* overdue:|point overdue: )");
  ASSERT_EQ(reports.size(), 4U) << log;
  const std::regex warning(R"(\[WARN\] Flow '(\w+)' point '(\w+)' overdue: (\d+) ms )"
                           R"(since the last trace point, limit (\d+) ms)");
  std::vector<std::string> overdue;
  for (size_t k = 0; k < reports.size(); k += 2) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(reports[k], match, warning)) << reports[k];
    EXPECT_GT(std::stol(match[3]), std::stol(match[4])) << reports[k];
    overdue.push_back(match[1].str() + "/" + match[2].str() + " limit " + match[4].str());
    EXPECT_EQ(reports[k + 1],
              "[INFO] ROS2 topic pub: 'Status Failed, point overdue: " + match[2].str() + "'");
  }
  // A busy machine may delay the first report until both are due, and then their order is open.
  EXPECT_THAT(overdue, UnorderedElementsAre("heartbeat/heartbeat limit 500",
                                            "pick_and_place/gripper_closed limit 1500"));

  EXPECT_THAT(
      OverdueEvents(echo.Output()),
      UnorderedElementsAre("heartbeat 4001 1 'Status Failed, point overdue: heartbeat'",
                           "pick_and_place 3004 1 'Status Failed, point overdue: gripper_closed'"));
}

}  // namespace
