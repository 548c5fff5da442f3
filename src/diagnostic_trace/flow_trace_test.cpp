#include <memory>

#include <ament_index_cpp/get_package_share_directory.hpp>
#include <rclcpp/rclcpp.hpp>

#include "valtrix/logger.hpp"
#include "valtrix/trace/flow_trace.hpp"

int main(int argc, char** argv) {
  rclcpp::init(argc, argv);
  const std::string config_path =
      ament_index_cpp::get_package_share_directory("valtrix_diagnostic_reporter") +
      "/config/test_flow.yaml";
  auto node = std::make_shared<rclcpp::Node>("diag_trace_test");
  valtrix::trace::FlowTrace::GetInstance().Init(config_path, node);
  rclcpp::shutdown();
  return 0;
}
