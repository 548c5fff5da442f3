// The stand-in's demo node as real ROS 2 sees it: rclcpp's graph API and, where the underlay has
// it, the ros2 command name the node and its publisher, and echo its events.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <rclcpp/rclcpp.hpp>

#include "support/child_process.hpp"

namespace {

using valtrix::test::Child;
using valtrix::test::WaitUntil;

constexpr std::chrono::seconds kDeadline(60);

// The ros2 command on PATH; nothing when the underlay has none.
std::optional<std::string> Ros2Command() {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = folder + "/ros2";
    if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::nullopt;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  for (const auto& each : names) {
    if (each == name) {
      return true;
    }
  }
  return false;
}

TEST(Ros2InteropGraphTest, RclcppAndTheRos2CommandSeeTheStandinDemoAndItsEvents) {
  rclcpp::init(0, nullptr);
  auto observer = std::make_shared<rclcpp::Node>("interop_observer");
  const auto ros2 = Ros2Command();
  std::optional<Child> echo;
  if (ros2) {
    // Without the daemon, which would outlive the test.
    echo.emplace(std::vector<std::string>{*ros2, "topic", "echo", "--once", "--no-daemon",
                                          "/flow_diag", "valtrix_protocol/msg/DiagnosticEvent"});
    ASSERT_TRUE(WaitUntil([&] { return observer->count_subscribers("/flow_diag") > 0; },
                          kDeadline));
  }

  Child demo({STANDIN_DEMO_NODE_PATH});
  ASSERT_TRUE(WaitUntil([&] { return Contains(observer->get_node_names(), "/diag_trace_test"); },
                        kDeadline));
  ASSERT_TRUE(WaitUntil(
      [&] { return !observer->get_publishers_info_by_topic("/flow_diag").empty(); }, kDeadline));
  const auto publishers = observer->get_publishers_info_by_topic("/flow_diag");
  ASSERT_EQ(publishers.size(), 1U);
  EXPECT_EQ(publishers[0].node_name(), "diag_trace_test");
  EXPECT_EQ(publishers[0].node_namespace(), "/");
  EXPECT_EQ(publishers[0].topic_type(), "valtrix_protocol/msg/DiagnosticEvent");
  EXPECT_EQ(publishers[0].qos_profile().depth(), 1U);
  EXPECT_EQ(publishers[0].qos_profile().reliability(), rclcpp::ReliabilityPolicy::Reliable);
  EXPECT_EQ(publishers[0].qos_profile().durability(), rclcpp::DurabilityPolicy::Volatile);

  if (!ros2) {
    GTEST_SKIP() << "no ros2 command on PATH: rclcpp's graph checked, the command line not";
  }
  Child list({*ros2, "node", "list", "--no-daemon"});
  EXPECT_EQ(list.WaitForExit(kDeadline), 0);
  EXPECT_NE(list.Output().find("/diag_trace_test\n"), std::string::npos) << list.Output();
  EXPECT_EQ(echo->WaitForExit(kDeadline), 0);
  EXPECT_NE(echo->Output().find("source_id: grab_place_task\n"), std::string::npos)
      << echo->Output();
  rclcpp::shutdown();
}

}  // namespace
