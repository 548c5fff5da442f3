// Publish/subscribe through the ROS 2 stand-in inside one process, and what it shows on the wire.

#include <dds/dds.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <rclcpp/rclcpp.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

#include "support/event_listener.hpp"
#include "support/own_participant.hpp"

namespace {

using valtrix_protocol::msg::DiagnosticEvent;
using valtrix::test::EventListener;
using valtrix::test::WaitForSubscribers;

DiagnosticEvent MakeEvent(const std::string& detail) {
  DiagnosticEvent event;
  event.stamp.sec = 1700000000;
  event.stamp.nanosec = 123456789;
  event.source_id = "grab_place_task";
  event.event_code = -7;
  event.outcome = 1;
  event.detail = detail;
  return event;
}

using valtrix::test::OwnParticipant;

class StandinPubSubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
    node_ = std::make_shared<rclcpp::Node>("standin_pubsub_test");
  }

  std::shared_ptr<rclcpp::Node> node_;
};

TEST_F(StandinPubSubTest, DeliversEveryFieldToASubscriptionOfTheSameProcess) {
  EventListener listener("/standin/round_trip");
  auto publisher = node_->create_publisher<DiagnosticEvent>("/standin/round_trip", rclcpp::QoS(1));
  ASSERT_TRUE(WaitForSubscribers(publisher));

  const auto sent = MakeEvent("Status OK: home_pos_reached");
  publisher->publish(sent);

  ASSERT_TRUE(listener.WaitFor(1));
  EXPECT_EQ(listener.events().front(), sent);
  EXPECT_TRUE(listener.NoMoreThan(1, publisher));
}

TEST_F(StandinPubSubTest, HandsMessagesToEveryCallbackFormOfRclcpp) {
  std::vector<std::string> seen;
  auto by_shared_const = node_->create_subscription<DiagnosticEvent>(
      "forms", 10, [&](DiagnosticEvent::ConstSharedPtr event) { seen.push_back("c" + event->detail); });
  auto by_shared = node_->create_subscription<DiagnosticEvent>(
      "forms", 10, [&](DiagnosticEvent::SharedPtr event) { seen.push_back("s" + event->detail); });
  auto by_unique = node_->create_subscription<DiagnosticEvent>(
      "forms", 10, [&](DiagnosticEvent::UniquePtr event) { seen.push_back("u" + event->detail); });
  auto publisher = node_->create_publisher<DiagnosticEvent>("forms", 10);
  ASSERT_TRUE(WaitForSubscribers(publisher, 3));

  publisher->publish(MakeEvent("x"));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (seen.size() < 3 && std::chrono::steady_clock::now() < deadline) {
    rclcpp::spin_some(node_);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"cx", "sx", "ux"}));
}

TEST_F(StandinPubSubTest, KeepLastOneKeepsOnlyTheNewestUnreadMessage) {
  std::vector<std::string> details;
  auto subscription = node_->create_subscription<DiagnosticEvent>(
      "keep_last", rclcpp::QoS(1),
      [&](const DiagnosticEvent& event) { details.push_back(event.detail); });
  auto publisher = node_->create_publisher<DiagnosticEvent>("keep_last", rclcpp::QoS(1));
  ASSERT_TRUE(WaitForSubscribers(publisher));

  for (const char* detail : {"first", "second", "third"}) {
    publisher->publish(MakeEvent(detail));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((details.empty() || details.back() != "third") &&
         std::chrono::steady_clock::now() < deadline) {
    rclcpp::spin_some(node_);
  }
  EXPECT_EQ(details, std::vector<std::string>{"third"});
}

TEST_F(StandinPubSubTest, UsesTheDdsTopicTypeAndQosThatRos2NodesExpect) {
  auto publisher = node_->create_publisher<DiagnosticEvent>("wire/flow_diag", rclcpp::QoS(1));
  EXPECT_STREQ(publisher->get_topic_name(), "/wire/flow_diag");

  const auto writer = valtrix::test::OwnAnnouncedWriter("rt/wire/flow_diag");
  ASSERT_TRUE(writer);
  EXPECT_EQ(writer->type_name, "valtrix_protocol::msg::dds_::DiagnosticEvent_");
  EXPECT_EQ(writer->history, DDS_HISTORY_KEEP_LAST);
  EXPECT_EQ(writer->depth, 1);
  EXPECT_EQ(writer->reliability, DDS_RELIABILITY_RELIABLE);
  EXPECT_EQ(writer->durability, DDS_DURABILITY_VOLATILE);
  EXPECT_EQ(writer->representation, DDS_DATA_REPRESENTATION_XCDR1);
}

TEST_F(StandinPubSubTest, RejectsAnInvalidTopicWithoutCreatingAnyDdsEntity) {
  const dds_entity_t participant = OwnParticipant();
  ASSERT_GT(participant, 0);
  const dds_return_t children_before = dds_get_children(participant, nullptr, 0);

  EXPECT_THROW(node_->create_publisher<DiagnosticEvent>("flow diag", 1),
               rclcpp::exceptions::InvalidTopicNameError);
  EXPECT_THROW(node_->create_subscription<DiagnosticEvent>("/a//b", 1, [](const DiagnosticEvent&) {}),
               rclcpp::exceptions::InvalidTopicNameError);

  EXPECT_EQ(dds_get_children(participant, nullptr, 0), children_before);
}

TEST_F(StandinPubSubTest, PublishingAfterShutdownIsSilentlyDropped) {
  auto publisher = node_->create_publisher<DiagnosticEvent>("after_shutdown", 1);
  rclcpp::shutdown();
  EXPECT_NO_THROW(publisher->publish(MakeEvent("late")));
  EXPECT_THROW(std::make_shared<rclcpp::Node>("too_late"), rclcpp::exceptions::RCLError);
}

// A process-wide registry keeps its publishers in a function-local static, which may be
// destroyed after rclcpp::shutdown() and after other statics of the stand-in.
struct LateRegistry {
  static LateRegistry& Instance() {
    static LateRegistry instance;
    return instance;
  }
  std::shared_ptr<rclcpp::Node> node;
  rclcpp::Publisher<DiagnosticEvent>::SharedPtr publisher;
  rclcpp::Subscription<DiagnosticEvent>::SharedPtr subscription;
};

// Fills the registry and ends the process, with or without shutting the context down first.
[[noreturn]] void ExitWithLateRegistry(bool shut_down) {
  rclcpp::init(0, nullptr);
  auto& registry = LateRegistry::Instance();
  registry.node = std::make_shared<rclcpp::Node>("late_exit");
  registry.publisher = registry.node->create_publisher<DiagnosticEvent>("late_exit", 1);
  registry.subscription = registry.node->create_subscription<DiagnosticEvent>(
      "late_exit", 1, [](const DiagnosticEvent&) {});
  registry.publisher->publish(MakeEvent("bye"));
  if (shut_down) {
    rclcpp::shutdown();
  }
  std::exit(0);
}

TEST(StandinExitTest, ReleasingEntitiesLateAtExitDoesNotCrash) {
  testing::GTEST_FLAG(death_test_style) = "threadsafe";
  EXPECT_EXIT(ExitWithLateRegistry(true), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(ExitWithLateRegistry(false), ::testing::ExitedWithCode(0), "");
}

}  // namespace
