// The ROS graph the stand-in announces on "ros_discovery_info", read back raw and decoded by the
// layout of rmw_dds_common's messages (humble), as a ROS 2 node's graph cache decodes it.

#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <rclcpp/rclcpp.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

#include "support/own_participant.hpp"

extern char** environ;

namespace {

using valtrix::test::OwnParticipant;
using valtrix_protocol::msg::DiagnosticEvent;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = std::chrono::seconds(20);

// humble's rmw_gid_t holds 24 bytes; rmw_cyclonedds_cpp puts the 16 of the DDS GUID first and
// zeros the rest.
using Gid = std::array<uint8_t, 24>;

Gid GidOf(const dds_guid_t& guid) {
  Gid gid{};
  std::memcpy(gid.data(), guid.v, sizeof(guid.v));
  return gid;
}

struct NodeInfo {
  std::string namespace_;
  std::string name;
  std::vector<Gid> readers;
  std::vector<Gid> writers;
};

struct ParticipantInfo {
  Gid gid{};
  std::vector<NodeInfo> nodes;

  const NodeInfo* Node(const std::string& name) const {
    for (const auto& node : nodes) {
      if (node.name == name) {
        return &node;
      }
    }
    return nullptr;
  }
};

// Decodes a serialised sample field by field in the order of ParticipantEntitiesInfo.msg and
// NodeEntitiesInfo.msg: plain little-endian CDR after the 4-byte encapsulation header, each value
// aligned to its size from the start of the body, strings counting their NUL, Gid's char[24] an
// array of octets without a length.
ParticipantInfo Decode(const std::vector<unsigned char>& bytes) {
  if (bytes.size() < 4 || bytes[0] != 0x00 || bytes[1] != 0x01) {
    throw std::runtime_error("not little-endian plain CDR");
  }
  size_t at = 4;
  const auto take = [&](size_t count) {
    if (at + count > bytes.size()) {
      throw std::runtime_error("sample ends early");
    }
    at += count;
    return bytes.data() + at - count;
  };
  const auto u32 = [&] {
    at = 4 + ((at - 4 + 3) & ~size_t{3});
    const unsigned char* b = take(4);
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
  };
  const auto bounded_string = [&] {
    const uint32_t length = u32();
    if (length == 0 || length > 257) {  // string<=256 and its NUL
      throw std::runtime_error("bad string length " + std::to_string(length));
    }
    const unsigned char* text = take(length);
    return std::string(reinterpret_cast<const char*>(text), length - 1);
  };
  const auto gid = [&] {
    Gid value;
    std::memcpy(value.data(), take(value.size()), value.size());
    return value;
  };
  const auto gid_sequence = [&] {
    std::vector<Gid> gids(u32());
    for (auto& value : gids) {
      value = gid();
    }
    return gids;
  };
  ParticipantInfo info;
  info.gid = gid();
  info.nodes.resize(u32());
  for (auto& node : info.nodes) {
    node.namespace_ = bounded_string();
    node.name = bounded_string();
    node.readers = gid_sequence();
    node.writers = gid_sequence();
  }
  // Nothing follows but what pads the sample to a multiple of 4.
  if (bytes.size() - at >= 4) {
    throw std::runtime_error("sample longer than its fields");
  }
  return info;
}

dds_guid_t GuidOf(dds_entity_t entity) {
  dds_guid_t guid{};
  dds_get_guid(entity, &guid);
  return guid;
}

// A reader of "ros_discovery_info" with the QoS of rmw_cyclonedds_cpp's (reliable,
// transient-local, keep-all) in this process's participant, taking serialised samples.
class DiscoveryInfoReader {
 public:
  DiscoveryInfoReader() : own_gid_(GidOf(GuidOf(OwnParticipant()))) {
    const dds_entity_t topic = dds_find_topic(DDS_FIND_SCOPE_PARTICIPANT, OwnParticipant(),
                                              "ros_discovery_info", nullptr, 0);
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
    dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
    dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, DDS_LENGTH_UNLIMITED);
    reader_ = dds_create_reader(OwnParticipant(), topic, qos, nullptr);
    dds_delete_qos(qos);
    dds_delete(topic);
    if (reader_ <= 0) {
      throw std::runtime_error("cannot read ros_discovery_info");
    }
  }
  DiscoveryInfoReader(const DiscoveryInfoReader&) = delete;
  DiscoveryInfoReader& operator=(const DiscoveryInfoReader&) = delete;
  ~DiscoveryInfoReader() { dds_delete(reader_); }

