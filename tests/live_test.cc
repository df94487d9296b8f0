// Live reading end to end: a helper process changes a mailbox file while a
// -live pass reads it. The pass leaves the change for the next one and sends
// nothing partial or mixed; the next -delta brings the folder up to date.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/holdings.h"
#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

constexpr char kAnn[] = "ann@example.com";
// The mailbox file's messages, of about 4 KiB each, so that the file is
// several times the reader's buffer and later messages are read from the
// file as it is after the change.
constexpr int kMessages = 150;
constexpr int kAppended = 20;
// The helper changes the file once the stand-in has stored this message;
// the stand-in's answers are slowed so that the pass is far from its end
// then.
constexpr int kTrigger = 10;
constexpr char kDelayMs[] = "10";

// A helper process that changes a file of the store once another file
// appears (the stand-in's file of a stored message). It is forked before
// the pass and makes no call but async-signal-safe ones: the test process
// may have threads.
class FileChanger {
 public:
  enum class Change { kAppend, kRewriteInPlace };

  FileChanger(const std::string& trigger, const std::string& file, const std::string& bytes,
              Change change)
      : trigger_(trigger), file_(file), bytes_(bytes) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::_exit(run(change));
    }
  }
  ~FileChanger() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      static_cast<void>(::waitpid(pid_, &status, 0));
    }
  }
  FileChanger(const FileChanger&) = delete;
  FileChanger& operator=(const FileChanger&) = delete;

  // Waits for the helper, at most 12 seconds (it gives up waiting for its
  // trigger after 10); true when it made the change.
  bool changed() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(12);
    int status = 0;
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

 private:
  // The child's work; its exit status: 0 changed, 1 no trigger, 2 a failed
  // write.
  int run(Change change) const {
    const timespec pause = {0, 2000000};
    for (int poll = 0; poll < 5000; ++poll) {
      if (::access(trigger_.c_str(), F_OK) == 0) {
        return apply(change) ? 0 : 2;
      }
      ::nanosleep(&pause, nullptr);
    }
    return 1;
  }

  bool apply(Change change) const {
    // Both keep the file's inode, as the mail server does: the reader's
    // open file sees the change.
    const int fd =
        ::open(file_.c_str(), change == Change::kAppend ? O_WRONLY | O_APPEND : O_WRONLY);
    if (fd < 0) {
      return false;
    }
    std::size_t done = 0;
    while (done < bytes_.size()) {
      const ssize_t wrote =
          change == Change::kAppend
              ? ::write(fd, bytes_.data() + done, bytes_.size() - done)
              : ::pwrite(fd, bytes_.data() + done, bytes_.size() - done, static_cast<off_t>(done));
      if (wrote <= 0) {
        ::close(fd);
        return false;
      }
      done += static_cast<std::size_t>(wrote);
    }
    const bool cut =
        change == Change::kAppend || ::ftruncate(fd, static_cast<off_t>(bytes_.size())) == 0;
    return ::close(fd) == 0 && cut;
  }

  const std::string trigger_;
  const std::string file_;
  const std::string bytes_;
  pid_t pid_ = -1;
};

class LiveTest : public MigrationTest {
 protected:
  LiveTest() : all_(largeMessages(kMessages + kAppended)) {
    originals_.assign(all_.begin(), all_.begin() + kMessages);
  }

  // ann's INBOX holds the first kMessages messages; the stand-in answers
  // slowly.
  void build() {
    builder_.account("", "ann", AccountDirectory)
        .settings("{ Password = pwann; }")
        .info("{ INBOX = { Messages = #" + std::to_string(kMessages) + "; }; }");
    mailbox_ = builder_.mailboxFile("", "ann", "INBOX", originals_);
    startServer({"--delay-ms", kDelayMs});
  }

