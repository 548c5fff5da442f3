#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/capture_stdout.hpp"
#include "valtrix/logger.hpp"

namespace {

using valtrix::Logger;
using valtrix::test::CaptureStdout;

TEST(LoggerThreads, ConcurrentCallsInterleaveNumbersButNeverLoseOrRepeatOne) {
  setenv("SPDLOG_STDOUT", "true", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  setenv("SPDLOG_LEVEL", "info", 1);
  constexpr int kThreads = 4;
  constexpr int kLinesPerThread = 640;  // 2560 lines: ten 8-bit wraps of the counter
  const unsigned start = Logger::Instance().seq.load();

  CaptureStdout capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLinesPerThread; ++i) {
        if (i % 2 == 0) {
          LOG_INFO("thread {} line {}", t, i);
        } else {
          LOG_DEBUG("dropped {}", i);
          LOG_WARN("thread {} line {}", t, i);
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  const auto lines = capture.Lines();

  constexpr int kTotal = kThreads * kLinesPerThread;
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kTotal));
  const std::regex shape(R"(^([ 0-9]{3}) \[(INFO|WARN)\] thread [0-9] line [0-9]+$)");
  std::map<int, int> seen;
  for (const auto& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
    ++seen[std::stoi(match[1])];
  }
  // Every number of the run is taken exactly as often as the counter passes it.
  std::map<int, int> expected;
  for (int i = 1; i <= kTotal; ++i) {
    ++expected[static_cast<int>((start + i) % 128)];
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(Logger::Instance().seq.load(), static_cast<std::uint8_t>(start + kTotal));
}

}  // namespace
