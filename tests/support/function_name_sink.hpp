#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "valtrix/logger.hpp"

namespace valtrix::test {

// Records the function name and text of every line the logger emits (the journal's CODE_FUNC).
class FunctionNameSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::pair<std::string, std::string>> lines;  // (function, message)

  std::vector<std::string> Functions() const {
    std::vector<std::string> functions;
    for (const auto& line : lines) {
      functions.push_back(line.first);
    }
    return functions;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines.emplace_back(msg.source.funcname == nullptr ? "" : msg.source.funcname,
                       std::string(msg.payload.data(), msg.payload.size()));
  }
  void flush_() override {}
};

// Adds a FunctionNameSink to the logger for its lifetime.
class FunctionNames {
 public:
  FunctionNames() : sink_(std::make_shared<FunctionNameSink>()) {
    Logger::Instance().logger->sinks().push_back(sink_);
  }
  ~FunctionNames() { Logger::Instance().logger->sinks().pop_back(); }
  FunctionNames(const FunctionNames&) = delete;
  FunctionNames& operator=(const FunctionNames&) = delete;

  const FunctionNameSink& sink() const { return *sink_; }

 private:
  std::shared_ptr<FunctionNameSink> sink_;
};

}  // namespace valtrix::test
