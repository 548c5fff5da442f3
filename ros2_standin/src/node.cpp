#include <chrono>
#include <cstddef>
#include <string>
#include <utility>

#include <rclcpp/clock.hpp>
#include <rclcpp/exceptions.hpp>
#include <rclcpp/node.hpp>
#include <rclcpp/publisher.hpp>
#include <rclcpp/subscription.hpp>

#include "graph.hpp"
#include "standin_internal.hpp"

namespace ros2_standin {
namespace {

constexpr int kInvalidArgument = 11;  // RCL_RET_INVALID_ARGUMENT
constexpr int kNotInit = 101;  // RCL_RET_NOT_INIT
constexpr int kNodeInvalid = 200;  // RCL_RET_NODE_INVALID
constexpr char kInvalidContext[] =
    "the given context is not valid, either rcl_init() was not called or rcl_shutdown() was "
    "called.";

// What rcl says when something is made on a context that is not running: a null one before the
// first init (or after a failed one), a shut down one otherwise.
[[noreturn]] void throw_context_not_running(const std::string& prefix) {
  if (!context_initialized()) {
    throw rclcpp::exceptions::RCLInvalidArgument(
        rclcpp::exceptions::RCLErrorBase(kInvalidArgument, "context argument is null"), prefix);
  }
  throw rclcpp::exceptions::RCLError(rclcpp::exceptions::RCLErrorBase(kNotInit, kInvalidContext),
                                     prefix);
}
// ROS 2 prefixes topic names on the wire with "rt" (ROS topic), so "/chatter" is "rt/chatter".
constexpr char kTopicPrefix[] = "rt";
// Room for the C sample of any message type the stand-in carries.
constexpr std::size_t kMaxSampleSize = 256;

bool rule_applies(const RemapRule& rule, RemapRule::Kind kind, const std::string& node_name) {
  return rule.kind == kind && (rule.node_name.empty() || rule.node_name == node_name);
}

// The replacement of the first rule of `kind` for the node, or `original` without one.
std::string remap_name(const std::vector<RemapRule>& rules, RemapRule::Kind kind,
                       const std::string& node_name, const std::string& original) {
  for (const auto& rule : rules) {
    if (rule_applies(rule, kind, node_name)) {
      return rule.to;
    }
  }
  return original;
}

std::string absolute_namespace(const std::string& namespace_) {
  if (namespace_.empty()) {
    return "/";
  }
  return namespace_[0] == '/' ? namespace_ : "/" + namespace_;
}

dds_qos_t* make_qos(const rclcpp::QoS& qos) {
  dds_qos_t* dds_qos = dds_create_qos();
  if (qos.history() == rclcpp::HistoryPolicy::KeepAll) {
    dds_qset_history(dds_qos, DDS_HISTORY_KEEP_ALL, DDS_LENGTH_UNLIMITED);
  } else {
    dds_qset_history(dds_qos, DDS_HISTORY_KEEP_LAST,
                     static_cast<int32_t>(qos.depth() == 0 ? 1 : qos.depth()));
  }
  // A reliable keep-all writer whose readers lag waits for room as long as it takes, as under
  // rmw_cyclonedds_cpp; with a time limit, publish would fail where ROS 2 only waits.
  dds_qset_reliability(dds_qos,
                       qos.reliability() == rclcpp::ReliabilityPolicy::BestEffort
                           ? DDS_RELIABILITY_BEST_EFFORT
                           : DDS_RELIABILITY_RELIABLE,
                       DDS_INFINITY);
  dds_qset_durability(dds_qos, qos.durability() == rclcpp::DurabilityPolicy::TransientLocal
                                   ? DDS_DURABILITY_TRANSIENT_LOCAL
                                   : DDS_DURABILITY_VOLATILE);
  return dds_qos;
}

}  // namespace

Endpoint::Endpoint(std::shared_ptr<Participant> participant,
                   std::shared_ptr<GraphNode> graph_node, std::string topic_name,
                   const MessageTypeSupport& type_support, const rclcpp::QoS& qos,
                   bool is_writer)
    : participant_(std::move(participant)),
      graph_node_(std::move(graph_node)),
      topic_name_(std::move(topic_name)),
      type_support_(type_support) {
  if (type_support.sample_size > kMaxSampleSize) {
    throw_dds_error(DDS_RETCODE_UNSUPPORTED, "message type too large for the stand-in");
  }
  const std::string dds_topic_name = kTopicPrefix + topic_name_;
  topic_ = dds_create_topic(participant_->handle(),
                            static_cast<const dds_topic_descriptor_t*>(type_support.dds_descriptor),
                            dds_topic_name.c_str(), nullptr, nullptr);
  if (topic_ < 0) {
    throw_dds_error(topic_, "failed to create topic '" + topic_name_ + "'");
  }
  dds_qos_t* dds_qos = make_qos(qos);
  entity_ = is_writer ? dds_create_writer(participant_->handle(), topic_, dds_qos, nullptr)
                      : dds_create_reader(participant_->handle(), topic_, dds_qos, nullptr);
  dds_delete_qos(dds_qos);
  if (entity_ < 0) {
    const dds_return_t ret = entity_;
    dds_delete(topic_);
    throw_dds_error(ret, std::string("failed to create ") + (is_writer ? "writer" : "reader") +
                             " on '" + topic_name_ + "'");
  }
  if (is_writer) {
    // The type is keyless, so every sample belongs to one instance. Registering it once spares
    // dds_write from looking the instance up and releasing it on every call.
    alignas(std::max_align_t) unsigned char sample[kMaxSampleSize] = {};
    dds_instance_handle_t instance = 0;
    dds_register_instance(entity_, &instance, sample);
  } else {
    read_condition_ = dds_create_readcondition(entity_, DDS_ANY_STATE);
  }
  const dds_return_t announced = graph_node_->add_endpoint(entity_, is_writer);
  if (announced < 0) {
    delete_entities();
    throw_dds_error(announced, std::string("failed to announce the ") +
                                   (is_writer ? "writer" : "reader") + " on '" + topic_name_ +
                                   "' in the ROS graph");
  }
}

Endpoint::~Endpoint() {
  // Withdrawn first, as rmw does, so that the graph never names an entity that is gone.
  graph_node_->remove_endpoint(entity_);
  delete_entities();
}

void Endpoint::delete_entities() {
  // Errors are ignored: at exit Cyclone may have torn its entities down already.
  if (read_condition_ > 0) {
    dds_delete(read_condition_);
  }
  dds_delete(entity_);
  dds_delete(topic_);
}

namespace {

// The entities of `registered` still alive; the expired ones are dropped from it.
template <typename Entity>
std::vector<std::shared_ptr<Entity>> lock_alive(std::vector<std::weak_ptr<Entity>>& registered) {
  std::vector<std::shared_ptr<Entity>> alive;
  for (auto it = registered.begin(); it != registered.end();) {
    if (auto entity = it->lock()) {
      alive.push_back(std::move(entity));
      ++it;
    } else {
      it = registered.erase(it);
    }
  }
  return alive;
}

}  // namespace

std::vector<std::shared_ptr<rclcpp::SubscriptionBase>> EntityAccess::subscriptions(
    rclcpp::Node& node) {
  NodeState& state = *node.state_;
  std::lock_guard<std::mutex> lock(state.mutex);
  return lock_alive(state.subscriptions);
}

std::vector<std::shared_ptr<rclcpp::TimerBase>> EntityAccess::timers(rclcpp::Node& node) {
  NodeState& state = *node.state_;
  std::lock_guard<std::mutex> lock(state.mutex);
  return lock_alive(state.timers);
}

}  // namespace ros2_standin

