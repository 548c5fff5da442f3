#include <cstdlib>
#include <mutex>
#include <string>

#include <rclcpp/exceptions.hpp>

#include "graph.hpp"
#include "standin_internal.hpp"

namespace ros2_standin {
namespace {

constexpr int kRclError = 1;  // RCL_RET_ERROR

// Loopback only, no multicast: discovery goes by unicast to the participant ports on 127.0.0.1,
// so every process on this machine probes enough participant indices to find the others.
constexpr char kLocalhostOnlyConfig[] =
    "<CycloneDDS><Domain Id=\"any\"><General><Interfaces>"
    "<NetworkInterface address=\"127.0.0.1\"/></Interfaces>"
    "<AllowMulticast>false</AllowMulticast></General>"
    "<Discovery><ParticipantIndex>auto</ParticipantIndex>"
    "<MaxAutoParticipantIndex>32</MaxAutoParticipantIndex>"
    "<Peers><Peer address=\"127.0.0.1\"/></Peers></Discovery></Domain></CycloneDDS>";

dds_domainid_t domain_id_from_environment() {
  const char* value = std::getenv("ROS_DOMAIN_ID");
  if (value == nullptr || *value == '\0') {
    return 0;
  }
  char* end = nullptr;
  const unsigned long id = std::strtoul(value, &end, 10);
  if (*end != '\0' || id > 232) {
    throw rclcpp::exceptions::RCLError(
        rclcpp::exceptions::RCLErrorBase(kRclError,
                                         "invalid ROS_DOMAIN_ID '" + std::string(value) + "'"),
        "failed to create the DDS participant: ");
  }
  return static_cast<dds_domainid_t>(id);
}

// What rmw_cyclonedds_cpp puts in the participant's USER_DATA: the security enclave, rcl's
// default "/" here, which ROS 2's graph records for the participant's nodes.
constexpr char kUserData[] = "enclave=/;";

bool localhost_only() {
  const char* value = std::getenv("ROS_LOCALHOST_ONLY");
  return value != nullptr && std::string(value) == "1";
}

std::shared_ptr<Participant> create_participant() {
  const dds_domainid_t domain_id = domain_id_from_environment();
  dds_entity_t domain = 0;
  if (localhost_only()) {
    // The user's own configuration comes first; ours overrides what it says about networking.
    const char* user_uri = std::getenv("CYCLONEDDS_URI");
    std::string config = user_uri != nullptr && *user_uri != '\0'
                             ? std::string(user_uri) + "," + kLocalhostOnlyConfig
                             : std::string(kLocalhostOnlyConfig);
    domain = dds_create_domain(domain_id, config.c_str());
    if (domain < 0) {
      throw_dds_error(domain, "failed to create the DDS domain");
    }
  }
  dds_qos_t* qos = dds_create_qos();
  dds_qset_userdata(qos, kUserData, sizeof(kUserData) - 1);
  const dds_entity_t participant = dds_create_participant(domain_id, qos, nullptr);
  dds_delete_qos(qos);
  if (participant < 0) {
    if (domain > 0) {
      dds_delete(domain);
    }
    throw_dds_error(participant, "failed to create the DDS participant");
  }
  return std::make_shared<Participant>(domain, participant);
}

}  // namespace

std::shared_ptr<Participant> Participant::Get() {
  // Never destroyed: entities released late at exit must not touch a destroyed mutex.
  static auto* mutex = new std::mutex();
  static auto* current = new std::weak_ptr<Participant>();
  std::lock_guard<std::mutex> lock(*mutex);
  auto participant = current->lock();
  if (!participant) {
    participant = create_participant();
    *current = participant;
  }
  return participant;
}

Participant::Participant(dds_entity_t domain, dds_entity_t participant)
    : domain_(domain), participant_(participant) {
  try {
    graph_ = std::make_unique<Graph>(participant_);
  } catch (...) {
    delete_entities();
    throw;
  }
}

// The graph's writer goes with the participant; by now every node has withdrawn through it.
Participant::~Participant() { delete_entities(); }

void Participant::delete_entities() {
  // Errors are ignored: at exit Cyclone may have torn its entities down already.
  dds_delete(participant_);
  if (domain_ > 0) {
    dds_delete(domain_);
  }
}

void throw_dds_error(dds_return_t ret, const std::string& what) {
  throw rclcpp::exceptions::RCLError(
      rclcpp::exceptions::RCLErrorBase(kRclError, what + ": " + dds_strretcode(ret)), "");
}

}  // namespace ros2_standin
