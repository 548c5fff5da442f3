#pragma once

// The ROS graph of the process as rmw_cyclonedds_cpp announces it on top of DDS discovery: on the
// DDS topic "ros_discovery_info", the participant's nodes with the gids of their readers and
// writers. ROS 2 tools (ros2 node list, ros2 topic info -v, rqt_graph) learn from it which node an
// endpoint belongs to.

#include <dds/dds.h>

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ros2_standin {

class Participant;

/// The nodes of one participant and their endpoints. Every change is published at once, with the
/// whole list of nodes, as rmw's graph cache does.
class Graph {
 public:
  using NodeId = std::uint64_t;

  /// Creates the topic and the writer of the announcements in `participant`, which owns and
  /// deletes them; throws RCLError when the middleware fails.
  explicit Graph(dds_entity_t participant);
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  /// Adds a node, sets `node` to its id and publishes; returns the error of a failed publish,
  /// leaving the node out.
  dds_return_t add_node(const std::string& name, const std::string& namespace_, NodeId& node);
  /// Removes the node and publishes; errors are ignored (at exit Cyclone may be gone).
  void remove_node(NodeId node);
  /// Adds the node's DDS reader or writer and publishes; returns the error of a failed publish,
  /// leaving the endpoint out.
  dds_return_t add_endpoint(NodeId node, dds_entity_t endpoint, bool is_writer);
  /// Removes the node's reader or writer and publishes; errors are ignored.
  void remove_endpoint(NodeId node, dds_entity_t endpoint);

 private:
  struct Gid {
    std::uint8_t data[24];
  };
  struct Entity {
    dds_entity_t handle;
    Gid gid;
  };
  struct NodeEntry {
    NodeId id;
    std::string name;
    std::string namespace_;
    std::vector<Entity> readers;
    std::vector<Entity> writers;
  };

  static dds_return_t gid_of(dds_entity_t entity, Gid& gid);
  NodeEntry* find_locked(NodeId node);
  dds_return_t publish_locked();

  dds_entity_t writer_ = 0;
  Gid participant_gid_{};
  std::mutex mutex_;
  std::list<NodeEntry> nodes_;
  NodeId next_id_ = 1;
};

/// A node's place in the graph. The node holds it, and so does each of its publishers and
/// subscriptions: as with rclcpp, a node leaves the graph once it and all its endpoints are gone.
class GraphNode {
 public:
  /// Announces the node; throws RCLError when the middleware fails. Withdrawn on destruction.
  GraphNode(std::shared_ptr<Participant> participant, const std::string& name,
            const std::string& namespace_);
  GraphNode(const GraphNode&) = delete;
  GraphNode& operator=(const GraphNode&) = delete;
  ~GraphNode();

  /// Announces the node's reader or writer; returns the error of a failed publish, leaving it out.
  dds_return_t add_endpoint(dds_entity_t endpoint, bool is_writer);
  /// Withdraws the reader or writer; errors are ignored.
  void remove_endpoint(dds_entity_t endpoint);

 private:
  std::shared_ptr<Participant> participant_;
  Graph::NodeId id_;
};

}  // namespace ros2_standin