  // Messages whose flags, dates, uids and Message-IDs differ, each padded
  // to about 4 KiB of body lines.
  static std::vector<MailboxMessage> largeMessages(int count) {
    std::vector<MailboxMessage> list = StoreBuilder::variedMessages("live", count);
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::string line(74, static_cast<char>('a' + i % 26));
      for (int lines = 0; lines < 50; ++lines) {
        list[i].content += line + "\r\n";
      }
    }
    return list;
  }

  // The stand-in's file of the migration's `number`th message for ann.
  std::string storedFile(int number) const {
    char name[16];
    std::snprintf(name, sizeof name, "%06d", number);
    return accountDirectory(kAnn) + "/messages/" + name + ".meta";
  }

  ProcessResult pass(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"-journal", journal_});
    return migrate(arguments);
  }

  // How often the stand-in holds each message the migration sent to ann,
  // by folder and name: "INBOX: live 7" for the store's message "live 7"
  // (as it was or will be) with its flags and date, "INBOX: live 7 as
  // FLAGS | DATE" with others, "INBOX: other ..." for any other content.
  std::map<std::string, int> heldCounts() const {
    std::map<std::string, int> counts;
    for (const HeldMessage& m : migrated(heldMessages(arrived_, kAnn))) {
      ++counts[m.folder + ": " + nameOf(m)];
    }
    return counts;
  }
  // The same as lines, a line per message held and " (xN)" after one held
  // N times, so that a failure shows the difference.
  std::string held() const { return listing(heldCounts()); }
  // Each of `messages` once, as held() lists them.
  static std::string once(const std::vector<MailboxMessage>& messages) {
    std::map<std::string, int> counts;
    for (const MailboxMessage& m : messages) {
      counts["INBOX: live " + m.uid] = 1;
    }
    return listing(counts);
  }
  static std::string listing(const std::map<std::string, int>& counts) {
    std::string text;
    for (const auto& [name, count] : counts) {
      text += name + (count > 1 ? " (x" + std::to_string(count) + ")" : "") + "\n";
    }
    return text;
  }
  std::string nameOf(const HeldMessage& held) const {
    for (const MailboxMessage& m : all_) {
      if (m.content == held.content) {
        const bool stamped = held.flags == flagWords(m.flags) && held.date == imapDate(m.date);
        return "live " + m.uid + (stamped ? "" : " as " + held.flags + " | " + held.date);
      }
    }
    return "other " + std::to_string(held.content.size()) + "B: " + held.content.substr(0, 40);
  }
  // The stand-in's flags of the store's flag letters, "SA": "\Seen \Answered ".
  static std::string flagWords(const std::string& letters) {
    std::string words;
    for (char letter : letters) {
      words += letter == 'S'   ? "\\Seen "
               : letter == 'A' ? "\\Answered "
               : letter == 'F' ? "\\Flagged "
               : letter == 'D' ? "\\Draft "
                               : "?";
    }
    return words;
  }
  // "Wed Jun 30 00:07:08 1993" as the stand-in keeps it.
  static std::string imapDate(const std::string& date) {
    return "30-Jun-1993 " + date.substr(11, 8) + " +0000";
  }

  // The held messages that are not one of `originals_` with its flags and
  // date, or held more than once, as held() lists them; empty when none.
  std::string strays(const std::map<std::string, int>& got) const {
    const std::string known = "\n" + once(originals_);
    std::map<std::string, int> strays;
    for (const auto& [name, count] : got) {
      if (!contains(known, "\n" + name + "\n") || count > 1) {
        strays[name] = count;
      }
    }
    return listing(strays);
  }

  std::vector<MailboxMessage> all_;
  std::vector<MailboxMessage> originals_;
  std::string mailbox_;
  const std::string journal_ = dir_ / "run.journal";
  const std::string report_ = dir_ / "report.csv";
};

constexpr char kPendingLine[] =
    "Warning: 1 folders are pending: the source changed during the pass: run -delta again\n";

