#pragma once

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace valtrix::test {

// Files written for one test and removed with it; also removes paths handed to Keep().
class TempFiles {
 public:
  TempFiles() = default;
  TempFiles(const TempFiles&) = delete;
  TempFiles& operator=(const TempFiles&) = delete;
  ~TempFiles() {
    for (const auto& path : paths_) {
      std::remove(path.c_str());
    }
  }

  // A new file under /tmp holding `text`; returns its path.
  std::string Write(const std::string& text) {
    char path[] = "/tmp/valtrix_test_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
      throw std::runtime_error("mkstemp failed");
    }
    close(fd);
    std::ofstream(path, std::ios::binary) << text;
    return Keep(path);
  }

  // Removes `path` with the others.
  std::string Keep(const std::string& path) {
    paths_.push_back(path);
    return path;
  }

 private:
  std::vector<std::string> paths_;
};

}  // namespace valtrix::test
