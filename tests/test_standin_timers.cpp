// Wall timers of the ROS 2 stand-in: run by spin_some, spin_once and spin on the calling
// thread, stopped by cancel(), by dropping the timer and by Ctrl-C.

#include <gtest/gtest.h>

#include <csignal>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <rclcpp/rclcpp.hpp>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPeriod(20);
constexpr auto kDeadline = std::chrono::seconds(10);

class StandinTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!rclcpp::ok()) {
      rclcpp::init(0, nullptr);
    }
    node_ = std::make_shared<rclcpp::Node>("standin_timer_test");
  }

  // Calls spin_some until `done` holds; false when the deadline passed first.
  bool SpinSomeUntil(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + kDeadline;
    while (!done()) {
      if (Clock::now() >= deadline) {
        return false;
      }
      rclcpp::spin_some(node_);
      std::this_thread::sleep_for(milliseconds(1));  // polling interval, not a synchronisation
    }
    return true;
  }

  std::shared_ptr<rclcpp::Node> node_;
};

TEST_F(StandinTimerTest, FiresEveryPeriodUnderSpinSomeAndNeverEarly) {
  std::vector<Clock::time_point> plain_calls;
  int timer_calls = 0;
  const auto created = Clock::now();
  auto plain = node_->create_wall_timer(kPeriod, [&] { plain_calls.push_back(Clock::now()); });
  rclcpp::TimerBase* seen = nullptr;
  auto with_argument = node_->create_wall_timer(kPeriod, [&](rclcpp::TimerBase& timer) {
    seen = &timer;
    ++timer_calls;
  });

  ASSERT_TRUE(SpinSomeUntil([&] { return plain_calls.size() >= 5 && timer_calls >= 5; }));
  for (size_t k = 0; k < plain_calls.size(); ++k) {
    EXPECT_GE(plain_calls[k] - created, kPeriod * static_cast<int>(k + 1)) << "call " << k;
  }
  EXPECT_EQ(seen, with_argument.get());
  EXPECT_TRUE(plain->is_steady());
  EXPECT_LE(plain->time_until_trigger(), kPeriod);
}

TEST_F(StandinTimerTest, CancelStopsATimerUntilResetAndDroppingItStopsItForGood) {
  int self_cancelling = 0;
  int dropped = 0;
  int beats = 0;
  auto cancelled = node_->create_wall_timer(kPeriod, [&](rclcpp::TimerBase& timer) {
    ++self_cancelling;
    timer.cancel();
  });
  auto dropped_timer = node_->create_wall_timer(kPeriod, [&] { ++dropped; });
  auto beat = node_->create_wall_timer(kPeriod, [&] { ++beats; });

  ASSERT_TRUE(SpinSomeUntil([&] { return self_cancelling == 1 && dropped == 1; }));
  EXPECT_TRUE(cancelled->is_canceled());
  EXPECT_EQ(cancelled->time_until_trigger(), std::chrono::nanoseconds::max());
  EXPECT_FALSE(cancelled->is_ready());
  dropped_timer.reset();
  const int beats_then = beats;
  ASSERT_TRUE(SpinSomeUntil([&] { return beats >= beats_then + 5; }));
  EXPECT_EQ(self_cancelling, 1);
  EXPECT_EQ(dropped, 1);

  cancelled->reset();
  EXPECT_FALSE(cancelled->is_canceled());
  ASSERT_TRUE(SpinSomeUntil([&] { return self_cancelling == 2; }));
}

// rclcpp's spin_once may also return having run nothing (woken by the node's guard condition).
TEST_F(StandinTimerTest, SpinOnceRunsATimerNoEarlierThanItsDeadline) {
  int calls = 0;
  auto timer = node_->create_wall_timer(milliseconds(50), [&] { ++calls; });
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node_);
  const auto started = Clock::now();
  while (calls == 0 && Clock::now() - started < kDeadline) {
    executor.spin_once();
  }
  EXPECT_EQ(calls, 1);
  EXPECT_GE(Clock::now() - started, milliseconds(40));  // the deadline, less clock jitter
}

TEST_F(StandinTimerTest, CancelFromACallbackEndsExecutorSpin) {
  rclcpp::executors::SingleThreadedExecutor executor;
  executor.add_node(node_);
  int calls = 0;
  auto timer = node_->create_wall_timer(kPeriod, [&] {
    if (++calls == 3) {
      executor.cancel();
    }
  });
  executor.spin();
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(rclcpp::ok());
}

TEST_F(StandinTimerTest, CtrlCEndsSpin) {
  int calls = 0;
  auto timer = node_->create_wall_timer(kPeriod, [&] {
    if (++calls == 3) {
      std::raise(SIGINT);
    }
  });
  rclcpp::spin(node_);
  EXPECT_EQ(calls, 3);
  EXPECT_FALSE(rclcpp::ok());
}

TEST_F(StandinTimerTest, RefusesANegativePeriod) {
  EXPECT_THROW(node_->create_wall_timer(milliseconds(-1), [] {}), std::invalid_argument);
  EXPECT_THROW(node_->create_wall_timer(std::chrono::hours::max(), [] {}), std::invalid_argument);
}

}  // namespace
