#pragma once

#include <dds/dds.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

namespace valtrix::test {

// The DDS participant the ROS 2 stand-in created in this process, in the domain ROS_DOMAIN_ID
// names (each test program gets a domain of its own); 0 when there is none or several.
inline dds_entity_t OwnParticipant() {
  const char* domain = std::getenv("ROS_DOMAIN_ID");
  const auto domain_id =
      static_cast<dds_domainid_t>(domain != nullptr && *domain != '\0' ? std::stoul(domain) : 0);
  dds_entity_t participants[4];
  const dds_return_t count = dds_lookup_participant(domain_id, participants, 4);
  return count == 1 ? participants[0] : 0;
}

// What a writer of this process announces of itself on Cyclone's built-in publication topic, as
// a ROS 2 node elsewhere sees it.
struct AnnouncedWriter {
  std::string type_name;
  dds_history_kind_t history = DDS_HISTORY_KEEP_ALL;
  int32_t depth = 0;
  dds_reliability_kind_t reliability = DDS_RELIABILITY_BEST_EFFORT;
  dds_durability_kind_t durability = DDS_DURABILITY_PERSISTENT;
  dds_data_representation_id_t representation = -1;
};

// The announcement of this process's writer on the DDS topic `dds_topic` (e.g. "rt/diagnostics"),
// waited for up to `timeout`; nothing when none came.
inline std::optional<AnnouncedWriter> OwnAnnouncedWriter(
    const std::string& dds_topic, std::chrono::seconds timeout = std::chrono::seconds(10)) {
  const dds_entity_t participant = OwnParticipant();
  dds_instance_handle_t own = 0;
  if (participant <= 0 || dds_get_instance_handle(participant, &own) != DDS_RETCODE_OK) {
    return std::nullopt;
  }
  const dds_entity_t reader =
      dds_create_reader(participant, DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, nullptr);
  std::optional<AnnouncedWriter> found;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!found && std::chrono::steady_clock::now() < deadline) {
    void* samples[16] = {};
    dds_sample_info_t infos[16];
    const int32_t count = dds_take(reader, samples, infos, 16, 16);
    for (int32_t i = 0; i < count; ++i) {
      const auto* endpoint = static_cast<const dds_builtintopic_endpoint_t*>(samples[i]);
      if (!infos[i].valid_data || endpoint->participant_instance_handle != own ||
          endpoint->topic_name != dds_topic) {
        continue;
      }
      AnnouncedWriter writer;
      writer.type_name = endpoint->type_name;
      dds_qget_history(endpoint->qos, &writer.history, &writer.depth);
      dds_qget_reliability(endpoint->qos, &writer.reliability, nullptr);
      dds_qget_durability(endpoint->qos, &writer.durability);
      uint32_t representations = 0;
      dds_data_representation_id_t* ids = nullptr;
      if (dds_qget_data_representation(endpoint->qos, &representations, &ids) &&
          representations > 0) {
        writer.representation = ids[0];
      }
      dds_free(ids);
      found = writer;
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

}  // namespace valtrix::test
