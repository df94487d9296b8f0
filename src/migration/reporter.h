#ifndef LODEMIG_MIGRATION_REPORTER_H_
#define LODEMIG_MIGRATION_REPORTER_H_

#include <chrono>
#include <cstdint>
#include <ctime>
#include <iostream>
#include <string>
#include <string_view>

#include "utils/output_file.h"

namespace lodemig {

// A byte count as text: "1023B", "1.5KB", "1.0MB", "2.5GB" (one decimal from
// 1024 bytes on, divisions truncated, no blank before the unit).
std::string formatSize(std::int64_t count);

// `text` cut to at most `width` characters at the end of one of its ", "
// parts; empty when not even its first part fits. A width of 0 or less leaves
// it whole.
std::string fitText(const std::string& text, int width);

// `when` in the C library's ctime form, local time, with its closing
// newline: "Wed Jun 30 21:49:08 1993\n".
std::string ctimeText(std::time_t when);

// Why an error happened, with where when given: "account <user@domain>, "
// and "folder \"name\"" before `cause`, the last of them followed by ": ".
std::string causeText(std::string_view cause, std::string_view account = {},
                      std::string_view folder = {});
// The line, without its line end, that follows an error line to say why:
// "  cause: " and a causeText().
std::string causeLine(std::string_view causeText);

// Gives a Reporter the progress line it keeps on the console (see
// Reporter::showProgress). Called on the Reporter's thread.
class ProgressSource {
 public:
  virtual ~ProgressSource() = default;
  // The line's text as of now.
  virtual std::string progressText() = 0;
  // The console's width in columns; 0 when not known (the line is not cut).
  virtual int columns() = 0;
};

// The one way the run reports: it owns how a text reaches the console and the
// log. print() writes to the console (unless quiet) and then to the log, each
// flushed at once; log() and console() write to one of them alone. The live
// message counter of a folder is drawn and erased on the console only.
//
// With quiet set, the console hears nothing, but its error lines ("Error: ",
// "Network error: ", "Network Error: ") and result lines ("Result: ") go to
// `errors` as whole lines, so that a quiet run's verdict still reaches the
// terminal (unless `log` is `errors` itself, which has them already).
//
// A log that cannot be written is said once on `errors` (naming the file when
// watchLogFile() was called); logFailed() then stays true. `log`, `console`
// and `errors` are not owned and must outlive the Reporter. Used by one thread.
class Reporter {
 public:
  Reporter(std::ostream& log, std::ostream& console, std::ostream& errors, bool quiet);
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  void print(std::string_view text);
  void print(const char* text) { print(std::string_view(text)); }
  void print(const std::string& text) { print(std::string_view(text)); }
  void print(std::int64_t number);
  void log(std::string_view text);
  void log(std::int64_t number);
  void console(std::string_view text);
  void console(std::int64_t number);
  // To the error stream (standard error), flushed: for what must reach the
  // terminal even when the log cannot be written.
  void error(std::string_view text);

  // Draws the first counter of a folder, "1/total", erasing nothing before.
  void startCounter(long total);
  // Draws the counter "current/total", first erasing the one drawn before (the
  // erasure and the new counter leave in one flush). A line written since
  // does not stop the erasure: the terminal shows it the same.
  void showCounter(long current, long total);
  // Erases the counter drawn last, flushed.
  void eraseCounter();
  // No counter is drawn from now on: a report held to be written later has
  // no live line to draw it on.
  void hideCounters() { countersHidden_ = true; }

  // From now on keeps `source`'s progress line on the console, which must be
  // a terminal: on a line of its own below the run's lines, erased before
  // any console or error text and drawn again once the text has ended its
  // line; while a folder's counter is drawn, after the counter on its line
  // (both then drawn at most ten times a second). Cut to the console's
  // width. Nothing of it reaches the log. Does nothing in a quiet run.
  // `source` must outlive the Reporter or a hideProgress().
  void showProgress(ProgressSource& source);
  // Draws the progress line anew with the source's text, unless a counter
  // is drawn (it takes the text along with its next drawing).
  void refreshProgress();
  // Erases the progress line and draws it no more.
  void hideProgress();

  // Names the file behind the log stream in the report of a failed write;
  // `file` must outlive the Reporter.
  void watchLogFile(const ostrel::utils::OutputFile& file) { logFile_ = &file; }
  bool logFailed() const { return logFailed_; }
  // "cannot write file PATH: REASON" for a log that failed.
  std::string logFailureText() const;
  // The log stream itself, for the store reader's own log-only lines.
  std::ostream& logStream() { return log_; }
  bool quiet() const { return quiet_; }

 private:
  void eraseText(bool flush);
  // The progress line on a line of its own, when the console is at a line's
  // start; its erasure.
  void drawProgressLine();
  void eraseProgressLine();
  // Follows where the console's line stands after `text`.
  void advanceColumn(std::string_view text);
  // The counter's text, with the progress after it when it fits.
  std::string counterText(long current, long total);
  // A quiet console's text: its error and result lines go to `errors`.
  void passQuietLines(std::string_view text);

  std::ostream& log_;
  std::ostream& console_;
  std::ostream& errors_;
  const bool quiet_;
  const ostrel::utils::OutputFile* logFile_ = nullptr;
  bool logFailed_ = false;
  int counterLength_ = 0;
  bool countersHidden_ = false;
  // The counter's erasure, reused for every message.
  std::string eraseText_;
  // A quiet console's line so far, until its line feed.
  std::string quietLine_;
  // The progress line: its source (nullptr: none), whether it stands on a
  // line of its own, the console's column (characters since the last line
  // feed, the counter not counted), and when a counter was drawn last.
  ProgressSource* progress_ = nullptr;
  bool progressDrawn_ = false;
  std::size_t column_ = 0;
  std::chrono::steady_clock::time_point counterDrawn_;
};

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_REPORTER_H_
