#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/systemd_sink.h>

#include "valtrix/control_escape.hpp"

namespace valtrix {

namespace log_detail {

/// A text argument of a log call, written with its control characters escaped.
struct EscapedText {
  std::string_view text;
};

// Text arguments (ids, topic names, yaml-cpp messages) come from outside. Written raw, a newline
// or an escape sequence in a traced id would forge whole log lines or repaint the terminal, so
// every text argument is wrapped; other arguments pass unchanged.
template <typename T>
decltype(auto) Escaped(const T& argument) {
  if constexpr (std::is_same_v<T, char>) {
    return EscapedText{std::string_view(&argument, 1)};
  } else if constexpr (std::is_pointer_v<T> && std::is_convertible_v<T, const char*>) {
    if (argument == nullptr) {
      throw fmt::format_error("string pointer is null");
    }
    return EscapedText{std::string_view(argument)};
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    return EscapedText{std::string_view(argument)};
  } else {
    return (argument);
  }
}

}  // namespace log_detail

/// Process-wide logging facade: numbered lines "NNN [LEVEL] message" on stdout and/or the
/// systemd journal, configured once from SPDLOG_STDOUT, SPDLOG_SYSTEMD and SPDLOG_LEVEL.
class Logger {
 public:
  /// The single instance, built (and the environment read) on first use.
  static Logger& Instance() {
    static Logger instance;
    return instance;
  }

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  /// Formats and emits one line at `lvl`. A line below the threshold costs a level check only:
  /// its text would be dropped unseen and its number is not taken.
  template <typename... Args>
  void Log(const spdlog::source_loc& location, spdlog::level::level_enum lvl,
           fmt::format_string<Args...> format, Args&&... args) {
    if (lvl < level || lvl > spdlog::level::critical) {
      return;
    }
    const std::string_view tag = TagOf(lvl);
    fmt::memory_buffer line;
    // Room for the prefix, which has one length per level (every number fills three columns),
    // written once the message is built. Only then is the number taken, so a formatter that
    // throws leaves no gap in the numbering.
    line.resize(kPrefixSize + tag.size());
    FormatMessage(line, format, log_detail::Escaped(args)...);
    const unsigned number = (seq.fetch_add(1, std::memory_order_relaxed) + 1U) & kNumberMask;
    WritePrefix(line.data(), number, tag);
    if (logger) {
      // Handed over as finished text: braces inside arguments must not be formatted again.
      logger->log(location, lvl, spdlog::string_view_t(line.data(), line.size()));
    }
  }

  /// The spdlog logger every line goes to; empty if it could not be built.
  std::shared_ptr<spdlog::logger> logger;
  /// Emitted-line counter; the printed number is its low 7 bits.
  std::atomic<uint8_t> seq{0};
  /// Threshold (spdlog level value), equal to the spdlog logger's level.
  int32_t level = spdlog::level::info;

 private:
  Logger() {
    const bool to_stdout = ReadSwitch("SPDLOG_STDOUT", true);
    const bool to_journal = ReadSwitch("SPDLOG_SYSTEMD", false);
    try {
      std::vector<spdlog::sink_ptr> sinks;
      if (to_stdout) {
        sinks.push_back(std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>());
      }
      if (to_journal) {
        sinks.push_back(std::make_shared<spdlog::sinks::systemd_sink_mt>());
      }
      logger = std::make_shared<spdlog::logger>("spdlog", sinks.begin(), sinks.end());
      level = ReadLevel();
      logger->set_level(static_cast<spdlog::level::level_enum>(level));
      logger->set_pattern("%v");
    } catch (const spdlog::spdlog_ex&) {
      logger.reset();
    }
  }

  // The format string was checked against the caller's argument types at compile time; the
  // escaped arguments format the same way.
  template <typename... Escaped>
  static void FormatMessage(fmt::memory_buffer& line, fmt::string_view format,
                            const Escaped&... args) {
    fmt::vformat_to(std::back_inserter(line), format, fmt::make_format_args(args...));
  }

  static constexpr unsigned kNumberMask = 0x7FU;  // printed numbers run 0 ... 127
  static constexpr std::size_t kPrefixSize = 4;     // "NNN " before the level's tag

