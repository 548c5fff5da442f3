#pragma once

// The keys of a flow configuration file, written once: Init's parsers and the linter read every
// flow and point entry by these tables, in their order (of several faulty keys in one entry,
// the first in this order is the one reported), with these conversions.

#include <yaml-cpp/yaml.h>

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "valtrix/trace/trace_records.hpp"

namespace valtrix::trace::config_format {

/// The top-level key that holds the flow entries.
inline constexpr char kWorkflows[] = "workflows";

/// What an absent key means, and how a bool key maps onto its field.
enum class Rule {
  kPlain,            ///< absent, the field keeps the record's default
  kRequired,         ///< absent, the entry is refused
  kFalseWhenAbsent,  ///< a bool key that counts as false when absent
  kNegated,          ///< a bool key, false when absent, whose field holds its negation
};

/// One key of a flow or point entry and the field of `Record` it fills. Text, bool, unsigned
/// and float fields take yaml-cpp's as<T>(); the point list is read entry by entry by each
/// reader. `old_name`, an older spelling, is read only when `name` is absent.
template <typename Record>
struct Key {
  const char* name;
  std::variant<std::string Record::*, bool Record::*, uint32_t Record::*, float Record::*,
               std::vector<std::shared_ptr<TracePointCfg>> Record::*>
      field;
  const char* old_name = nullptr;
  Rule rule = Rule::kPlain;

  template <typename T>
  constexpr bool Fills(T Record::*member) const {
    const auto* filled = std::get_if<T Record::*>(&field);
    return filled != nullptr && *filled == member;
  }
};

/// What a value must be, for messages, by the index of Key::field's alternative.
inline constexpr const char* kValueKinds[] = {"a text", "a boolean (true/false, yes/no, on/off)",
                                              "an unsigned 32-bit integer", "a number",
                                              "a sequence of points"};

// "faliure_id" and, for points, "description" are older spellings still found in deployed files.
inline constexpr Key<TraceFlowCfg> kFlowKeys[] = {
    {"flow_id", &TraceFlowCfg::flow_id},
    {"flow_name", &TraceFlowCfg::flow_name},
    {"diag_topic", &TraceFlowCfg::diag_topic},
    {"description", &TraceFlowCfg::description},
    // A flow built in code is ordered by default, one read from a file is not.
    {"check_order", &TraceFlowCfg::check_order, nullptr, Rule::kFalseWhenAbsent},
    {"event_id", &TraceFlowCfg::event_id, "faliure_id"},
    {"max_record", &TraceFlowCfg::max_record},
    {"flow_points", &TraceFlowCfg::flow_points},
};

inline constexpr Key<TracePointCfg> kPointKeys[] = {
    {"point_id", &TracePointCfg::point_id, nullptr, Rule::kRequired},
    {"event_id", &TracePointCfg::event_id, "faliure_id"},
    {"on_success", &TracePointCfg::on_success},
    {"on_failure", &TracePointCfg::on_failure},
    {"on_timeout", &TracePointCfg::on_timeout},
    {"repeat_cnt", &TracePointCfg::repeat_cnt},
    {"repeat_max", &TracePointCfg::repeat_max},
    {"timeout_ms", &TracePointCfg::timeout_ms},
    {"freq_min", &TracePointCfg::freq_min},
    {"point_desc", &TracePointCfg::description, "description"},
    {"optional", &TracePointCfg::is_critical, nullptr, Rule::kNegated},
};

/// Stores the present key's `value` in `record`; throws YAML::Exception, leaving `record` as it
/// was, when the value does not convert.
template <typename Record>
void Store(const Key<Record>& key, const YAML::Node& value, Record& record) {
  if (const auto* text = std::get_if<std::string Record::*>(&key.field)) {
    record.*(*text) = value.as<std::string>();
  } else if (const auto* flag = std::get_if<bool Record::*>(&key.field)) {
    const bool written = value.as<bool>();
    record.*(*flag) = key.rule == Rule::kNegated ? !written : written;
  } else if (const auto* count = std::get_if<uint32_t Record::*>(&key.field)) {
    record.*(*count) = value.as<unsigned int>();
  } else if (const auto* number = std::get_if<float Record::*>(&key.field)) {
    record.*(*number) = value.as<float>();
  }
}

/// Leaves in `record` what an absent key means.
template <typename Record>
void StoreAbsent(const Key<Record>& key, Record& record) {
  if (key.rule == Rule::kFalseWhenAbsent || key.rule == Rule::kNegated) {
    record.*std::get<bool Record::*>(key.field) = key.rule == Rule::kNegated;
  }
}

/// Reads `key` of the mapping `entry` into `record` as Init does and returns its value: the
/// key's, else its old spelling's, undefined when neither is there. Lookups through the const
/// node insert nothing. Throws YAML::Exception when the value does not convert or `entry` is a
/// scalar.
template <typename Record>
YAML::Node Read(const YAML::Node& entry, const Key<Record>& key, Record& record) {
  const YAML::Node named = entry[key.name];
  // A failed lookup gives a node that cannot be assigned to, hence no reassignment here.
  const YAML::Node value =
      named.IsDefined() || key.old_name == nullptr ? named : entry[key.old_name];
  if (value.IsDefined()) {
    Store(key, value, record);
  } else {
    StoreAbsent(key, record);
  }
  return value;
}

}  // namespace valtrix::trace::config_format
