// diagnostic_msgs through the ROS 2 stand-in: its constants, a publish/subscribe round trip, and
// what a ROS 2 node on the other end sees of it on the wire.

#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>
#include <dds/ddsi/ddsi_xt_impl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <rclcpp/rclcpp.hpp>

#include "support/diagnostic_builders.hpp"
#include "support/event_listener.hpp"
#include "support/own_participant.hpp"

namespace {

using diagnostic_msgs::msg::DiagnosticArray;
using diagnostic_msgs::msg::DiagnosticStatus;
using valtrix::test::MakeStatus;
using valtrix::test::WaitForSubscribers;
using Clock = std::chrono::steady_clock;

// The message's `byte` is unsigned char in C++, with its constants of the same type.
static_assert(std::is_same_v<decltype(DiagnosticStatus::level), unsigned char>);
static_assert(std::is_same_v<decltype(DiagnosticStatus::OK), const uint8_t>);
static_assert(DiagnosticStatus::OK == 0 && DiagnosticStatus::WARN == 1 &&
              DiagnosticStatus::ERROR == 2 && DiagnosticStatus::STALE == 3);


DiagnosticArray MakeArray(std::string frame_id, std::vector<DiagnosticStatus> statuses) {
  DiagnosticArray array;
  array.header.stamp.sec = 1700000000;
  array.header.stamp.nanosec = 42;
  array.header.frame_id = std::move(frame_id);
  array.status = std::move(statuses);
  return array;
}

// `flows` statuses of seven values each, as a monitor of that many flows publishes them.
DiagnosticArray MakeLargeArray(size_t flows) {
  DiagnosticArray array = MakeArray("", {});
  for (size_t i = 0; i < flows; ++i) {
    std::vector<std::pair<std::string, std::string>> values;
    for (int j = 0; j < 7; ++j) {
      values.emplace_back("key_" + std::to_string(j), "value of flow " + std::to_string(i));
    }
    array.status.push_back(MakeStatus(static_cast<uint8_t>(i % 4), "flow_" + std::to_string(i),
                                      "message", "", values));
  }
  return array;
}

using valtrix::test::OwnParticipant;

// Collects the arrays of one topic.
class ArrayListener {
 public:
  ArrayListener(const std::shared_ptr<rclcpp::Node>& node, const std::string& topic)
      : node_(node) {
    subscription_ = node->create_subscription<DiagnosticArray>(
        topic, rclcpp::QoS(200),
        [this](const DiagnosticArray& array) { arrays_.push_back(array); });
  }

  bool WaitFor(size_t count) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (arrays_.size() < count && Clock::now() < deadline) {
      rclcpp::spin_some(node_);
      std::this_thread::yield();
    }
    return arrays_.size() >= count;
  }

  const std::vector<DiagnosticArray>& arrays() const { return arrays_; }

 private:
  std::shared_ptr<rclcpp::Node> node_;
  rclcpp::Subscription<DiagnosticArray>::SharedPtr subscription_;
  std::vector<DiagnosticArray> arrays_;
};

class DiagnosticMsgsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
    node_ = std::make_shared<rclcpp::Node>("diagnostic_msgs_test");
  }

  std::shared_ptr<rclcpp::Node> node_;
};

TEST_F(DiagnosticMsgsTest, DeliversEveryStatusAndValueOfEachArray) {
  // Each array follows a larger or smaller one through the same publisher.
  const std::vector<DiagnosticArray> sent = {
      MakeArray("base_link",
                {MakeStatus(DiagnosticStatus::OK, "flow: grab_place_task", "all points passed",
                            "robot_1", {{"points", "3"}, {"", ""}, {"last", "target_pos_reached"}}),
                 MakeStatus(DiagnosticStatus::STALE, "", "", "", {}),
                 MakeStatus(DiagnosticStatus::ERROR, "flow: b", "Status ERROR: x", "",
                            {{"k", ""}})}),
      MakeArray("", {}),
      MakeLargeArray(100),
      MakeArray("odom", {MakeStatus(DiagnosticStatus::WARN, "w", "late", "", {{"a", "b"}})}),
  };
  ArrayListener listener(node_, "/standin/diagnostics");
  auto publisher = node_->create_publisher<DiagnosticArray>("/standin/diagnostics", 200);
  ASSERT_TRUE(WaitForSubscribers(publisher));

  for (const auto& array : sent) {
    publisher->publish(array);
  }

  ASSERT_TRUE(listener.WaitFor(sent.size()));
  EXPECT_EQ(listener.arrays(), sent);
}

