#include <string>

#include <builtin_interfaces/msg/Time.h>
#include <valtrix_protocol/msg/DiagnosticEvent.h>

#include <valtrix_protocol/msg/diagnostic_event.hpp>

namespace ros2_standin {
namespace {

using valtrix_protocol::msg::DiagnosticEvent;
using DiagnosticEventSample = valtrix_protocol_msg_dds__DiagnosticEvent_;

// The sample only borrows the strings: dds_write serialises without modifying them.
char* borrow(const std::string& text) { return const_cast<char*>(text.c_str()); }
std::string copy(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

void diagnostic_event_to_sample(const void* message, void* sample) {
  const auto& event = *static_cast<const DiagnosticEvent*>(message);
  auto& out = *static_cast<DiagnosticEventSample*>(sample);
  out.stamp.sec = event.stamp.sec;
  out.stamp.nanosec = event.stamp.nanosec;
  out.source_id = borrow(event.source_id);
  out.event_code = event.event_code;
  out.outcome = event.outcome;
  out.detail = borrow(event.detail);
}

void diagnostic_event_from_sample(const void* sample, void* message) {
  const auto& in = *static_cast<const DiagnosticEventSample*>(sample);
  auto& event = *static_cast<DiagnosticEvent*>(message);
  event.stamp.sec = in.stamp.sec;
  event.stamp.nanosec = in.stamp.nanosec;
  event.source_id = copy(in.source_id);
  event.event_code = in.event_code;
  event.outcome = in.outcome;
  event.detail = copy(in.detail);
}

}  // namespace

template <>
const MessageTypeSupport& get_message_type_support<DiagnosticEvent>() {
  static const MessageTypeSupport type_support{
      &valtrix_protocol_msg_dds__DiagnosticEvent__desc, sizeof(DiagnosticEventSample),
      diagnostic_event_to_sample, diagnostic_event_from_sample};
  return type_support;
}

}  // namespace ros2_standin
