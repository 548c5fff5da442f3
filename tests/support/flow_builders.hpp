#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "valtrix/trace/trace_records.hpp"

namespace valtrix::trace {

// Critical configured points with the given ids, in order.
inline std::vector<std::shared_ptr<TracePointCfg>> CriticalPoints(
    std::initializer_list<const char*> ids) {
  std::vector<std::shared_ptr<TracePointCfg>> points;
  for (const char* id : ids) {
    auto point = std::make_shared<TracePointCfg>(id);
    point->is_critical = true;
    points.push_back(point);
  }
  return points;
}

// A flow named "<flow_id>_name" over critical points with the given ids, without publisher.
inline std::shared_ptr<TraceFlowCfg> CriticalFlow(const std::string& flow_id,
                                                  std::initializer_list<const char*> ids,
                                                  bool ordered = true) {
  auto cfg = std::make_shared<TraceFlowCfg>(flow_id, flow_id + "_name");
  cfg->check_order = ordered;
  cfg->flow_points = CriticalPoints(ids);
  return cfg;
}

}  // namespace valtrix::trace