namespace rclcpp {

using ros2_standin::RemapRule;

Node::Node(const std::string& node_name, const NodeOptions& options)
    : Node(node_name, "", options) {}

Node::Node(const std::string& node_name, const std::string& namespace_,
           const NodeOptions& options)
    : state_(std::make_shared<ros2_standin::NodeState>()),
      clock_(std::make_shared<Clock>(RCL_ROS_TIME)) {
  if (!ros2_standin::context_ok()) {
    ros2_standin::throw_context_not_running("failed to create guard condition: ");
  }
  ros2_standin::validate_node_name(node_name);
  try {
    ros2_standin::validate_namespace(ros2_standin::absolute_namespace(namespace_));
  } catch (const exceptions::InvalidNamespaceError&) {
    // rcl checks the namespace made absolute; rclcpp then reports what is wrong with the one
    // it was given ("must be absolute" when that is relative).
    ros2_standin::validate_namespace(namespace_);
    throw;
  }

  auto local = ros2_standin::parse_ros_arguments(options.arguments());
  auto& remaps = state_->remaps;
  remaps = std::move(local.remaps);
  std::vector<ros2_standin::ParameterRule> global_parameters;
  if (options.use_global_arguments()) {
    const auto global = ros2_standin::global_remaps();
    remaps.insert(remaps.end(), global.begin(), global.end());
    global_parameters = ros2_standin::global_parameter_rules();
  }
  state_->name = ros2_standin::remap_name(remaps, RemapRule::Kind::NodeName, node_name, node_name);
  state_->namespace_ = ros2_standin::absolute_namespace(
      ros2_standin::remap_name(remaps, RemapRule::Kind::Namespace, node_name, namespace_));
  ros2_standin::validate_node_name(state_->name);
  ros2_standin::validate_namespace(state_->namespace_);
  state_->fully_qualified_name =
      ros2_standin::fully_qualified_node_name(state_->name, state_->namespace_);
  state_->parameter_overrides = ros2_standin::resolve_parameter_overrides(
      state_->fully_qualified_name, global_parameters, local.parameters);
  state_->participant = ros2_standin::Participant::Get();
  state_->graph_node = std::make_shared<ros2_standin::GraphNode>(
      state_->participant, state_->name, state_->namespace_);
}

Node::~Node() = default;

const char* Node::get_name() const { return state_->name.c_str(); }
const char* Node::get_namespace() const { return state_->namespace_.c_str(); }
const char* Node::get_fully_qualified_name() const {
  return state_->fully_qualified_name.c_str();
}

Clock::SharedPtr Node::get_clock() { return clock_; }
Time Node::now() const { return clock_->now(); }

std::shared_ptr<ros2_standin::Endpoint> Node::create_endpoint(
    const std::string& topic_name, const QoS& qos,
    const ros2_standin::MessageTypeSupport& type_support, bool is_publisher) {
  if (!ros2_standin::context_ok()) {
    throw exceptions::RCLError(
        exceptions::RCLErrorBase(ros2_standin::kNodeInvalid, "rcl node's context is invalid"),
        is_publisher ? "could not create publisher: " : "could not create subscription: ");
  }
  const auto& name = state_->name;
  const auto& namespace_ = state_->namespace_;
  std::string expanded = ros2_standin::expand_topic_name(topic_name, name, namespace_);
  for (const auto& rule : state_->remaps) {
    if (ros2_standin::rule_applies(rule, RemapRule::Kind::Topic, name) &&
        ros2_standin::expand_topic_name(rule.from, name, namespace_) == expanded) {
      expanded = ros2_standin::expand_topic_name(rule.to, name, namespace_);
      break;
    }
  }
  return std::make_shared<ros2_standin::Endpoint>(state_->participant, state_->graph_node,
                                                  std::move(expanded), type_support, qos,
                                                  is_publisher);
}

void Node::add_subscription(const std::shared_ptr<SubscriptionBase>& subscription) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->subscriptions.push_back(subscription);
}

