#include "migration/reporter.h"

#include <charconv>
#include <cstdio>

namespace lodemig {
namespace {

// How often a counter that carries the progress line is drawn at most: the
// line is long, and a terminal (or the link to it) that takes it for every
// message would slow the run.
constexpr std::chrono::milliseconds kProgressCounterPeriod{100};
// Room the progress needs after a counter, or it is left out there.
constexpr int kProgressMinimum = 12;

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

std::string fitText(const std::string& text, int width) {
  if (width <= 0 || text.size() <= static_cast<std::size_t>(width)) {
    return text;
  }
  const std::size_t cut = text.rfind(", ", static_cast<std::size_t>(width));
  return cut == std::string::npos ? std::string() : text.substr(0, cut);
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
  if (progress_ != nullptr) {
    if (text.empty()) {
      return;  // nothing to make room for
    }
    // Whatever stands at the line's end goes first, and comes back once the
    // text has ended its line.
    eraseProgressLine();
    eraseText(false);
    console_.write(text.data(), static_cast<std::streamsize>(text.size()));
    advanceColumn(text);
    drawProgressLine();
    console_.flush();
    return;
  }
  console_.write(text.data(), static_cast<std::streamsize>(text.size()));
  console_.flush();
  advanceColumn(text);
}

void Reporter::advanceColumn(std::string_view text) {
  const std::size_t end = text.rfind('\n');
  if (end != std::string_view::npos) {
    column_ = 0;
    text.remove_prefix(end + 1);
  }
  for (const char c : text) {
    // A UTF-8 sequence takes one column, counted at its first byte.
    column_ += (static_cast<unsigned char>(c) & 0xC0) == 0x80 ? 0 : 1;
  }
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
  if (progress_ != nullptr && !quiet_) {
    // The error stream goes to the same terminal.
    eraseProgressLine();
    console_.flush();
  }
  errors_.write(text.data(), static_cast<std::streamsize>(text.size()));
  errors_.flush();
  if (progress_ != nullptr && !quiet_ && !text.empty() && text.back() == '\n') {
    drawProgressLine();
    console_.flush();
  }
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
  if (progress_ != nullptr) {
    const auto now = std::chrono::steady_clock::now();
    if (counterLength_ > 0 && now - counterDrawn_ < kProgressCounterPeriod) {
      return;
    }
    counterDrawn_ = now;
    eraseProgressLine();
    eraseText(false);
    const std::string text = counterText(current, total);
    console_.write(text.data(), static_cast<std::streamsize>(text.size()));
    console_.flush();
    counterLength_ = static_cast<int>(text.size());
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
  if (progress_ != nullptr) {
    // On a terminal: back to the counter's start, and clear the line's rest.
    console_ << "\033[" << counterLength_ << "D\033[K";
    if (flush) {
      console_.flush();
    }
    counterLength_ = 0;
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

std::string Reporter::counterText(long current, long total) {
  std::string text = std::to_string(current) + "/" + std::to_string(total);
  const int columns = progress_->columns();
  // The counter and the progress stay on the line they start on: "\b" and
  // erasing to the line's end cannot reach a line the terminal wrapped into.
  int room = 0;
  if (columns > 0) {
    room = columns - 1 - static_cast<int>(column_ % static_cast<std::size_t>(columns)) -
           static_cast<int>(text.size()) - 3;
    if (room < kProgressMinimum) {
      return text;
    }
  }
  const std::string progress = fitText(progress_->progressText(), room);
  if (!progress.empty()) {
    text += "  (" + progress + ")";
  }
  return text;
}

void Reporter::showProgress(ProgressSource& source) {
  if (quiet_) {
    return;
  }
  progress_ = &source;
  drawProgressLine();
  console_.flush();
}

void Reporter::refreshProgress() {
  if (progress_ == nullptr || counterLength_ > 0) {
    return;
  }
  eraseProgressLine();
  drawProgressLine();
  console_.flush();
}

void Reporter::hideProgress() {
  if (progress_ == nullptr) {
    return;
  }
  eraseProgressLine();
  eraseText(false);
  console_.flush();
  progress_ = nullptr;
}

void Reporter::drawProgressLine() {
  if (progressDrawn_ || column_ != 0 || counterLength_ > 0) {
    return;
  }
  const int columns = progress_->columns();
  const std::string text = fitText(progress_->progressText(), columns > 0 ? columns - 1 : 0);
  if (text.empty()) {
    return;
  }
  console_.write(text.data(), static_cast<std::streamsize>(text.size()));
  progressDrawn_ = true;
}

void Reporter::eraseProgressLine() {
  if (!progressDrawn_) {
    return;
  }
  console_ << "\r\033[K";
  progressDrawn_ = false;
}

}  // namespace lodemig
