#pragma once

#include <dds/dds.h>

#include <cstdlib>
#include <string>

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

}  // namespace valtrix::test
