#pragma once

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace valtrix::test {

// Redirects file descriptor 1 into a temporary file for its lifetime; Lines()/Text() stop the
// capture (restoring the original stdout) and return what was written.
class CaptureStdout {
 public:
  CaptureStdout() {
    std::fflush(stdout);
    char path[] = "/tmp/valtrix_stdout_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
      throw std::runtime_error("mkstemp failed");
    }
    path_ = path;
    saved_fd_ = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }

  ~CaptureStdout() {
    Stop();
    unlink(path_.c_str());
  }

  CaptureStdout(const CaptureStdout&) = delete;
  CaptureStdout& operator=(const CaptureStdout&) = delete;

  std::string Text() {
    Stop();
    std::ifstream in(path_);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
  }

  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    std::istringstream in(Text());
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
    }
    return lines;
  }

 private:
  void Stop() {
    if (saved_fd_ >= 0) {
      std::fflush(stdout);
      dup2(saved_fd_, STDOUT_FILENO);
      close(saved_fd_);
      saved_fd_ = -1;
    }
  }

  std::string path_;
  int saved_fd_ = -1;
};

// The message part of a log line "NNN [LEVEL] message" with the number dropped:
// "[LEVEL] message". Lines that are not log lines are returned unchanged.
inline std::string WithoutNumber(const std::string& line) {
  return line.size() > 4 && line[3] == ' ' && line[4] == '[' ? line.substr(4) : line;
}

// All captured log lines without their numbers, in order.
inline std::vector<std::string> LogLines(CaptureStdout& capture) {
  std::vector<std::string> lines;
  for (const auto& line : capture.Lines()) {
    lines.push_back(WithoutNumber(line));
  }
  return lines;
}

}  // namespace valtrix::test
