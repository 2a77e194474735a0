#include "daemon/Console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace tarvix {

namespace {

constexpr std::string_view kErrorPrefix = "error: ";

bool Unset(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr || *value == '\0';
}

const char* Priority(TLogLevel level) {
  switch (level) {
    case TLogLevel::Error: return "<3>";
    case TLogLevel::Warning: return "<4>";
    case TLogLevel::Event: return "<6>";
    case TLogLevel::Trace: return "<7>";
  }
  return "<6>";
}

// The stamp of a line written from another thread than the main one.
std::string StampNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03ld ", now.tv_nsec / 1000000);
  return text;
}

}  // namespace

bool WantsHeadless(bool asked) {
  if (asked) return true;
  if (Unset("DISPLAY") && Unset("WAYLAND_DISPLAY")) return true;
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  return platform != nullptr && std::string_view(platform) == "offscreen";
}

bool StandardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat info {};
  return fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

void AppendEscaped(std::string& out, std::string_view text, bool joinBreaks) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  bool inBreak = false;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (joinBreaks && (b == '\r' || b == '\n')) {
      if (!inBreak) out.push_back(' ');
      inBreak = true;
      continue;
    }
    inBreak = false;
    if (b >= 0x20 && b <= 0x7E) {
      out.push_back(c);
    } else {
      out.append("\\x");
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0x0F]);
    }
  }
  // A text that ended with its line break leaves no trailing blank.
  if (joinBreaks && inBreak && !out.empty() && out.back() == ' ') out.pop_back();
}

TConsoleFace::TConsoleFace()
    : journal_(StandardErrorIsJournal()),
      out_(STDOUT_FILENO,
           [journal = journal_](std::uint64_t dropped) {
             return (journal ? std::string("<4>") : StampNow()) + std::to_string(dropped) + " log lines dropped\n";
           }),
      err_(STDERR_FILENO, {}) {
  line_.reserve(512);
}

void TConsoleFace::AppendPrefix(TLogLevel level) {
  if (journal_) {
    line_.append(Priority(level));
    return;
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec != stampSecond_) {
    std::tm local{};
    localtime_r(&now.tv_sec, &local);
    if (std::strftime(stampPrefix_, sizeof stampPrefix_, "%Y-%m-%d %H:%M:%S", &local) == 0) stampPrefix_[0] = '\0';
    stampSecond_ = now.tv_sec;
  }
  char millis[24];
  std::snprintf(millis, sizeof millis, ".%03ld ", now.tv_nsec / 1000000);
  line_.append(stampPrefix_);
  line_.append(millis);
}

void TConsoleFace::LogLine(TLogLevel level, std::string_view line) {
  const bool error = level == TLogLevel::Error;
  line_.clear();
  AppendPrefix(level);
  const std::size_t textStart = line_.size();
  AppendEscaped(line_, line, error);
  line_.push_back('\n');
  (void)out_.Write(line_);
  if (error && !journal_) {
    // Every error line on standard error says it is one, whoever wrote it.
    std::string_view text = std::string_view(line_).substr(textStart);
    if (text.starts_with(kErrorPrefix)) {
      (void)err_.Write(text);
    } else {
      errLine_.assign(kErrorPrefix);
      errLine_.append(text);
      (void)err_.Write(errLine_);
    }
  }
}

}  // namespace tarvix
