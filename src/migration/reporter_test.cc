#include "migration/reporter.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>

namespace lodemig {
namespace {

TEST(FormatSizeTest, UnitsAndOneDecimal) {
  struct Case {
    std::int64_t count;
    const char* text;
  };
  const Case cases[] = {
      {0, "0B"},
      {1023, "1023B"},
      {1024, "1.0KB"},
      {1536, "1.5KB"},
      {1048575, "1024.0KB"},
      {1048576, "1.0MB"},
      {1073741823, "1024.0MB"},
      {1073741824, "1.0GB"},
      // Beyond 32 bits: storage figures of large accounts.
      {2147483648LL, "2.0GB"},
      {5497558138880LL, "5120.0GB"},
      {-1023, "-1023B"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(formatSize(c.count), c.text) << c.count;
  }
}

TEST(CtimeTextTest, MatchesTheCLibraryForm) {
  const std::time_t instants[] = {0, 741476948, 1700000000, 1709251199};
  for (std::time_t when : instants) {
    EXPECT_EQ(ctimeText(when), std::ctime(&when)) << when;
  }
}

TEST(ReporterTest, PrintGoesToBothLogAndConsoleUnlessQuiet) {
  std::ostringstream log, console, errors;
  Reporter loud(log, console, errors, false);
  loud.print("a");
  loud.print(std::int64_t{-12});
  loud.log("L");
  loud.console("C");
  EXPECT_EQ(log.str(), "a-12L");
  EXPECT_EQ(console.str(), "a-12C");
  std::ostringstream quietLog, quietConsole;
  Reporter quiet(quietLog, quietConsole, errors, true);
  quiet.print("a");
  quiet.console("C");
  quiet.startCounter(5);
  EXPECT_EQ(quietLog.str(), "a");
  EXPECT_EQ(quietConsole.str(), "");
  EXPECT_EQ(errors.str(), "");
}

TEST(ReporterTest, CounterIsErasedBeforeTheNextOne) {
  std::ostringstream log, console, errors;
  Reporter reporter(log, console, errors, false);
  reporter.startCounter(12);
  reporter.showCounter(1, 12);
  reporter.showCounter(10, 12);
  reporter.eraseCounter();
  reporter.eraseCounter();   // nothing left to erase
  reporter.startCounter(3);  // a new folder's counter erases nothing
  EXPECT_EQ(console.str(),
            "1/12\b \b\b \b\b \b\b \b1/12\b \b\b \b\b \b\b \b10/12"
            "\b \b\b \b\b \b\b \b\b \b1/3");
  EXPECT_EQ(log.str(), "");
}

TEST(ReporterTest, UnwritableLogIsSaidOnce) {
  std::ostringstream log, console, errors;
  Reporter reporter(log, console, errors, true);
  log.setstate(std::ios::badbit);
  reporter.print("x");
  reporter.log("y");
  EXPECT_TRUE(reporter.logFailed());
  EXPECT_EQ(errors.str(), "Error: cannot write the log\n");
}

TEST(ReporterTest, QuietRunStillShowsErrorAndResultLinesOnStandardError) {
  std::ostringstream log, console, errors;
  Reporter quiet(log, console, errors, true);
  // A line's pieces come in several calls; only whole lines are judged.
  quiet.print("domain (example.com)\n   - \"INBOX\", messages: 2\n\nError: ");
  quiet.print("cannot connect to Torvane");
  quiet.print("\nFinish time: now\n\nResult: migration failed\nInfo: accounts: 0\n");
  quiet.console("Network error: one\nNetwork Error: two\n   Error: indented\n");
  quiet.log("Error: log only\n");
  quiet.print("Error: not ended");
  EXPECT_EQ(console.str(), "");
  EXPECT_EQ(errors.str(),
            "Error: cannot connect to Torvane\nResult: migration failed\n"
            "Network error: one\nNetwork Error: two\n");
  EXPECT_TRUE(log.str().find("Error: log only\n") != std::string::npos);

  // A log on standard error has every line already: none twice.
  std::ostringstream tty, loudConsole;
  Reporter onErrors(tty, loudConsole, tty, true);
  onErrors.print("Error: once\n");
  EXPECT_EQ(tty.str(), "Error: once\n");
}

// A progress line of fixed text on a console of fixed width.
class FixedProgress : public ProgressSource {
 public:
  FixedProgress(std::string text, int columns) : text_(std::move(text)), columns_(columns) {}
  std::string progressText() override { return text_; }
  int columns() override { return columns_; }
  std::string text_;

 private:
  int columns_;
};

TEST(ReporterProgressTest, StandsBelowTheLinesAndNeverReachesTheLog) {
  std::ostringstream log, console, errors;
  Reporter reporter(log, console, errors, false);
  FixedProgress progress("accounts 0 of 2, 0 messages", 80);
  reporter.print("domain (x)\n");
  reporter.showProgress(progress);
  reporter.print(" + mailbox <a>, size: ");
  reporter.print("1.0KB");
  reporter.console("\n");
  progress.text_ = "accounts 1 of 2, 5 messages";
  reporter.refreshProgress();
  reporter.error("Error: x\n");  // standard error shares the terminal
  reporter.hideProgress();
  reporter.print("Result: fine\n");
  EXPECT_EQ(console.str(),
            "domain (x)\naccounts 0 of 2, 0 messages\r\033[K + mailbox <a>, size: 1.0KB\n"
            "accounts 0 of 2, 0 messages\r\033[Kaccounts 1 of 2, 5 messages\r\033[K"
            "accounts 1 of 2, 5 messages\r\033[KResult: fine\n");
  EXPECT_EQ(log.str(), "domain (x)\n + mailbox <a>, size: 1.0KBResult: fine\n");
  EXPECT_EQ(errors.str(), "Error: x\n");

  std::ostringstream quietConsole;
  Reporter quiet(log, quietConsole, errors, true);
  quiet.showProgress(progress);
  quiet.print("line\n");
  EXPECT_EQ(quietConsole.str(), "");
}

TEST(ReporterProgressTest, RidesAfterTheCounterAndLeavesWithIt) {
  std::ostringstream log, console, errors;
  Reporter reporter(log, console, errors, false);
  FixedProgress progress("accounts 0 of 2, 3 messages", 80);
  reporter.showProgress(progress);
  reporter.print("   - \"INBOX\", messages: ");
  reporter.startCounter(12);
  reporter.eraseCounter();
  reporter.console("12\n");
  const std::string counter = "1/12  (accounts 0 of 2, 3 messages)";
  EXPECT_EQ(console.str(),
            "accounts 0 of 2, 3 messages\r\033[K   - \"INBOX\", messages: " + counter + "\033[" +
                std::to_string(counter.size()) + "D\033[K12\naccounts 0 of 2, 3 messages");
}

TEST(ReporterProgressTest, KeepsToTheConsolesWidth) {
  std::ostringstream log, console, errors;
  Reporter reporter(log, console, errors, false);
  FixedProgress progress("accounts 0 of 2, 3 messages, 1.0KB", 30);
  reporter.showProgress(progress);
  // 29 columns at most: the line is cut after a part.
  EXPECT_EQ(console.str(), "accounts 0 of 2, 3 messages");
  console.str("");
  // After 20 columns of text and the counter only 3 are left: no progress.
  reporter.console("   - \"A\", messages: ");
  reporter.startCounter(5);
  EXPECT_EQ(console.str(), "\r\033[K   - \"A\", messages: 1/5");
  reporter.hideProgress();
}

}  // namespace
}  // namespace lodemig
