// What a ROS 2 node on the other end sees of PublishDiagnostics' publisher, read from Cyclone's
// built-in publication topic.
#include <dds/dds.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

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

  const auto writer = test::OwnAnnouncedWriter("rt/diagnostics");
  ASSERT_TRUE(writer);
  EXPECT_EQ(writer->type_name, "diagnostic_msgs::msg::dds_::DiagnosticArray_");
  EXPECT_EQ(writer->history, DDS_HISTORY_KEEP_LAST);
  EXPECT_EQ(writer->depth, 1);
  EXPECT_EQ(writer->reliability, DDS_RELIABILITY_RELIABLE);
  EXPECT_EQ(writer->durability, DDS_DURABILITY_VOLATILE);
  FlowTraceTestAccess::Clear();
  rclcpp::shutdown();
}

}  // namespace
}  // namespace valtrix::trace