void Node::add_timer(const std::shared_ptr<TimerBase>& timer) {
  if (!ros2_standin::context_ok()) {
    ros2_standin::throw_context_not_running("Couldn't initialize rcl timer handle: ");
  }
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->timers.push_back(timer);
}

Time Clock::now() {
  const auto since_epoch = clock_type_ == RCL_STEADY_TIME
                               ? std::chrono::steady_clock::now().time_since_epoch()
                               : std::chrono::system_clock::now().time_since_epoch();
  return Time(std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count(),
              clock_type_);
}

PublisherBase::~PublisherBase() = default;

const char* PublisherBase::get_topic_name() const { return endpoint_->topic_name().c_str(); }

size_t PublisherBase::get_subscription_count() const {
  dds_publication_matched_status_t status{};
  const dds_return_t ret = dds_get_publication_matched_status(endpoint_->handle(), &status);
  if (ret < 0) {
    ros2_standin::throw_dds_error(ret, "failed to get the subscription count");
  }
  return status.current_count;
}

void PublisherBase::publish_message(const void* message) {
  // After shutdown rclcpp drops messages silently.
  if (!ros2_standin::context_ok()) {
    return;
  }
  const dds_return_t ret = endpoint_->type_support().write(endpoint_->handle(), message);
  if (ret < 0) {
    ros2_standin::throw_dds_error(ret, "failed to publish message");
  }
}

SubscriptionBase::~SubscriptionBase() = default;

const char* SubscriptionBase::get_topic_name() const { return endpoint_->topic_name().c_str(); }

size_t SubscriptionBase::get_publisher_count() const {
  dds_subscription_matched_status_t status{};
  const dds_return_t ret = dds_get_subscription_matched_status(endpoint_->handle(), &status);
  if (ret < 0) {
    ros2_standin::throw_dds_error(ret, "failed to get the publisher count");
  }
  return status.current_count;
}

}  // namespace rclcpp