  // Takes announcements until one satisfies `match` or the deadline passes.
  std::optional<ParticipantInfo> WaitFor(const std::function<bool(const ParticipantInfo&)>& match) {
    const auto deadline = Clock::now() + kDeadline;
    while (Clock::now() < deadline) {
      ddsi_serdata* serdata = nullptr;
      dds_sample_info_t sample_info;
      if (dds_takecdr(reader_, &serdata, 1, &sample_info, DDS_ANY_STATE) != 1) {
        std::this_thread::yield();
        continue;
      }
      std::vector<unsigned char> bytes(ddsi_serdata_size(serdata));
      ddsi_serdata_to_ser(serdata, 0, bytes.size(), bytes.data());
      ddsi_serdata_unref(serdata);
      if (!sample_info.valid_data) {
        continue;
      }
      ParticipantInfo info = Decode(bytes);
      if (match(info)) {
        return info;
      }
    }
    return std::nullopt;
  }
  // The same for announcements of this process's participant.
  std::optional<ParticipantInfo> WaitForOwn(
      const std::function<bool(const ParticipantInfo&)>& match) {
    return WaitFor(
        [&](const ParticipantInfo& info) { return info.gid == own_gid_ && match(info); });
  }
  const Gid& own_gid() const { return own_gid_; }

 private:
  Gid own_gid_;
  dds_entity_t reader_ = 0;
};

// What DDS discovery tells of this process's reader or writer of `dds_topic`; a ROS 2 node's graph
// cache turns its GUID into the endpoint's gid.
struct DiscoveredEndpoint {
  Gid gid{};
  std::string type_name;
  dds_history_kind_t history = DDS_HISTORY_KEEP_ALL;
  int32_t depth = 0;
  dds_reliability_kind_t reliability = DDS_RELIABILITY_BEST_EFFORT;
  dds_durability_kind_t durability = DDS_DURABILITY_VOLATILE;
};

std::optional<DiscoveredEndpoint> Discover(dds_entity_t builtin_topic,
                                           const std::string& dds_topic) {
  const dds_entity_t participant = OwnParticipant();
  dds_instance_handle_t own_handle = 0;
  dds_get_instance_handle(participant, &own_handle);
  const dds_entity_t reader = dds_create_reader(participant, builtin_topic, nullptr, nullptr);
  std::optional<DiscoveredEndpoint> found;
  const auto deadline = Clock::now() + kDeadline;
  while (!found && Clock::now() < deadline) {
    void* samples[16] = {};
    dds_sample_info_t infos[16];
    const int32_t count = dds_take(reader, samples, infos, 16, 16);
    for (int32_t i = 0; i < count; ++i) {
      const auto* endpoint = static_cast<const dds_builtintopic_endpoint_t*>(samples[i]);
      if (infos[i].valid_data && endpoint->participant_instance_handle == own_handle &&
          endpoint->topic_name == dds_topic) {
        found.emplace();
        found->gid = GidOf(endpoint->key);
        found->type_name = endpoint->type_name;
        dds_qget_history(endpoint->qos, &found->history, &found->depth);
        dds_qget_reliability(endpoint->qos, &found->reliability, nullptr);
        dds_qget_durability(endpoint->qos, &found->durability);
      }
    }
    if (count > 0) {
      dds_return_loan(reader, samples, count);
    } else {
      std::this_thread::yield();
    }
  }
  dds_delete(reader);
  return found;
}

class StandinGraphTest : public ::testing::Test {
 protected:
  // Starts the context with the given command line (program name first).
  void StartContext(std::vector<const char*> argv = {"test_standin_graph"}) {
    if (rclcpp::ok()) {
      rclcpp::shutdown();
    }
    rclcpp::init(static_cast<int>(argv.size()), argv.data());
  }
  void SetUp() override { StartContext(); }
  void TearDown() override { rclcpp::shutdown(); }

  static std::function<bool(const ParticipantInfo&)> HasEndpoints(const std::string& node,
                                                                  size_t readers, size_t writers) {
    return [=](const ParticipantInfo& info) {
      const NodeInfo* found = info.Node(node);
      return found != nullptr && found->readers.size() == readers &&
             found->writers.size() == writers;
    };
  }
};

TEST_F(StandinGraphTest, AnnouncesTheNodeWithTheGidsOfItsWriterAndReader) {
  auto node = std::make_shared<rclcpp::Node>("graph_test");
  auto publisher = node->create_publisher<DiagnosticEvent>("/graph/out", 1);
  auto subscription =
      node->create_subscription<DiagnosticEvent>("graph/in", 1, [](const DiagnosticEvent&) {});
  DiscoveryInfoReader reader;

  const auto announced = reader.WaitForOwn(HasEndpoints("graph_test", 1, 1));
  const auto writer = Discover(DDS_BUILTIN_TOPIC_DCPSPUBLICATION, "rt/graph/out");
  const auto subscriber = Discover(DDS_BUILTIN_TOPIC_DCPSSUBSCRIPTION, "rt/graph/in");
  ASSERT_TRUE(announced && writer && subscriber);
  ASSERT_EQ(announced->nodes.size(), 1u);
  const NodeInfo& info = announced->nodes.front();
  EXPECT_EQ(info.namespace_, "/");
  EXPECT_EQ(info.name, "graph_test");
  EXPECT_EQ(info.writers, std::vector<Gid>{writer->gid});
  EXPECT_EQ(info.readers, std::vector<Gid>{subscriber->gid});

  publisher.reset();
  const auto after = reader.WaitForOwn(HasEndpoints("graph_test", 1, 0));
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->nodes.front().readers, std::vector<Gid>{subscriber->gid});
}