TEST_F(LiveTest, AppendedWhileReadLeavesTheNewMessagesToTheNextDelta) {
  build();
  const std::string before = StoreBuilder::mailboxText(originals_);
  const std::string after = StoreBuilder::mailboxText(all_);
  ASSERT_EQ(after.compare(0, before.size(), before), 0);
  FileChanger appender(storedFile(kTrigger), mailbox_, after.substr(before.size()),
                       FileChanger::Change::kAppend);

  const ProcessResult live = pass({"-live", "-report", report_});
  ASSERT_TRUE(appender.changed()) << live.out;
  EXPECT_EQ(live.exitStatus, 3) << live.out << live.err;
  EXPECT_TRUE(contains(live.out, kPendingLine)) << live.out;
  EXPECT_EQ(field(lastRow(reportRows(report_), kAnn, "INBOX"), "verdict"), "pending");
  EXPECT_TRUE(contains(onlyLodemigFile(work_, "log"),
                       "Warning: folder \"INBOX\" of <ann@example.com>: the messages file grew "
                       "while being read: what changed is left for the next pass\n"));
  // Every message whole when the file was opened, once; none of the new.
  EXPECT_EQ(held(), once(originals_));

  const ProcessResult delta = pass({"-delta"});
  EXPECT_EQ(delta.exitStatus, 0) << delta.out << delta.err;
  EXPECT_FALSE(contains(delta.out, "pending")) << delta.out;
  EXPECT_EQ(held(), once(all_));
}

TEST_F(LiveTest, CompactedWhileReadSendsNothingMixedAndDeltaThenExpungeCatchUp) {
  build();
  constexpr int kRemoved = 5;
  const std::vector<MailboxMessage> kept(originals_.begin() + kRemoved, originals_.end());
  FileChanger compactor(storedFile(kTrigger), mailbox_, StoreBuilder::mailboxText(kept),
                        FileChanger::Change::kRewriteInPlace);

  const ProcessResult live = pass({"-live", "-report", report_});
  ASSERT_TRUE(compactor.changed()) << live.out;
  EXPECT_EQ(live.exitStatus, 3) << live.out << live.err;
  EXPECT_TRUE(contains(live.out, kPendingLine)) << live.out;
  EXPECT_EQ(field(lastRow(reportRows(report_), kAnn, "INBOX"), "verdict"), "pending");
  // Only whole messages as they were before the change, each once: those
  // stored before it, and none after the file was known to have changed.
  const std::map<std::string, int> first = heldCounts();
  EXPECT_EQ(strays(first), "");
  EXPECT_GE(first.size(), static_cast<std::size_t>(kTrigger));
  EXPECT_LT(first.size(), originals_.size());
  // A message cut off inside its literal is neither sent nor refused.
  EXPECT_TRUE(
      contains(live.out, "Info: messages: " + std::to_string(first.size()) + " sent, 0 refused, "))
      << live.out;

  const ProcessResult delta = pass({"-delta"});
  EXPECT_EQ(delta.exitStatus, 0) << delta.out << delta.err;
  // The removed messages stay on the target until -expunge.
  EXPECT_EQ(held(), once(originals_));

  const ProcessResult expunge = pass({"-delta", "-expunge"});
  EXPECT_EQ(expunge.exitStatus, 0) << expunge.out << expunge.err;
  EXPECT_EQ(held(), once(kept));
}

TEST_F(LiveTest, WithoutLiveAFileAppendedWhileReadFailsItsFolder) {
  build();
  const std::string before = StoreBuilder::mailboxText(originals_);
  FileChanger appender(storedFile(kTrigger), mailbox_,
                       StoreBuilder::mailboxText(all_).substr(before.size()),
                       FileChanger::Change::kAppend);
  const ProcessResult run = pass({});
  ASSERT_TRUE(appender.changed()) << run.out;
  EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;
  EXPECT_TRUE(contains(run.out, "the messages file changed while being read")) << run.out;
  EXPECT_FALSE(contains(run.out, "pending")) << run.out;
}

}  // namespace
}  // namespace lodemig::testing
