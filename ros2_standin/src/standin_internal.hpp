#pragma once

// Internals of the ROS 2 stand-in shared by its source files.

#include <dds/dds.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <rcl_interfaces/msg/parameter_descriptor.hpp>
#include <rclcpp/node.hpp>
#include <rclcpp/parameter_value.hpp>
#include <rclcpp/qos.hpp>
#include <ros2_standin/type_support.hpp>

namespace ros2_standin {

/// One `[node:]from:=to` rule given with -r/--remap.
struct RemapRule {
  enum class Kind { Topic, NodeName, Namespace };
  Kind kind = Kind::Topic;
  /// Applies to every node when empty.
  std::string node_name;
  std::string from;
  std::string to;
};

/// One `[node:]name:=value` rule given with -p/--param.
struct ParameterRule {
  /// Applies to every node when empty, else to the node whose fully qualified name is
  /// "/<node_name>".
  std::string node_name;
  std::string name;
  rclcpp::ParameterValue value;
};

/// What the ROS arguments of one command line ask for.
struct RosArguments {
  std::vector<RemapRule> remaps;
  std::vector<ParameterRule> parameters;
};

/// Parses the ROS arguments of a command line (the parts after --ros-args); throws
/// UnknownROSArgsError or RCLError like rcl.
RosArguments parse_ros_arguments(const std::vector<std::string>& arguments);

/// Parses the rule that follows -p; false when it is not one rcl accepts (or, for values that
/// are YAML sequences or mappings, not one the stand-in holds).
bool parse_parameter_rule(const std::string& text, ParameterRule& rule);

/// Appends the parameters of a parameter file (as `--params-file` gives it) to `rules`; returns
/// what is wrong with the file, empty when nothing is.
std::string read_parameter_file(const std::string& path, std::vector<ParameterRule>& rules);

/// The parameter values the rules set for the node named `fully_qualified_name`: the global
/// rules first, then the node's own arguments, a later value of a name replacing an earlier.
std::map<std::string, rclcpp::ParameterValue> resolve_parameter_overrides(
    const std::string& fully_qualified_name, const std::vector<ParameterRule>& global_rules,
    const std::vector<ParameterRule>& local_rules);

class Graph;
class GraphNode;

/// The process's DDS domain participant, kept alive by every node and entity that uses it.
class Participant {
 public:
  /// The participant, created on first use.
  static std::shared_ptr<Participant> Get();

  /// Takes over the handles, and deletes them also when announcing the graph fails.
  explicit Participant(dds_entity_t domain, dds_entity_t participant);
  Participant(const Participant&) = delete;
  Participant& operator=(const Participant&) = delete;
  ~Participant();

  dds_entity_t handle() const { return participant_; }
  /// The ROS graph this participant announces.
  Graph& graph() { return *graph_; }

 private:
  void delete_entities();

  dds_entity_t domain_;
  dds_entity_t participant_;
  std::unique_ptr<Graph> graph_;
};

/// A DDS reader or writer with its topic, holding the participant alive.
class Endpoint {
 public:
  /// Announces the reader or writer in the graph as an endpoint of `graph_node`.
  Endpoint(std::shared_ptr<Participant> participant, std::shared_ptr<GraphNode> graph_node,
           std::string topic_name, const MessageTypeSupport& type_support,
           const rclcpp::QoS& qos, bool is_writer);
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;
  ~Endpoint();

  const std::string& topic_name() const { return topic_name_; }
  const MessageTypeSupport& type_support() const { return type_support_; }
  dds_entity_t handle() const { return entity_; }
  dds_entity_t read_condition() const { return read_condition_; }
  dds_entity_t participant() const { return participant_->handle(); }

 private:
  void delete_entities();

  std::shared_ptr<Participant> participant_;
  // Released before the participant: the node may leave the graph with this endpoint.
  std::shared_ptr<GraphNode> graph_node_;
  std::string topic_name_;
  const MessageTypeSupport& type_support_;
  dds_entity_t topic_ = 0;
  dds_entity_t entity_ = 0;
  dds_entity_t read_condition_ = 0;
};

/// Names, subscriptions and timers of a node.
class NodeState {
 public:
  std::string name;
  std::string namespace_;
  std::string fully_qualified_name;
  std::vector<RemapRule> remaps;
  std::shared_ptr<Participant> participant;
  // Released before the participant, which the last node's withdrawal is published through.
  std::shared_ptr<GraphNode> graph_node;

  std::mutex mutex;
  std::vector<std::weak_ptr<rclcpp::SubscriptionBase>> subscriptions;
  std::vector<std::weak_ptr<rclcpp::TimerBase>> timers;

  /// A declared parameter.
  struct DeclaredParameter {
    rclcpp::ParameterValue value;
    rcl_interfaces::msg::ParameterDescriptor descriptor;
  };
  // Values from the command line, fixed when the node is made.
  std::map<std::string, rclcpp::ParameterValue> parameter_overrides;
  // Guarded by `parameters_mutex`; entries are never removed, so references to them stay valid.
  mutable std::mutex parameters_mutex;
  std::map<std::string, DeclaredParameter> parameters;
};

/// Reaches the stand-in internals of the public classes.
struct EntityAccess {
  /// The node's subscriptions and timers still alive; the expired ones are forgotten.
  static std::vector<std::shared_ptr<rclcpp::SubscriptionBase>> subscriptions(rclcpp::Node& node);
  static std::vector<std::shared_ptr<rclcpp::TimerBase>> timers(rclcpp::Node& node);
  static const Endpoint& endpoint(const rclcpp::SubscriptionBase& subscription) {
    return *subscription.endpoint_;
  }
  static void handle_sample(rclcpp::SubscriptionBase& subscription, const void* sample) {
    subscription.handle_sample(sample);
  }
};

/// Throws RCLError with the message of a failed DDS call.
[[noreturn]] void throw_dds_error(dds_return_t ret, const std::string& what);

// Global state of the context (rclcpp::init/shutdown).
bool context_ok();
/// Whether the latest rclcpp::init succeeded (a shutdown since leaves it so).
bool context_initialized();
std::vector<RemapRule> global_remaps();
std::vector<ParameterRule> global_parameter_rules();

// Name checks and expansion with ROS 2's rules; each throws the matching NameValidationError.
void validate_node_name(const std::string& name);
void validate_namespace(const std::string& namespace_);
std::string expand_topic_name(const std::string& name, const std::string& node_name,
                              const std::string& namespace_);
std::string fully_qualified_node_name(const std::string& node_name, const std::string& namespace_);

}  // namespace ros2_standin
