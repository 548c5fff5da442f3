#pragma once

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

namespace valtrix::tools {

// rclcpp's signal handler logs, and logging is not async-signal-safe: run on a thread that the
// signal caught inside malloc or stdio, it deadlocks, and the program never ends (seen with real
// rclcpp when a Ctrl-C arrives during start-up). So SIGINT and SIGTERM are blocked on every
// thread but one that does nothing else, and the handler always runs there, holding no lock.
// Blocked before rclcpp::init, the signals are also held back until ROS has installed its
// handlers, and every thread ROS and DDS start inherits the block.
class InterruptsOnOwnThread {
 public:
  InterruptsOnOwnThread() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  }
  InterruptsOnOwnThread(const InterruptsOnOwnThread&) = delete;
  InterruptsOnOwnThread& operator=(const InterruptsOnOwnThread&) = delete;

  // Lets the signals in, on a thread of their own; call once the handlers are installed.
  void Receive() const {
    std::thread([signals = signals_] {
      pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
      for (;;) {
        pause();
      }
    }).detach();
  }

 private:
  sigset_t signals_;
};

}  // namespace valtrix::tools
