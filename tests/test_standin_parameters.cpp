// Node parameters as rclcpp humble has them: `--ros-args -p` overrides typed as rcl types them,
// declare_parameter / get_parameter and their exceptions. Built against real rclcpp as well, so
// that the stand-in is held to what rclcpp does.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <rclcpp/rclcpp.hpp>

#include "support/temp_files.hpp"

namespace {

using rclcpp::ParameterValue;

struct OverrideCase {
  std::string rule;  // after -p
  ParameterValue declared_default;
  ParameterValue expected;  // what declare_parameter returns; not set: it throws a type error
};

TEST(StandinParametersTest, OverridesAreTypedAsRclTypesThemAndWinOverDefaultsOfTheirType) {
  const std::vector<OverrideCase> cases = {
      {"p:=42", ParameterValue(int64_t{7}), ParameterValue(int64_t{42})},
      {"p:=0x10", ParameterValue(int64_t{7}), ParameterValue(int64_t{16})},
      {"p:=-3", ParameterValue(int64_t{7}), ParameterValue(int64_t{-3})},
      {"p:=2.5", ParameterValue(1.0), ParameterValue(2.5)},
      {"p:=1e3", ParameterValue(1.0), ParameterValue(1000.0)},
      {"p:=false", ParameterValue(true), ParameterValue(false)},
      {"p:=On", ParameterValue(false), ParameterValue(true)},
      {"p:=flows.yaml", ParameterValue(""), ParameterValue("flows.yaml")},
      {"p:=/robot1/flow_trace", ParameterValue(""), ParameterValue("/robot1/flow_trace")},
      {"p:='42'", ParameterValue(""), ParameterValue("42")},
      {"p:=\"true\"", ParameterValue(""), ParameterValue("true")},
      {"other_node:p:=42", ParameterValue(int64_t{7}), ParameterValue(int64_t{7})},
      {"params:p:=42", ParameterValue(int64_t{7}), ParameterValue(int64_t{42})},
      {"p:=2.5", ParameterValue(int64_t{7}), ParameterValue()},
      {"p:=abc", ParameterValue(int64_t{7}), ParameterValue()},
      {"p:=100", ParameterValue(""), ParameterValue()},
  };
  rclcpp::init(0, nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    auto node = std::make_shared<rclcpp::Node>(
        "params", rclcpp::NodeOptions().arguments({"--ros-args", "-p", c.rule}));
    if (c.expected.get_type() == rclcpp::PARAMETER_NOT_SET) {
      EXPECT_THROW(node->declare_parameter("p", c.declared_default),
                   rclcpp::exceptions::InvalidParameterTypeException);
      continue;
    }
    EXPECT_EQ(node->declare_parameter("p", c.declared_default), c.expected);
    EXPECT_EQ(node->get_parameter("p").get_parameter_value(), c.expected);
  }
  rclcpp::shutdown();
}

TEST(StandinParametersTest, DeclareAndGetAsTheMonitorDoes) {
  const char* argv[] = {"monitor", "--ros-args", "-p", "period_ms:=250", "-p", "file:=a.yaml"};
  rclcpp::init(6, argv);
  auto node = std::make_shared<rclcpp::Node>(
      "monitor", rclcpp::NodeOptions().arguments({"--ros-args", "-p", "file:=b.yaml"}));
  rcl_interfaces::msg::ParameterDescriptor descriptor;
  descriptor.description = "milliseconds between two checks";
  // The node's own arguments come after the command line's, and win.
  EXPECT_EQ(node->declare_parameter<std::string>("file", ""), "b.yaml");
  EXPECT_EQ(node->declare_parameter<int64_t>("period_ms", 100, descriptor), 250);
  EXPECT_EQ(node->declare_parameter<bool>("on_last", true), true);
  EXPECT_EQ(node->get_parameter("period_ms").as_int(), 250);
  EXPECT_EQ(node->get_parameter("file").as_string(), "b.yaml");
  EXPECT_TRUE(node->get_parameter("on_last").as_bool());
  EXPECT_THROW(node->get_parameter("never"), rclcpp::exceptions::ParameterNotDeclaredException);
  EXPECT_THROW(node->declare_parameter<int64_t>("period_ms", 1),
               rclcpp::exceptions::ParameterAlreadyDeclaredException);
  EXPECT_THROW(node->get_parameter("file").as_int(), rclcpp::ParameterTypeException);
  EXPECT_THROW(rclcpp::Node("bad", rclcpp::NodeOptions().arguments({"--ros-args", "-p", "x"})),
               rclcpp::exceptions::RCLInvalidROSArgsError);
  rclcpp::shutdown();
}

// A parameter file names the nodes its values are for. A node's own values win over those for
// every node ("/**", as -p gives them); of two values for the same nodes, the later one counts.
TEST(StandinParametersTest, ParameterFilesSetValuesInTheOrderTheArgumentsGiveThem) {
  valtrix::test::TempFiles files;
  const std::string path = files.Write(
      "/**:\n  ros__parameters:\n    file: from_all.yaml\n    period_ms: 5\n"
      "params:\n  ros__parameters:\n    file: from_node.yaml\n    quoted: '42'\n"
      "    nested:\n      flag: true\n");
  rclcpp::init(0, nullptr);
  auto node = std::make_shared<rclcpp::Node>(
      "params", rclcpp::NodeOptions().arguments(
                    {"--ros-args", "-p", "period_ms:=9", "--params-file", path, "-p", "file:=x"}));
  EXPECT_EQ(node->declare_parameter<int64_t>("period_ms", 1), 5);
  EXPECT_EQ(node->declare_parameter<std::string>("file", ""), "from_node.yaml");
  EXPECT_EQ(node->declare_parameter<std::string>("quoted", ""), "42");
  EXPECT_TRUE(node->declare_parameter<bool>("nested.flag", false));
  auto other = std::make_shared<rclcpp::Node>(
      "other", rclcpp::NodeOptions().arguments({"--ros-args", "--params-file", path}));
  EXPECT_EQ(other->declare_parameter<std::string>("file", ""), "from_all.yaml");
  auto own = std::make_shared<rclcpp::Node>(
      "params", rclcpp::NodeOptions().arguments(
                    {"--ros-args", "--params-file", path, "-p", "params:file:=own"}));
  EXPECT_EQ(own->declare_parameter<std::string>("file", ""), "own");
  rclcpp::shutdown();
}

}  // namespace
