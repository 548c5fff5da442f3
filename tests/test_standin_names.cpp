// Names and command-line arguments in the ROS 2 stand-in: rclcpp::init's ROS arguments and the
// ROS 2 rules that expand and validate node names, namespaces and topic names.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <rclcpp/expand_topic_or_service_name.hpp>
#include <rclcpp/rclcpp.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

#include "support/child_process.hpp"
#include "support/temp_files.hpp"

namespace {

using valtrix_protocol::msg::DiagnosticEvent;
using rclcpp::exceptions::InvalidNamespaceError;
using rclcpp::exceptions::InvalidNodeNameError;
using rclcpp::exceptions::InvalidTopicNameError;
using rclcpp::exceptions::NameValidationError;

// Starts the context with the given command line (program name first) for one test.
class ContextGuard {
 public:
  explicit ContextGuard(std::vector<const char*> argv = {"test"}) {
    if (rclcpp::ok()) {
      rclcpp::shutdown();
    }
    rclcpp::init(static_cast<int>(argv.size()), argv.data());
  }
  ~ContextGuard() { rclcpp::shutdown(); }
};

std::string TopicOf(rclcpp::Node& node, const std::string& topic) {
  return node.create_publisher<DiagnosticEvent>(topic, 1)->get_topic_name();
}

enum class Expect { Valid, BadNodeName, BadNamespace, BadTopic, UnknownSubstitution };

struct NameCase {
  std::string node_name;
  std::string namespace_;
  std::string topic;
  Expect expect;
  /// Expanded topic when valid; otherwise the position the error points at.
  std::string expanded;
  size_t invalid_index = 0;
};

const std::vector<NameCase> kNameCases = {
    {"node", "", "flow_diag", Expect::Valid, "/flow_diag"},
    {"node", "/robot", "flow_diag", Expect::Valid, "/robot/flow_diag"},
    {"node", "robot", "flow_diag", Expect::Valid, "/robot/flow_diag"},
    {"node", "/robot", "/flow_diag", Expect::Valid, "/flow_diag"},
    {"node", "/robot/arm", "~/diag", Expect::Valid, "/robot/arm/node/diag"},
    {"node", "", "~", Expect::Valid, "/node"},
    // rcl looks at the character after a leading tilde only when another one follows.
    {"node", "/robot", "~a", Expect::Valid, "/robot/nodea"},
    {"node", "", "~ab", Expect::BadTopic, "", 1},
    {"node", "/robot", "{node}/diag", Expect::Valid, "/robot/node/diag"},
    {"node", "/r", "{ns}/x", Expect::Valid, "/r/x"},
    {"node", "/r", "{namespace}/y", Expect::Valid, "/r/y"},
    {"_n1", "/a_1/B2", "t_3/x4", Expect::Valid, "/a_1/B2/t_3/x4"},
    {"node", "", "", Expect::BadTopic, "", 0},
    {"node", "", "flow diag", Expect::BadTopic, "", 4},
    {"node", "", "flow-diag", Expect::BadTopic, "", 4},
    {"node", "", "/a//b", Expect::BadTopic, "", 3},
    {"node", "", "/a/", Expect::BadTopic, "", 2},
    {"node", "", "/1a", Expect::BadTopic, "", 1},
    {"node", "", "a/2b", Expect::BadTopic, "", 2},
    {"node", "", "a/~", Expect::BadTopic, "", 2},
    {"node", "", "{node", Expect::BadTopic, "", 0},
    {"node", "", "a}", Expect::BadTopic, "", 1},
    // Unknown substitutions: rcl cannot expand them, and rclcpp says so with a runtime_error.
    {"node", "", "a/{robot}", Expect::UnknownSubstitution, ""},
    {"node", "", "{no-de}", Expect::BadTopic, "", 3},
    // The fully qualified name may hold 247 characters; the error points at the last one allowed.
    {"node", "", "/" + std::string(246, 'a'), Expect::Valid, "/" + std::string(246, 'a')},
    {"node", "", "/" + std::string(247, 'a'), Expect::BadTopic, "", 246},
    {"node", "/robot", std::string(241, 'a'), Expect::BadTopic, "", 246},
    {"node", "", std::string(10000, 'a'), Expect::BadTopic, "", 246},
    {"node", "", std::string(65600, 'a'), Expect::BadTopic, "", 246},
    {"", "", "t", Expect::BadNodeName, "", 0},
    {"no-de", "", "t", Expect::BadNodeName, "", 2},
    {"1node", "", "t", Expect::BadNodeName, "", 0},
    {"node", "/a/", "t", Expect::BadNamespace, "", 2},
    {"node", "/a//b", "t", Expect::BadNamespace, "", 3},
    {"node", "/a b", "t", Expect::BadNamespace, "", 2},
    {"node", "/a/3b", "t", Expect::BadNamespace, "", 3},
    // rcl checks the namespace made absolute, rclcpp reports the fault of the one given.
    {"node", "~", "t", Expect::BadNamespace, "", 0},
    {"node", "/~", "t", Expect::BadNamespace, "", 1},
};

// Runs `create` and checks it throws `ErrorT` pointing at `index`, with a message naming both.
template <typename ErrorT>
void ExpectNameError(const std::function<void()>& create, size_t index, const std::string& label) {
  try {
    create();
    ADD_FAILURE() << label << ": no exception";
  } catch (const ErrorT& error) {
    EXPECT_EQ(error.invalid_index, index) << label << "\n" << error.what();
    EXPECT_NE(std::string(error.what()).find(error.name_type), std::string::npos) << label;
    EXPECT_NE(std::string(error.what()).find(std::string(index, ' ') + "^"), std::string::npos)
        << label;
  } catch (const std::exception& error) {
    ADD_FAILURE() << label << ": wrong exception: " << error.what();
  }
}

TEST(StandinNamesTest, ExpandsValidNamesAndRejectsInvalidOnesWithTheMatchingError) {
  ContextGuard context;
  for (const auto& name_case : kNameCases) {
    const std::string label =
        "node '" + name_case.node_name + "' ns '" + name_case.namespace_ + "' topic '" +
        name_case.topic + "'";
    const auto create_node = [&] {
      return std::make_shared<rclcpp::Node>(name_case.node_name, name_case.namespace_);
    };
    switch (name_case.expect) {
      case Expect::Valid: {
        auto node = create_node();
        EXPECT_EQ(TopicOf(*node, name_case.topic), name_case.expanded) << label;
        break;
      }
      case Expect::BadNodeName:
        ExpectNameError<InvalidNodeNameError>(create_node, name_case.invalid_index, label);
        break;
      case Expect::BadNamespace:
        ExpectNameError<InvalidNamespaceError>(create_node, name_case.invalid_index, label);
        break;
      case Expect::BadTopic: {
        auto node = create_node();
        ExpectNameError<InvalidTopicNameError>([&] { TopicOf(*node, name_case.topic); },
                                               name_case.invalid_index, label);
        break;
      }
      case Expect::UnknownSubstitution:
        EXPECT_THROW(TopicOf(*create_node(), name_case.topic), std::runtime_error) << label;
        break;
    }
  }
}

// Without a node, the same names expand and fail as for a node's publisher.
TEST(StandinNamesTest, ExpandTopicOrServiceNameAgreesWithPublishersWithoutANode) {
  for (const auto& name_case : kNameCases) {
    const std::string& ns = name_case.namespace_;
    const std::string absolute = !ns.empty() && ns[0] == '/' ? ns : "/" + ns;
    const std::string label = "node '" + name_case.node_name + "' ns '" + absolute +
                              "' topic '" + name_case.topic + "'";
    const auto expand = [&] {
      return rclcpp::expand_topic_or_service_name(name_case.topic, name_case.node_name,
                                                  absolute);
    };
    if (absolute != ns && name_case.expect == Expect::BadNamespace) {
      continue;  // the function takes absolute namespaces only
    }
    switch (name_case.expect) {
      case Expect::Valid:
        EXPECT_EQ(expand(), name_case.expanded) << label;
        break;
      case Expect::BadNodeName:
        ExpectNameError<InvalidNodeNameError>(expand, name_case.invalid_index, label);
        break;
      case Expect::BadNamespace:
        ExpectNameError<InvalidNamespaceError>(expand, name_case.invalid_index, label);
        break;
      case Expect::BadTopic:
        ExpectNameError<InvalidTopicNameError>(expand, name_case.invalid_index, label);
        break;
      case Expect::UnknownSubstitution:
        EXPECT_THROW(expand(), std::runtime_error) << label;
        break;
    }
  }
  ExpectNameError<rclcpp::exceptions::InvalidServiceNameError>(
      [] { rclcpp::expand_topic_or_service_name("a b", "node", "/", true); }, 1, "service");
  ExpectNameError<InvalidNamespaceError>(
      [] { rclcpp::expand_topic_or_service_name("t", "node", ""); }, 0, "empty namespace");
}

TEST(StandinNamesTest, TooLongTopicNameErrorNamesTheLimitAndCreatesNothing) {
  ContextGuard context;
  auto node = std::make_shared<rclcpp::Node>("node");
  try {
    TopicOf(*node, std::string(300, 'a'));
    ADD_FAILURE() << "no exception";
  } catch (const InvalidTopicNameError& error) {
    EXPECT_EQ(error.error_msg, "topic length should not exceed '255U - 8U'");
    EXPECT_EQ(error.name, "/" + std::string(300, 'a'));
  }
  // The node stays usable: nothing half-made was left behind.
  EXPECT_EQ(TopicOf(*node, "after"), "/after");
}

TEST(StandinNamesTest, NameErrorsAreInvalidArguments) {
  ContextGuard context;
  auto node = std::make_shared<rclcpp::Node>("node");
  EXPECT_THROW(TopicOf(*node, "a b"), NameValidationError);
  EXPECT_THROW(TopicOf(*node, "a b"), std::invalid_argument);
}

TEST(StandinNamesTest, NodeReportsItsNamespaceAndFullyQualifiedName) {
  ContextGuard context;
  rclcpp::Node root("talker");
  EXPECT_STREQ(root.get_namespace(), "/");
  EXPECT_STREQ(root.get_fully_qualified_name(), "/talker");
  rclcpp::Node nested("talker", "robot/arm");
  EXPECT_STREQ(nested.get_name(), "talker");
  EXPECT_STREQ(nested.get_namespace(), "/robot/arm");
  EXPECT_STREQ(nested.get_fully_qualified_name(), "/robot/arm/talker");
}

TEST(StandinInitTest, AppliesNodeNamespaceAndTopicRemapsFromTheCommandLine) {
  ContextGuard context({"prog", "plain_arg", "--ros-args", "-r", "__ns:=/robot", "--remap",
                        "talker:__node:=speaker", "-r", "flow_diag:=/diag/flows", "-r",
                        "other:old:=new", "--", "after:=ignored"});
  rclcpp::Node talker("talker");
  EXPECT_STREQ(talker.get_fully_qualified_name(), "/robot/speaker");
  EXPECT_EQ(TopicOf(talker, "flow_diag"), "/diag/flows");
  EXPECT_EQ(TopicOf(talker, "/robot/flow_diag"), "/diag/flows");
  EXPECT_EQ(TopicOf(talker, "old"), "/robot/old");
  // Outside --ros-args a remap rule still applies, in rcl's deprecated form.
  EXPECT_EQ(TopicOf(talker, "after"), "/robot/ignored");

  rclcpp::Node other("other");
  EXPECT_STREQ(other.get_fully_qualified_name(), "/robot/other");
  EXPECT_EQ(TopicOf(other, "old"), "/robot/new");
}

TEST(StandinInitTest, AcceptsTheOtherRosArgumentsOfRcl) {
  valtrix::test::TempFiles files;
  const std::string params = files.Write("/**:\n  ros__parameters:\n    x: 2\n");
  EXPECT_NO_THROW(ContextGuard({"prog", "--ros-args", "--log-level", "info", "-p", "x:=1",
                                "--params-file", params.c_str(), "-e", "/enclave",
                                "--disable-rosout-logs", "--ros-args", "--enable-stdout-logs"}));
  EXPECT_THROW(ContextGuard({"prog", "--ros-args", "--params-file", "/nonexistent/p.yaml"}),
               rclcpp::exceptions::RCLInvalidROSArgsError);
}

TEST(StandinInitTest, RejectsUnknownRosArgumentsListingThem) {
  if (rclcpp::ok()) {
    rclcpp::shutdown();
  }
  const char* argv[] = {"prog", "--unknown-outside", "--ros-args", "--bogus", "-r",
                        "a:=b",  "name:=value",       "--",         "--fine-here"};
  try {
    rclcpp::init(9, argv);
    ADD_FAILURE() << "no exception";
  } catch (const rclcpp::exceptions::UnknownROSArgsError& error) {
    EXPECT_EQ(error.unknown_ros_args, (std::vector<std::string>{"--bogus", "name:=value"}));
    EXPECT_STREQ(error.what(), "found unknown ROS arguments: '--bogus', 'name:=value'");
  }
  EXPECT_FALSE(rclcpp::ok());

  const char* trailing[] = {"prog", "--ros-args", "-r"};
  EXPECT_THROW(rclcpp::init(3, trailing), rclcpp::exceptions::RCLInvalidROSArgsError);
  const char* bad_rule[] = {"prog", "--ros-args", "-r", "no_separator"};
  EXPECT_THROW(rclcpp::init(4, bad_rule), rclcpp::exceptions::RCLInvalidROSArgsError);
}

TEST(StandinInitTest, OkFollowsInitShutdownAndSigint) {
  if (rclcpp::ok()) {
    rclcpp::shutdown();
  }
  // After a failed init rcl has no context at all; after a shutdown one that is not valid.
  EXPECT_THROW(rclcpp::Node("no_context"), rclcpp::exceptions::RCLInvalidArgument);
  {
    ContextGuard context;
    EXPECT_TRUE(rclcpp::ok());
    EXPECT_THROW(rclcpp::init(0, nullptr), rclcpp::ContextAlreadyInitialized);
    auto node = std::make_shared<rclcpp::Node>("ends");
    // rclcpp shuts the context down on a thread of its own, soon after the signal.
    std::raise(SIGINT);
    EXPECT_TRUE(valtrix::test::WaitUntil([] { return !rclcpp::ok(); }, std::chrono::seconds(10)));
    EXPECT_THROW(rclcpp::Node("after_signal"), rclcpp::exceptions::RCLError);
    EXPECT_THROW(TopicOf(*node, "t"), rclcpp::exceptions::RCLError);
    EXPECT_THROW(node->create_wall_timer(std::chrono::seconds(1), [] {}),
                 rclcpp::exceptions::RCLError);
  }
  ContextGuard again;
  EXPECT_TRUE(rclcpp::ok());
  EXPECT_TRUE(rclcpp::shutdown());
  EXPECT_FALSE(rclcpp::shutdown());
}

}  // namespace
