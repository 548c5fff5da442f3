#pragma once

#include <memory>
#include <string>

#include <builtin_interfaces/msg/time.hpp>

namespace std_msgs::msg {

/// Time stamp and coordinate frame of stamped data.
struct Header {
  using SharedPtr = std::shared_ptr<Header>;
  using ConstSharedPtr = std::shared_ptr<const Header>;
  using UniquePtr = std::unique_ptr<Header>;

  // Explicit, as in the generated messages: no aggregate or copy-list initialisation.
  explicit Header() = default;

  builtin_interfaces::msg::Time stamp;
  std::string frame_id;

  bool operator==(const Header& other) const {
    return stamp == other.stamp && frame_id == other.frame_id;
  }
  bool operator!=(const Header& other) const { return !(*this == other); }
};

}  // namespace std_msgs::msg