TEST_F(StandinGraphTest, ListsEveryNodeInItsNamespaceUntilItAndItsEndpointsAreGone) {
  StartContext({"test_standin_graph", "--ros-args", "-r", "__ns:=/robot1"});
  auto first = std::make_shared<rclcpp::Node>("graph_first");
  auto second = std::make_shared<rclcpp::Node>("graph_second", "/arm");
  auto publisher = first->create_publisher<DiagnosticEvent>("out", 1);
  DiscoveryInfoReader reader;

  const auto both = reader.WaitForOwn(HasEndpoints("graph_first", 0, 1));
  ASSERT_TRUE(both.has_value());
  ASSERT_EQ(both->nodes.size(), 2u);
  EXPECT_EQ(both->nodes[0].namespace_, "/robot1");
  EXPECT_EQ(both->nodes[1].namespace_, "/robot1");
  EXPECT_EQ(both->nodes[1].name, "graph_second");

  // As with rclcpp, a node stays in the graph while one of its publishers lives. A publisher of
  // the other node, made and dropped, brings the state after the node's release.
  first.reset();
  second->create_publisher<DiagnosticEvent>("marker", 1).reset();
  const auto released = reader.WaitForOwn(HasEndpoints("graph_second", 0, 0));
  ASSERT_TRUE(released.has_value());
  EXPECT_NE(released->Node("graph_first"), nullptr);
  publisher.reset();
  const auto left = reader.WaitForOwn([](const ParticipantInfo& info) {
    return info.nodes.size() == 1 && info.Node("graph_second") != nullptr;
  });
  EXPECT_TRUE(left.has_value());
}

TEST_F(StandinGraphTest, KeepsEveryEntityCreatedFromSeveralThreads) {
  constexpr int kThreads = 4;
  std::vector<std::shared_ptr<rclcpp::Node>> nodes(kThreads);
  std::vector<rclcpp::Publisher<DiagnosticEvent>::SharedPtr> publishers(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      nodes[i] = std::make_shared<rclcpp::Node>("graph_thread_" + std::to_string(i));
      publishers[i] = nodes[i]->create_publisher<DiagnosticEvent>("out", 1);
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  DiscoveryInfoReader reader;

  EXPECT_TRUE(reader.WaitForOwn([](const ParticipantInfo& info) {
    for (int i = 0; i < kThreads; ++i) {
      if (!HasEndpoints("graph_thread_" + std::to_string(i), 0, 1)(info)) {
        return false;
      }
    }
    return true;
  }));
}

TEST_F(StandinGraphTest, AnnouncesWithTheTopicQosAndUserDataOfRmwCyclonedds) {
  auto node = std::make_shared<rclcpp::Node>("graph_test");

  const auto announcer = Discover(DDS_BUILTIN_TOPIC_DCPSPUBLICATION, "ros_discovery_info");
  ASSERT_TRUE(announcer.has_value());
  EXPECT_EQ(announcer->type_name, "rmw_dds_common::msg::dds_::ParticipantEntitiesInfo_");
  EXPECT_EQ(announcer->history, DDS_HISTORY_KEEP_LAST);
  EXPECT_EQ(announcer->depth, 1);
  EXPECT_EQ(announcer->reliability, DDS_RELIABILITY_RELIABLE);
  EXPECT_EQ(announcer->durability, DDS_DURABILITY_TRANSIENT_LOCAL);

  dds_qos_t* qos = dds_create_qos();
  ASSERT_EQ(dds_get_qos(OwnParticipant(), qos), DDS_RETCODE_OK);
  void* user_data = nullptr;
  size_t size = 0;
  ASSERT_TRUE(dds_qget_userdata(qos, &user_data, &size));
  EXPECT_EQ(std::string(static_cast<const char*>(user_data), size), "enclave=/;");
  dds_free(user_data);
  dds_delete_qos(qos);
}

// diag_echo in a second process: its node shows in the graph and is withdrawn when it ends.
TEST_F(StandinGraphTest, AnotherProcessLeavesNoNodeBehindWhenItEnds) {
  auto node = std::make_shared<rclcpp::Node>("graph_observer");
  DiscoveryInfoReader reader;

  std::string program = DIAG_ECHO_PATH;
  std::string topic = "/graph/exit";
  char* argv[] = {program.data(), topic.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ), 0);
  const auto other = reader.WaitFor([&](const ParticipantInfo& info) {
    return info.gid != reader.own_gid() && HasEndpoints("diag_echo", 1, 0)(info);
  });
  kill(pid, SIGINT);
  int status = -1;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(other.has_value());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  EXPECT_TRUE(reader.WaitFor([&](const ParticipantInfo& info) {
    return info.gid == other->gid && info.nodes.empty();
  }));
}

}  // namespace
