// libFuzzer target: arbitrary bytes as a flow configuration file. Run it through
// tests/run_fuzz.sh, which bounds the time and prints the number of executions.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "valtrix/trace/flow_trace.hpp"

namespace {

std::string& InputPath() {
  static std::string path;
  return path;
}

void RemoveInput() { unlink(InputPath().c_str()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // No sink: every line is still formatted (DEBUG included), then discarded.
  setenv("SPDLOG_STDOUT", "false", 1);
  setenv("SPDLOG_SYSTEMD", "false", 1);
  setenv("SPDLOG_LEVEL", "debug", 1);
  const char* dir = std::getenv("TMPDIR");
  std::string templ = std::string(dir != nullptr ? dir : "/tmp") + "/valtrix_fuzz_XXXXXX";
  const int fd = mkstemp(templ.data());
  if (fd < 0) {
    std::perror("mkstemp");
    std::abort();
  }
  close(fd);
  InputPath() = templ;
  std::atexit(RemoveInput);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(InputPath().c_str(), "wb");
  if (file == nullptr) {
    std::abort();
  }
  if (size != 0 && std::fwrite(data, 1, size, file) != size) {
    std::abort();
  }
  std::fclose(file);
  valtrix::trace::FlowTrace::GetInstance().Init(InputPath(), nullptr);
  return 0;
}
