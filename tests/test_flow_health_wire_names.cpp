// What a ROS 2 node on the other end sees of PublishDiagnostics' publisher, read from Cyclone's
// built-in publication topic.
#include <dds/dds.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <rclcpp/rclcpp.hpp>

#include "support/capture_stdout.hpp"
#include "support/flow_trace_access.hpp"
#include "support/own_participant.hpp"
#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {
namespace {

TEST(FlowHealthWireNamesTest, DiagnosticsAreAnnouncedAsRos2DoesKeepLastOneReliableVolatile) {
  Logger::Instance();
  FlowTraceTestAccess::Clear();
  rclcpp::init(0, nullptr);
  char path[] = "/tmp/valtrix_flow_health_wire_XXXXXX";
  close(mkstemp(path));
  std::ofstream(path) << "workflows:\n  - {flow_id: pick}\n";
  {
    test::CaptureStdout quiet;
    FlowTrace::GetInstance().Init(path, std::make_shared<rclcpp::Node>("health_wire"));
  }
  std::remove(path);
  FlowTrace::GetInstance().PublishDiagnostics();

  const dds_entity_t participant = test::OwnParticipant();
  ASSERT_GT(participant, 0);
  dds_instance_handle_t own = 0;
  dds_get_instance_handle(participant, &own);
  const dds_entity_t reader =
      dds_create_reader(participant, DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, nullptr);
  std::string type_name;
  dds_history_kind_t history = DDS_HISTORY_KEEP_ALL;
  int32_t depth = 0;
  dds_reliability_kind_t reliability = DDS_RELIABILITY_BEST_EFFORT;
  dds_duration_t blocking = 0;
  dds_durability_kind_t durability = DDS_DURABILITY_TRANSIENT_LOCAL;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (type_name.empty() && std::chrono::steady_clock::now() < deadline) {
    void* samples[16] = {};
    dds_sample_info_t infos[16];
    const int32_t count = dds_take(reader, samples, infos, 16, 16);
    for (int32_t i = 0; i < count; ++i) {
      const auto* endpoint = static_cast<const dds_builtintopic_endpoint_t*>(samples[i]);
      if (infos[i].valid_data && endpoint->participant_instance_handle == own &&
          std::string(endpoint->topic_name) == "rt/diagnostics") {
        type_name = endpoint->type_name;
        dds_qget_history(endpoint->qos, &history, &depth);
        dds_qget_reliability(endpoint->qos, &reliability, &blocking);
        dds_qget_durability(endpoint->qos, &durability);
      }
    }
    if (count > 0) {
      dds_return_loan(reader, samples, count);
    } else {
      std::this_thread::yield();
    }
  }
  dds_delete(reader);

  EXPECT_EQ(type_name, "diagnostic_msgs::msg::dds_::DiagnosticArray_");
  EXPECT_EQ(history, DDS_HISTORY_KEEP_LAST);
  EXPECT_EQ(depth, 1);
  EXPECT_EQ(reliability, DDS_RELIABILITY_RELIABLE);
  EXPECT_EQ(durability, DDS_DURABILITY_VOLATILE);
  FlowTraceTestAccess::Clear();
  rclcpp::shutdown();
}

}  // namespace
}  // namespace valtrix::trace
