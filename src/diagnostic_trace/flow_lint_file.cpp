// Reading a configuration file for the linter.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "flow_lint_model.hpp"

namespace valtrix::trace::lint {

namespace {

// Reads the whole file without ever blocking: directories, FIFOs and sockets are refused
// before they are opened, and the file is opened non-blocking in case it changed meanwhile.
bool ReadConfigFile(const std::string& path, std::string& text, std::string& error) {
  const auto fail = [&](const std::string& reason) {
    error = reason + ": " + path;
    return false;
  };
  const auto kind_error = [&](mode_t mode) -> const char* {
    if (S_ISDIR(mode)) return "is a directory";
    if (S_ISFIFO(mode)) return "is a FIFO";
    if (S_ISSOCK(mode)) return "is a socket";
    return nullptr;
  };
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    return fail(std::strerror(errno));
  }
  if (const char* kind = kind_error(info.st_mode)) {
    return fail(kind);
  }
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return fail(std::strerror(errno));
  }
  const char* kind = fstat(fd, &info) == 0 ? kind_error(info.st_mode) : nullptr;
  char buffer[65536];
  ssize_t count = 0;
  while (kind == nullptr && (count = read(fd, buffer, sizeof(buffer))) != 0) {
    if (count > 0) {
      text.append(buffer, static_cast<size_t>(count));
    } else if (errno != EINTR) {
      break;
    }
  }
  const int read_errno = errno;
  close(fd);
  if (kind != nullptr) {
    return fail(kind);
  }
  if (count < 0) {
    return fail(std::strerror(read_errno));
  }
  return true;
}

}  // namespace

bool ReadConfigText(const std::string& path, std::string& text, LintFinding& failure) {
  std::string error;
  if (ReadConfigFile(path, text, error)) {
    return true;
  }
  failure.severity = LintSeverity::kError;
  failure.file = path;
  failure.code = "unreadable-file";
  failure.message = "cannot read the file: " + error;
  return false;
}

}  // namespace valtrix::trace::lint
