#include "config_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace valtrix::trace {

namespace {

[[noreturn]] void Refuse(const std::string& problem, const std::string& path) {
  throw YAML::Exception(YAML::Mark::null_mark(), problem + ": " + path);
}

// Only regular files and character devices (such as /dev/null) are read; the rest is named.
void RefuseUnreadableKind(mode_t mode, const std::string& path) {
  if (S_ISDIR(mode)) {
    Refuse("is a directory", path);
  }
  if (S_ISFIFO(mode)) {
    Refuse("is a FIFO", path);
  }
  if (S_ISSOCK(mode)) {
    Refuse("is a socket", path);
  }
}

[[noreturn]] void RefuseTooLarge(const std::string& path) {
  Refuse("is larger than " + std::to_string(kMaxConfigBytes >> 20) + " MiB", path);
}

// Closes the descriptor on every way out.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string ReadConfigFile(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) == 0) {
    RefuseUnreadableKind(status.st_mode, path);
  }
  // O_NONBLOCK keeps the open itself from waiting should a FIFO have replaced the file since the
  // check above; the kind is checked again on what was actually opened.
  const FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) {
    throw ConfigFileNotOpened(path, errno);
  }
  if (fstat(file.get(), &status) != 0) {
    Refuse(std::strerror(errno), path);
  }
  RefuseUnreadableKind(status.st_mode, path);
  fcntl(file.get(), F_SETFL, fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);

  std::string text;
  if (S_ISREG(status.st_mode) && status.st_size > 0) {
    if (static_cast<uint64_t>(status.st_size) > kMaxConfigBytes) {
      RefuseTooLarge(path);
    }
    text.reserve(static_cast<size_t>(status.st_size));
  }
  char buffer[65536];
  for (;;) {
    const ssize_t count = read(file.get(), buffer, sizeof buffer);
    if (count == 0) {
      return text;
    }
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      Refuse(std::string("read failed (") + std::strerror(errno) + ")", path);
    }
    text.append(buffer, static_cast<size_t>(count));
    if (text.size() > kMaxConfigBytes) {
      RefuseTooLarge(path);
    }
  }
}

}  // namespace valtrix::trace