TEST_F(DiagnosticMsgsTest, PublishersOfOneWriterOnSeveralThreadsSendIntactArrays) {
  constexpr size_t kPerThread = 50;
  const DiagnosticArray small = MakeArray("a", {MakeStatus(1, "one", "", "", {{"k", "v"}})});
  const DiagnosticArray large = MakeLargeArray(20);
  ArrayListener listener(node_, "/standin/threads");
  auto publisher = node_->create_publisher<DiagnosticArray>("/standin/threads", 200);
  ASSERT_TRUE(WaitForSubscribers(publisher));

  std::thread other([&] {
    for (size_t i = 0; i < kPerThread; ++i) {
      publisher->publish(large);
    }
  });
  for (size_t i = 0; i < kPerThread; ++i) {
    publisher->publish(small);
  }
  other.join();

  ASSERT_TRUE(listener.WaitFor(2 * kPerThread));
  const auto& received = listener.arrays();
  EXPECT_EQ(std::count(received.begin(), received.end(), small), kPerThread);
  EXPECT_EQ(std::count(received.begin(), received.end(), large), kPerThread);
}

// The type names a publication announces: its own, and (from its complete type information) those
// of the structs it contains.
struct AnnouncedTypes {
  std::string topic_name;
  std::string type_name;
  std::vector<std::string> nested_type_names;
  dds_data_representation_id_t representation = -1;
};

AnnouncedTypes ReadAnnouncedTypes(dds_entity_t participant, const std::string& dds_topic_name) {
  AnnouncedTypes announced;
  if (const auto writer = valtrix::test::OwnAnnouncedWriter(dds_topic_name)) {
    announced.topic_name = dds_topic_name;
    announced.type_name = writer->type_name;
    announced.representation = writer->representation;
  }

  // The built-in topic leaves out the type information of local publications; the topic has it.
  const dds_entity_t topic = dds_find_topic(DDS_FIND_SCOPE_PARTICIPANT, participant,
                                            dds_topic_name.c_str(), nullptr, 0);
  dds_typeinfo_t* type_info = nullptr;
  if (topic > 0 && dds_get_typeinfo(topic, &type_info) == DDS_RETCODE_OK) {
    const auto& dependencies = type_info->x.complete.dependent_typeids;
    for (uint32_t i = 0; i < dependencies._length; ++i) {
      const auto* id = reinterpret_cast<const dds_typeid_t*>(&dependencies._buffer[i].type_id);
      dds_typeobj_t* type_object = nullptr;
      if (dds_get_typeobj(participant, id, 0, &type_object) == DDS_RETCODE_OK) {
        announced.nested_type_names.push_back(
            type_object->x._u.complete._u.struct_type.header.detail.type_name);
        dds_free_typeobj(type_object);
      }
    }
    dds_free_typeinfo(type_info);
  }
  if (topic > 0) {
    dds_delete(topic);
  }
  std::sort(announced.nested_type_names.begin(), announced.nested_type_names.end());
  return announced;
}

