#include <cstdint>
#include <string>
#include <vector>

#include <dds/dds.h>

#include <builtin_interfaces/msg/Time.h>
#include <diagnostic_msgs/msg/DiagnosticArray.h>
#include <std_msgs/msg/String.h>
#include <valtrix_protocol/msg/DiagnosticEvent.h>

#include <diagnostic_msgs/msg/diagnostic_array.hpp>
#include <std_msgs/msg/string.hpp>
#include <valtrix_protocol/msg/diagnostic_event.hpp>

namespace ros2_standin {
namespace {

using diagnostic_msgs::msg::DiagnosticArray;
using diagnostic_msgs::msg::DiagnosticStatus;
using diagnostic_msgs::msg::KeyValue;
using valtrix_protocol::msg::DiagnosticEvent;
using DiagnosticEventSample = valtrix_protocol_msg_dds__DiagnosticEvent_;
using DiagnosticArraySample = diagnostic_msgs_msg_dds__DiagnosticArray_;
using DiagnosticStatusSample = diagnostic_msgs_msg_dds__DiagnosticStatus_;
using KeyValueSample = diagnostic_msgs_msg_dds__KeyValue_;
using StringSample = std_msgs_msg_dds__String_;

// The sample only borrows the strings: dds_write serialises without modifying them.
char* borrow(const std::string& text) { return const_cast<char*>(text.c_str()); }
std::string copy(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

// Points a C sequence at `count` elements that the sample does not own.
template <typename Sequence, typename Element>
void borrow_sequence(Sequence& sequence, Element* elements, size_t count) {
  sequence._maximum = static_cast<uint32_t>(count);
  sequence._length = static_cast<uint32_t>(count);
  sequence._buffer = count > 0 ? elements : nullptr;
  sequence._release = false;
}

void time_to_sample(const builtin_interfaces::msg::Time& time,
                    builtin_interfaces_msg_dds__Time_& out) {
  out.sec = time.sec;
  out.nanosec = time.nanosec;
}

builtin_interfaces::msg::Time time_from_sample(const builtin_interfaces_msg_dds__Time_& in) {
  builtin_interfaces::msg::Time time;
  time.sec = in.sec;
  time.nanosec = in.nanosec;
  return time;
}

int32_t write_diagnostic_event(int32_t writer, const void* message) {
  const auto& event = *static_cast<const DiagnosticEvent*>(message);
  DiagnosticEventSample out{};
  time_to_sample(event.stamp, out.stamp);
  out.source_id = borrow(event.source_id);
  out.event_code = event.event_code;
  out.outcome = event.outcome;
  out.detail = borrow(event.detail);
  return dds_write(writer, &out);
}

void diagnostic_event_from_sample(const void* sample, void* message) {
  const auto& in = *static_cast<const DiagnosticEventSample*>(sample);
  auto& event = *static_cast<DiagnosticEvent*>(message);
  event.stamp = time_from_sample(in.stamp);
  event.source_id = copy(in.source_id);
  event.event_code = in.event_code;
  event.outcome = in.outcome;
  event.detail = copy(in.detail);
}

int32_t write_string(int32_t writer, const void* message) {
  StringSample out{};
  out.data = borrow(static_cast<const std_msgs::msg::String*>(message)->data);
  return dds_write(writer, &out);
}

void string_from_sample(const void* sample, void* message) {
  static_cast<std_msgs::msg::String*>(message)->data =
      copy(static_cast<const StringSample*>(sample)->data);
}

// The sequences of structs point at arrays made for the call: every status of the message, and
// the values of all statuses one after the other.
int32_t write_diagnostic_array(int32_t writer, const void* message) {
  const auto& array = *static_cast<const DiagnosticArray*>(message);
  size_t value_count = 0;
  for (const auto& status : array.status) {
    value_count += status.values.size();
  }
  std::vector<DiagnosticStatusSample> statuses(array.status.size());
  std::vector<KeyValueSample> values(value_count);

  KeyValueSample* next_value = values.data();
  for (size_t i = 0; i < array.status.size(); ++i) {
    const DiagnosticStatus& status = array.status[i];
    DiagnosticStatusSample& status_out = statuses[i];
    status_out.level = status.level;
    status_out.name = borrow(status.name);
    status_out.message = borrow(status.message);
    status_out.hardware_id = borrow(status.hardware_id);
    for (size_t j = 0; j < status.values.size(); ++j) {
      next_value[j].key = borrow(status.values[j].key);
      next_value[j].value = borrow(status.values[j].value);
    }
    borrow_sequence(status_out.values, next_value, status.values.size());
    next_value += status.values.size();
  }
  DiagnosticArraySample out{};
  time_to_sample(array.header.stamp, out.header.stamp);
  out.header.frame_id = borrow(array.header.frame_id);
  borrow_sequence(out.status, statuses.data(), statuses.size());
  return dds_write(writer, &out);
}

DiagnosticStatus status_from_sample(const DiagnosticStatusSample& in) {
  DiagnosticStatus status;
  status.level = in.level;
  status.name = copy(in.name);
  status.message = copy(in.message);
  status.hardware_id = copy(in.hardware_id);
  status.values.reserve(in.values._length);
  for (uint32_t i = 0; i < in.values._length; ++i) {
    KeyValue& value = status.values.emplace_back();
    value.key = copy(in.values._buffer[i].key);
    value.value = copy(in.values._buffer[i].value);
  }
  return status;
}

void diagnostic_array_from_sample(const void* sample, void* message) {
  const auto& in = *static_cast<const DiagnosticArraySample*>(sample);
  auto& array = *static_cast<DiagnosticArray*>(message);
  array.header.stamp = time_from_sample(in.header.stamp);
  array.header.frame_id = copy(in.header.frame_id);
  array.status.clear();
  array.status.reserve(in.status._length);
  for (uint32_t i = 0; i < in.status._length; ++i) {
    array.status.push_back(status_from_sample(in.status._buffer[i]));
  }
}

}  // namespace

template <>
const MessageTypeSupport& get_message_type_support<DiagnosticEvent>() {
  static const MessageTypeSupport type_support{
      &valtrix_protocol_msg_dds__DiagnosticEvent__desc, sizeof(DiagnosticEventSample),
      write_diagnostic_event, diagnostic_event_from_sample};
  return type_support;
}

template <>
const MessageTypeSupport& get_message_type_support<DiagnosticArray>() {
  static const MessageTypeSupport type_support{
      &diagnostic_msgs_msg_dds__DiagnosticArray__desc, sizeof(DiagnosticArraySample),
      write_diagnostic_array, diagnostic_array_from_sample};
  return type_support;
}

template <>
const MessageTypeSupport& get_message_type_support<std_msgs::msg::String>() {
  static const MessageTypeSupport type_support{&std_msgs_msg_dds__String__desc,
                                               sizeof(StringSample), write_string,
                                               string_from_sample};
  return type_support;
}

}  // namespace ros2_standin
