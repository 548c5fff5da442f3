#pragma once

#include <cstddef>

namespace ros2_standin {

/// How a message type travels over DDS: its topic descriptor and the conversion between the
/// C++ message and the C sample that idlc generated for it.
struct MessageTypeSupport {
  /// The `dds_topic_descriptor_t` of the type.
  const void* dds_descriptor;
  /// Size of the C sample.
  std::size_t sample_size;
  /// Fills `sample` from `message`; the sample borrows the message's strings.
  void (*to_sample)(const void* message, void* sample);
  /// Copies `sample` into `message`.
  void (*from_sample)(const void* sample, void* message);
};

/// Specialised, next to each message type, for every type the stand-in can carry.
template <typename MessageT>
const MessageTypeSupport& get_message_type_support();

}  // namespace ros2_standin
