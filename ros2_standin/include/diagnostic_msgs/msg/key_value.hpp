#pragma once

#include <memory>
#include <string>

namespace diagnostic_msgs::msg {

/// One labelled value of a status.
struct KeyValue {
  using SharedPtr = std::shared_ptr<KeyValue>;
  using ConstSharedPtr = std::shared_ptr<const KeyValue>;
  using UniquePtr = std::unique_ptr<KeyValue>;

  // Explicit, as in the generated messages: no aggregate or copy-list initialisation.
  explicit KeyValue() = default;

  std::string key;
  std::string value;

  bool operator==(const KeyValue& other) const {
    return key == other.key && value == other.value;
  }
  bool operator!=(const KeyValue& other) const { return !(*this == other); }
};

}  // namespace diagnostic_msgs::msg
