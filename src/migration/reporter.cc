#include "migration/reporter.h"

#include <charconv>
#include <cstdio>

namespace lodemig {
namespace {

// Lines a quiet run still shows on standard error.
bool isVerdictLine(std::string_view line) {
  for (std::string_view prefix : {"Error: ", "Network error: ", "Network Error: ", "Result: "}) {
    if (line.substr(0, prefix.size()) == prefix) {
      return true;
    }
  }
  return false;
}

std::string_view decimal(std::int64_t number, char (&text)[24]) {
  auto [end, error] = std::to_chars(text, text + sizeof(text), number);
  return std::string_view(text, static_cast<std::size_t>(end - text));
}

}  // namespace

std::string formatSize(std::int64_t count) {
  char text[64];
  if (count / 1024 == 0) {
    std::snprintf(text, sizeof(text), "%lldB", static_cast<long long>(count));
  } else if (count / 1048576 == 0) {
    std::snprintf(text, sizeof(text), "%.1fKB", static_cast<double>(count) * (1.0 / 1024));
  } else if (count / 1073741824 == 0) {
    std::snprintf(text, sizeof(text), "%.1fMB", static_cast<double>(count) * (1.0 / 1048576));
  } else {
    std::snprintf(text, sizeof(text), "%.1fGB", static_cast<double>(count) * (1.0 / 1073741824));
  }
  return text;
}

std::string ctimeText(std::time_t when) {
  std::tm local{};
  char text[64];
  if (::localtime_r(&when, &local) == nullptr ||
      std::strftime(text, sizeof(text), "%a %b %e %H:%M:%S %Y\n", &local) == 0) {
    return "unknown\n";
  }
  return text;
}

std::string causeText(std::string_view cause, std::string_view account, std::string_view folder) {
  std::string line;
  if (!account.empty()) {
    line.append("account <").append(account).append(">");
  }
  if (!folder.empty()) {
    line.append(account.empty() ? "" : ", ").append("folder \"").append(folder).append("\"");
  }
  if (!account.empty() || !folder.empty()) {
    line += ": ";
  }
  return line.append(cause);
}

std::string causeLine(std::string_view causeText) {
  return std::string("  cause: ").append(causeText);
}

Reporter::Reporter(std::ostream& log, std::ostream& console, std::ostream& errors, bool quiet)
    : log_(log), console_(console), errors_(errors), quiet_(quiet) {}

void Reporter::print(std::string_view text) {
  console(text);
  log(text);
}

void Reporter::print(std::int64_t number) {
  console(number);
  log(number);
}

void Reporter::log(std::string_view text) {
  log_.write(text.data(), static_cast<std::streamsize>(text.size()));
  log_.flush();
  if (!log_.good() && !logFailed_) {
    logFailed_ = true;
    error("Error: " + logFailureText() + "\n");
  }
}

std::string Reporter::logFailureText() const {
  return logFile_ != nullptr ? logFile_->failureText() : std::string("cannot write the log");
}

void Reporter::log(std::int64_t number) {
  char text[24];
  log(decimal(number, text));
}

void Reporter::console(std::string_view text) {
  if (quiet_) {
    if (&errors_ != &log_) {
      passQuietLines(text);
    }
    return;
  }
  console_.write(text.data(), static_cast<std::streamsize>(text.size()));
  console_.flush();
}

void Reporter::passQuietLines(std::string_view text) {
  // Pieces of one line arrive in several calls ("\nError: ", then the
  // cause): a line is judged once its line feed has come.
  for (std::size_t end = text.find('\n'); end != std::string_view::npos; end = text.find('\n')) {
    quietLine_.append(text.substr(0, end + 1));
    text.remove_prefix(end + 1);
    if (isVerdictLine(quietLine_)) {
      error(quietLine_);
    }
    quietLine_.clear();
  }
  quietLine_.append(text);
}

void Reporter::console(std::int64_t number) {
  char text[24];
  console(decimal(number, text));
}

void Reporter::error(std::string_view text) {
  errors_.write(text.data(), static_cast<std::streamsize>(text.size()));
  errors_.flush();
}

void Reporter::startCounter(long total) {
  counterLength_ = 0;
  if (countersHidden_) {
    return;
  }
  showCounter(1, total);
}

void Reporter::showCounter(long current, long total) {
  if (quiet_ || countersHidden_) {
    return;
  }
  eraseText(false);
  char text[48];
  int length = std::snprintf(text, sizeof(text), "%ld/%ld", current, total);
  console_.write(text, length);
  console_.flush();
  counterLength_ = length;
}

void Reporter::eraseCounter() {
  eraseText(true);
}

void Reporter::eraseText(bool flush) {
  if (quiet_ || counterLength_ == 0) {
    return;
  }
  // The whole erasure is one write, and the next counter's flush takes it
  // along: the terminal shows the same, while a flush per character cost a
  // system call each (and a wake-up of whoever reads the console) per message.
  eraseText_.clear();
  for (int i = 0; i < counterLength_; ++i) {
    eraseText_ += "\b \b";
  }
  console_.write(eraseText_.data(), static_cast<std::streamsize>(eraseText_.size()));
  if (flush) {
    console_.flush();
  }
  counterLength_ = 0;
}

}  // namespace lodemig
