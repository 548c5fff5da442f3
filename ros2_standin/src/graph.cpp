#include "graph.hpp"

#include <rmw_dds_common/msg/ParticipantEntitiesInfo.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "standin_internal.hpp"

namespace ros2_standin {
namespace {

using GidSample = rmw_dds_common_msg_dds__Gid_;
using NodeEntitiesInfoSample = rmw_dds_common_msg_dds__NodeEntitiesInfo_;
using ParticipantEntitiesInfoSample = rmw_dds_common_msg_dds__ParticipantEntitiesInfo_;

// rmw_cyclonedds_cpp publishes the graph without the "rt" prefix of ROS topics.
constexpr char kTopicName[] = "ros_discovery_info";

// The QoS rmw_cyclonedds_cpp gives its writer of the graph: reliable, transient-local, keep-last
// 1, as create_readwrite_qos turns that profile into DDS policies. Removing the writer must not
// dispose the last announcement, so autodispose is off as there.
dds_qos_t* make_writer_qos() {
  dds_qos_t* qos = dds_create_qos();
  dds_qset_writer_data_lifecycle(qos, false);
  dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 1);
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
  dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
  dds_qset_durability_service(qos, 0, DDS_HISTORY_KEEP_LAST, 1, DDS_LENGTH_UNLIMITED,
                              DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
  dds_qset_liveliness(qos, DDS_LIVELINESS_AUTOMATIC, DDS_INFINITY);
  return qos;
}

// Copies `text` into a bounded string of the sample. rmw refuses node names and namespaces
// beyond the bound; a longer text (the stand-in does not check those limits) is cut rather than
// overrun.
template <size_t N>
void copy_bounded(const std::string& text, char (&out)[N]) {
  const size_t length = text.copy(out, N - 1);
  out[length] = '\0';
}

// Points a C sequence at elements the sample does not own.
template <typename Sequence, typename Element>
void borrow_sequence(Sequence& sequence, std::vector<Element>& elements) {
  sequence._maximum = static_cast<uint32_t>(elements.size());
  sequence._length = static_cast<uint32_t>(elements.size());
  sequence._buffer = elements.empty() ? nullptr : elements.data();
  sequence._release = false;
}

}  // namespace

Graph::Graph(dds_entity_t participant) {
  dds_return_t ret = gid_of(participant, participant_gid_);
  if (ret < 0) {
    throw_dds_error(ret, "failed to get the participant's GUID");
  }
  const dds_entity_t topic = dds_create_topic(
      participant, &rmw_dds_common_msg_dds__ParticipantEntitiesInfo__desc, kTopicName, nullptr,
      nullptr);
  if (topic < 0) {
    throw_dds_error(topic, std::string("failed to create topic '") + kTopicName + "'");
  }
  dds_qos_t* qos = make_writer_qos();
  writer_ = dds_create_writer(participant, topic, qos, nullptr);
  dds_delete_qos(qos);
  if (writer_ < 0) {
    ret = writer_;
    dds_delete(topic);
    throw_dds_error(ret, std::string("failed to create writer on '") + kTopicName + "'");
  }
}

dds_return_t Graph::add_node(const std::string& name, const std::string& namespace_,
                             NodeId& node) {
  std::lock_guard<std::mutex> lock(mutex_);
  node = next_id_++;
  nodes_.push_back(NodeEntry{node, name, namespace_, {}, {}});
  const dds_return_t ret = publish_locked();
  if (ret < 0) {
    nodes_.pop_back();
  }
  return ret;
}

void Graph::remove_node(NodeId node) {
  std::lock_guard<std::mutex> lock(mutex_);
  nodes_.remove_if([node](const NodeEntry& entry) { return entry.id == node; });
  publish_locked();
}

dds_return_t Graph::add_endpoint(NodeId node, dds_entity_t endpoint, bool is_writer) {
  Entity entity{endpoint, {}};
  const dds_return_t got = gid_of(endpoint, entity.gid);
  if (got < 0) {
    return got;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  NodeEntry* entry = find_locked(node);
  if (entry == nullptr) {
    return DDS_RETCODE_PRECONDITION_NOT_MET;
  }
  auto& entities = is_writer ? entry->writers : entry->readers;
  entities.push_back(entity);
  const dds_return_t ret = publish_locked();
  if (ret < 0) {
    entities.pop_back();
  }
  return ret;
}

void Graph::remove_endpoint(NodeId node, dds_entity_t endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  NodeEntry* entry = find_locked(node);
  if (entry == nullptr) {
    return;
  }
  const auto is_endpoint = [endpoint](const Entity& entity) { return entity.handle == endpoint; };
  for (auto* entities : {&entry->readers, &entry->writers}) {
    entities->erase(std::remove_if(entities->begin(), entities->end(), is_endpoint),
                    entities->end());
  }
  publish_locked();
}

// rmw_cyclonedds_cpp's gid of an entity: the 16 bytes of its DDS GUID, the rest of humble's
// 24-byte rmw_gid_t zero.
dds_return_t Graph::gid_of(dds_entity_t entity, Gid& gid) {
  dds_guid_t guid;
  const dds_return_t ret = dds_get_guid(entity, &guid);
  if (ret < 0) {
    return ret;
  }
  static_assert(sizeof(gid.data) == sizeof(GidSample::data), "the gid of rmw_dds_common/msg/Gid");
  static_assert(sizeof(guid.v) <= sizeof(gid.data), "a DDS GUID fits a gid");
  std::memset(gid.data, 0, sizeof(gid.data));
  std::memcpy(gid.data, guid.v, sizeof(guid.v));
  return DDS_RETCODE_OK;
}

Graph::NodeEntry* Graph::find_locked(NodeId node) {
  for (auto& entry : nodes_) {
    if (entry.id == node) {
      return &entry;
    }
  }
  return nullptr;
}

dds_return_t Graph::publish_locked() {
  // The sample borrows these arrays; dds_write serialises it before they go.
  std::vector<NodeEntitiesInfoSample> infos(nodes_.size());
  std::vector<std::vector<GidSample>> gids;
  gids.reserve(2 * nodes_.size());
  const auto to_samples = [&gids](const std::vector<Entity>& entities) -> std::vector<GidSample>& {
    auto& samples = gids.emplace_back(entities.size());
    for (size_t i = 0; i < entities.size(); ++i) {
      std::memcpy(samples[i].data, entities[i].gid.data, sizeof(samples[i].data));
    }
    return samples;
  };
  size_t i = 0;
  for (const auto& node : nodes_) {
    NodeEntitiesInfoSample& info = infos[i++];
    copy_bounded(node.namespace_, info.node_namespace);
    copy_bounded(node.name, info.node_name);
    borrow_sequence(info.reader_gid_seq, to_samples(node.readers));
    borrow_sequence(info.writer_gid_seq, to_samples(node.writers));
  }
  ParticipantEntitiesInfoSample sample{};
  std::memcpy(sample.gid.data, participant_gid_.data, sizeof(sample.gid.data));
  borrow_sequence(sample.node_entities_info_seq, infos);
  return dds_write(writer_, &sample);
}

GraphNode::GraphNode(std::shared_ptr<Participant> participant, const std::string& name,
                     const std::string& namespace_)
    : participant_(std::move(participant)), id_(0) {
  const dds_return_t ret = participant_->graph().add_node(name, namespace_, id_);
  if (ret < 0) {
    throw_dds_error(ret, "failed to announce node '" + name + "' in the ROS graph");
  }
}

GraphNode::~GraphNode() { participant_->graph().remove_node(id_); }

dds_return_t GraphNode::add_endpoint(dds_entity_t endpoint, bool is_writer) {
  return participant_->graph().add_endpoint(id_, endpoint, is_writer);
}

void GraphNode::remove_endpoint(dds_entity_t endpoint) {
  participant_->graph().remove_endpoint(id_, endpoint);
}

}  // namespace ros2_standin
