#pragma once

#include <memory>
#include <string>

#include <ros2_standin/type_support.hpp>

namespace std_msgs::msg {

/// A single text.
struct String {
  using SharedPtr = std::shared_ptr<String>;
  using ConstSharedPtr = std::shared_ptr<const String>;
  using UniquePtr = std::unique_ptr<String>;

  std::string data;

  bool operator==(const String& other) const { return data == other.data; }
  bool operator!=(const String& other) const { return !(*this == other); }
};

}  // namespace std_msgs::msg

namespace ros2_standin {
template <>
const MessageTypeSupport& get_message_type_support<std_msgs::msg::String>();
}  // namespace ros2_standin
