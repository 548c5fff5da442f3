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

// A configuration whose one flow takes its points from `levels` levels of nested aliases, each
// naming the one below ten times: about 10^levels nodes written in a few hundred bytes.
inline std::string NestedAliasFlows(int levels) {
  std::string yaml = "a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int level = 1; level < levels; ++level) {
    const std::string below = "*a" + std::to_string(level - 1);
    yaml += "a" + std::to_string(level) + ": &a" + std::to_string(level) + " [" + below;
    for (int k = 1; k < 10; ++k) {
      yaml += ", " + below;
    }
    yaml += "]\n";
  }
  return yaml + "workflows: [{flow_id: f, flow_points: *a" + std::to_string(levels - 1) + "}]\n";
}

}  // namespace valtrix::trace
