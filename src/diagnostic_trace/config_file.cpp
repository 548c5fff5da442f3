#include "config_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/parser.h>

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

namespace {

struct AliasLimitPassed {
  YAML::Mark mark;
};

// Sizes every node as a full expansion would have it (1 for a scalar, 1 plus its contents for a
// collection, an alias the size of the node it names) and adds up what the aliases reach.
// Throws AliasLimitPassed at the alias that takes that past the limit.
class AliasedNodeCounter : public YAML::EventHandler {
 public:
  void OnDocumentStart(const YAML::Mark& /*mark*/) override {}
  void OnDocumentEnd() override {}
  void OnNull(const YAML::Mark& /*mark*/, YAML::anchor_t anchor) override { Done(anchor, 1); }
  void OnScalar(const YAML::Mark& /*mark*/, const std::string& /*tag*/, YAML::anchor_t anchor,
                const std::string& /*value*/) override {
    Done(anchor, 1);
  }
  // An alias of a node still open (yaml-cpp accepts `&a [*a]`) counts as the one node it is.
  void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
    const uint64_t size = anchor < sizes_.size() && sizes_[anchor] != 0 ? sizes_[anchor] : 1;
    aliased_ += size;
    if (aliased_ > kMaxAliasedNodes) {
      throw AliasLimitPassed{mark};
    }
    AddToOpen(size);
  }
  void OnSequenceStart(const YAML::Mark& /*mark*/, const std::string& /*tag*/,
                       YAML::anchor_t anchor, YAML::EmitterStyle::value /*style*/) override {
    open_.push_back({anchor, 1});
  }
  void OnSequenceEnd() override { Close(); }
  void OnMapStart(const YAML::Mark& /*mark*/, const std::string& /*tag*/, YAML::anchor_t anchor,
                  YAML::EmitterStyle::value /*style*/) override {
    open_.push_back({anchor, 1});
  }
  void OnMapEnd() override { Close(); }

 private:
  struct Open {
    YAML::anchor_t anchor;
    uint64_t size;
  };

  void Done(YAML::anchor_t anchor, uint64_t size) {
    if (anchor != YAML::NullAnchor) {
      if (sizes_.size() <= anchor) {
        sizes_.resize(anchor + 1, 0);
      }
      sizes_[anchor] = size;
    }
    AddToOpen(size);
  }
  void AddToOpen(uint64_t size) {
    if (!open_.empty()) {
      open_.back().size += size;
    }
  }
  void Close() {
    const Open closed = open_.back();
    open_.pop_back();
    Done(closed.anchor, closed.size);
  }

  std::vector<Open> open_;
  std::vector<uint64_t> sizes_;  // by anchor; 0 while the anchored node is open
  uint64_t aliased_ = 0;
};

}  // namespace

std::optional<YAML::Mark> FindAliasExcess(const std::string& yaml) {
  // Without an anchor there is no alias to expand.
  if (yaml.find('&') == std::string::npos) {
    return std::nullopt;
  }
  std::istringstream in(yaml);
  YAML::Parser parser(in);
  AliasedNodeCounter counter;
  try {
    parser.HandleNextDocument(counter);
  } catch (const AliasLimitPassed& passed) {
    return passed.mark;
  }
  return std::nullopt;
}

YAML::Node LoadConfigFile(const std::string& path) {
  const std::string text = ReadConfigFile(path);
  YAML::Node root = YAML::Load(text);
  if (const auto excess = FindAliasExcess(text)) {
    Refuse("aliases reach more than " + std::to_string(kMaxAliasedNodes) + " nodes at line " +
               std::to_string(excess->line + 1) + ", column " +
               std::to_string(excess->column + 1),
           path);
  }
  return root;
}

}  // namespace valtrix::trace