  /// "[INFO] " and the others, by level.
  static std::string_view TagOf(spdlog::level::level_enum lvl) {
    static constexpr std::string_view kTags[] = {"[TRACE] ", "[DEBUG] ", "[INFO] ",
                                                 "[WARN] ",  "[ERROR] ", "[CRITICAL] "};
    return kTags[lvl - spdlog::level::trace];
  }

  /// Writes "NNN [TAG] " at `out`: the number right-aligned in three columns, then the tag.
  static void WritePrefix(char* out, unsigned number, std::string_view tag) {
    out[0] = number >= 100 ? static_cast<char>('0' + number / 100) : ' ';
    out[1] = number >= 10 ? static_cast<char>('0' + number / 10 % 10) : ' ';
    out[2] = static_cast<char>('0' + number % 10);
    out[3] = ' ';
    std::memcpy(out + kPrefixSize, tag.data(), tag.size());
  }

  // Only the exact texts "true" and "false" count; anything else falls back with a notice.
  static bool ReadSwitch(const char* name, bool fallback) {
    const char* value = std::getenv(name);
    const char* fallback_text = fallback ? "true" : "false";
    if (value == nullptr) {
      std::printf("environment variable %s is not set, and set %s\n", name, fallback_text);
    } else if (std::strcmp(value, "true") == 0) {
      return true;
    } else if (std::strcmp(value, "false") == 0) {
      return false;
    } else {
      std::printf("environment variable %s is invalid, and set %s\n", name, fallback_text);
    }
    std::fflush(stdout);
    return fallback;
  }

  static int32_t ReadLevel() {
    static constexpr std::pair<const char*, spdlog::level::level_enum> kLevels[] = {
        {"trace", spdlog::level::trace}, {"debug", spdlog::level::debug},
        {"info", spdlog::level::info},   {"warning", spdlog::level::warn},
        {"error", spdlog::level::err},   {"critical", spdlog::level::critical},
    };
    const char* value = std::getenv("SPDLOG_LEVEL");
    if (value == nullptr) {
      std::printf("environment variable SPDLOG_LEVEL is not set, and set default level\n");
    } else {
      for (const auto& [text, lvl] : kLevels) {
        if (std::strcmp(value, text) == 0) {
          return lvl;
        }
      }
      std::printf("environment variable SPDLOG_LEVEL is invalid, and set default level\n");
    }
    std::fflush(stdout);
    return spdlog::level::info;
  }
};

}  // namespace valtrix

/// Writes control characters as C escapes: \n, \r, \t, and \xHH for the others. Printable
/// text, backslashes and UTF-8 stay as they are; width and precision apply to the escaped text.
template <>
struct fmt::formatter<valtrix::log_detail::EscapedText> : fmt::formatter<fmt::string_view> {
  template <typename FormatContext>
  auto format(const valtrix::log_detail::EscapedText& argument, FormatContext& context) const
      -> decltype(context.out()) {
    const std::string_view text = argument.text;
    if (std::none_of(text.begin(), text.end(), valtrix::IsControlCharacter)) {
      return formatter<fmt::string_view>::format(fmt::string_view(text.data(), text.size()),
                                                 context);
    }
    std::string escaped;
    escaped.reserve(text.size() + 8);
    valtrix::AppendEscaped(escaped, text);
    return formatter<fmt::string_view>::format(fmt::string_view(escaped), context);
  }
};

#define VALTRIX_LOG_AT(lvl, ...)                                                        \
  ::valtrix::Logger::Instance().Log(                                                    \
      ::spdlog::source_loc{__FILE__, __LINE__, static_cast<const char*>(__func__)}, lvl, \
      __VA_ARGS__)

// <syslog.h>, which the journal sink pulls in, defines LOG_DEBUG and LOG_INFO as priority numbers.
// The entry points take these names over; the sink has already been compiled with the numbers.
#undef LOG_DEBUG
#undef LOG_INFO
#define LOG_DEBUG(...) VALTRIX_LOG_AT(::spdlog::level::debug, __VA_ARGS__)
#define LOG_INFO(...) VALTRIX_LOG_AT(::spdlog::level::info, __VA_ARGS__)
#define LOG_WARN(...) VALTRIX_LOG_AT(::spdlog::level::warn, __VA_ARGS__)
#define LOG_ERROR(...) VALTRIX_LOG_AT(::spdlog::level::err, __VA_ARGS__)