TEST_F(DiagnosticMsgsTest, AnnouncesTheTopicAndTypeNamesOfRos2) {
  auto publisher = node_->create_publisher<DiagnosticArray>("/diagnostics", 1);
  const dds_entity_t participant = OwnParticipant();
  ASSERT_GT(participant, 0);

  const AnnouncedTypes announced = ReadAnnouncedTypes(participant, "rt/diagnostics");

  EXPECT_EQ(announced.topic_name, "rt/diagnostics");
  EXPECT_EQ(announced.type_name, "diagnostic_msgs::msg::dds_::DiagnosticArray_");
  EXPECT_EQ(announced.nested_type_names,
            (std::vector<std::string>{"builtin_interfaces::msg::dds_::Time_",
                                      "diagnostic_msgs::msg::dds_::DiagnosticStatus_",
                                      "diagnostic_msgs::msg::dds_::KeyValue_",
                                      "std_msgs::msg::dds_::Header_"}));
  EXPECT_EQ(announced.representation, DDS_DATA_REPRESENTATION_XCDR1);
}

TEST_F(DiagnosticMsgsTest, SerialisesAsRos2DoesInPlainCdr) {
  auto publisher = node_->create_publisher<DiagnosticArray>("/standin/cdr", 1);
  // A raw reader of the same DDS topic sees the serialised sample.
  const dds_entity_t participant = OwnParticipant();
  ASSERT_GT(participant, 0);
  const dds_entity_t topic = dds_find_topic(DDS_FIND_SCOPE_PARTICIPANT, participant,
                                            "rt/standin/cdr", nullptr, 0);
  ASSERT_GT(topic, 0);
  const dds_entity_t reader = dds_create_reader(participant, topic, nullptr, nullptr);
  ASSERT_GT(reader, 0);
  ASSERT_TRUE(WaitForSubscribers(publisher));

  publisher->publish(
      MakeArray("f", {MakeStatus(DiagnosticStatus::ERROR, "n", "", "h", {{"a", ""}})}));

  std::vector<unsigned char> bytes;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (bytes.empty() && Clock::now() < deadline) {
    ddsi_serdata* serdata = nullptr;
    dds_sample_info_t info;
    if (dds_takecdr(reader, &serdata, 1, &info, DDS_ANY_STATE) == 1) {
      bytes.resize(ddsi_serdata_size(serdata));
      ddsi_serdata_to_ser(serdata, 0, bytes.size(), bytes.data());
      ddsi_serdata_unref(serdata);
    } else {
      std::this_thread::yield();
    }
  }
  dds_delete(reader);
  dds_delete(topic);

  // Little-endian plain CDR: each value aligned to its size, strings with their length counting
  // the terminating NUL, sequences with their length first.
  const std::vector<unsigned char> expected_body = {
      0x00, 0xf1, 0x53, 0x65, 0x2a, 0x00, 0x00, 0x00,  // stamp: 1700000000 s, 42 ns
      0x02, 0x00, 0x00, 0x00, 'f', 0x00, 0x00, 0x00,   // frame_id "f", padding
      0x01, 0x00, 0x00, 0x00,                          // one status
      0x02, 0x00, 0x00, 0x00,                          // level ERROR (one octet), padding
      0x02, 0x00, 0x00, 0x00, 'n', 0x00, 0x00, 0x00,   // name "n", padding
      0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // message "", padding
      0x02, 0x00, 0x00, 0x00, 'h', 0x00, 0x00, 0x00,   // hardware_id "h", padding
      0x01, 0x00, 0x00, 0x00,                          // one value
      0x02, 0x00, 0x00, 0x00, 'a', 0x00, 0x00, 0x00,   // key "a", padding
      0x01, 0x00, 0x00, 0x00, 0x00,                    // value ""
  };
  ASSERT_GE(bytes.size(), 4 + expected_body.size());
  EXPECT_EQ(bytes[0], 0x00);  // encapsulation CDR_LE (XCDR1)
  EXPECT_EQ(bytes[1], 0x01);
  EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 4, bytes.begin() + 4 + expected_body.size()),
            expected_body);
}

}  // namespace
