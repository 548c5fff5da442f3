#pragma once

#include <cstddef>
#include <cstdint>

namespace ros2_standin {

/// How a message type travels over DDS: its topic descriptor and the conversion between the
/// C++ message and the C sample that idlc generated for it.
struct MessageTypeSupport {
  /// The `dds_topic_descriptor_t` of the type.
  const void* dds_descriptor;
  /// Size of the C sample.
  std::size_t sample_size;
  /// Writes `message` with the DDS writer `writer` (a `dds_entity_t`) and returns what
  /// `dds_write` returns. The C sample borrows the message's strings.
  int32_t (*write)(int32_t writer, const void* message);
  /// Copies `sample` into `message`, sequences included; the message keeps nothing of the sample.
  void (*from_sample)(const void* sample, void* message);
};

/// Specialised, next to each message type, for every type the stand-in can carry.
template <typename MessageT>
const MessageTypeSupport& get_message_type_support();

}  // namespace ros2_standin
