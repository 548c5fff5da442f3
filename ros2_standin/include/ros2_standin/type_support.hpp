#pragma once

#include <cstddef>
#include <memory>

namespace ros2_standin {

/// Storage a writer keeps between publishes for the C arrays of a sample's sequences, so that
/// publishing a message with sequences of structs reuses them instead of allocating anew.
class SampleScratch {
 public:
  virtual ~SampleScratch() = default;
};

/// How a message type travels over DDS: its topic descriptor and the conversion between the
/// C++ message and the C sample that idlc generated for it.
struct MessageTypeSupport {
  /// The `dds_topic_descriptor_t` of the type.
  const void* dds_descriptor;
  /// Size of the C sample.
  std::size_t sample_size;
  /// Fills `sample` from `message`; the sample borrows the message's strings, and the arrays of
  /// its sequences of structs from `scratch` (null for types without `make_scratch`).
  void (*to_sample)(const void* message, void* sample, SampleScratch* scratch);
  /// Copies `sample` into `message`, sequences included; the message keeps nothing of the sample.
  void (*from_sample)(const void* sample, void* message);
  /// Makes the scratch one writer lends `to_sample`; null for types that need none.
  std::unique_ptr<SampleScratch> (*make_scratch)();
};

/// Specialised, next to each message type, for every type the stand-in can carry.
template <typename MessageT>
const MessageTypeSupport& get_message_type_support();

}  // namespace ros2_standin
