#include "valtrix/trace/flow_trace.hpp"

namespace valtrix::trace {

void FlowTrace::Init(const std::string& /*path*/, std::shared_ptr<rclcpp::Node> node) {
  node_ = std::move(node);
}

}  // namespace valtrix::trace
