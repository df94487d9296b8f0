// End-to-end tests of the lodemig program on stores that fight back: settings
// and info files that are FIFOs or links to a device, and a mailbox file that
// the still running source server shrinks while it is migrated.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "tests/process.h"
#include "tests/store_builder.h"
#include "tests/temp_dir.h"

namespace lodemig::testing {
namespace {

const char kDate[] = "Wed Jun 30 21:49:08 1993";

// Makes `path` a FIFO nobody writes to, or a link to /dev/zero, in place of
// the file the builder wrote there.
enum class Hostile { kFifo, kZero };

void makeHostile(const std::string& path, Hostile kind) {
  std::filesystem::remove(path);
  ASSERT_EQ(
      kind == Hostile::kFifo ? ::mkfifo(path.c_str(), 0600) : ::symlink("/dev/zero", path.c_str()),
      0)
      << path;
}

class HostileStoreTest : public ::testing::Test {
 protected:
  HostileStoreTest() : store_(dir_ / "store"), builder_(store_) { makeDirectories(work_); }

  // Runs lodemig on the store; `migrate` adds the arguments of a migration
  // into the running server. A run that hangs is killed after 10 seconds.
  ProcessResult run(bool migrate) {
    std::vector<std::string> arguments = {"-path", store_, "-primaryDomain", "example.com"};
    if (migrate) {
      arguments.insert(arguments.end(), {"-migrate", "-server", "127.0.0.1", "-port",
                                         server_->portText(), "-password", "master"});
    }
    ProcessOptions options;
    options.workingDirectory = work_;
    options.timeoutSeconds = 10;
    return runProcess(LODEMIG_BINARY, arguments, options);
  }

  void startServer(std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.end(), {"--store", arrived_});
    server_ = std::make_unique<TargetServer>(LODEMIG_TARGET_BINARY, arguments);
    ASSERT_GT(server_->port(), 0) << "the target server did not start";
  }

  // The messages the target stored for `account`, in arrival order.
  std::vector<std::string> arrivedMessages(const std::string& account) const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(
             arrived_ + "/accounts/" + account + "/messages", error)) {
      if (entry.path().extension() == ".eml") {
        names.push_back(entry.path().string());
      }
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> messages;
    for (const std::string& name : names) {
      messages.push_back(readFile(name));
    }
    return messages;
  }

  std::string log() { return onlyLodemigFile(work_, "log"); }

  ScopedTempDir dir_;
  const std::string work_ = dir_ / "work";
  const std::string arrived_ = dir_ / "arrived";
  const std::string store_;
  StoreBuilder builder_;
  std::unique_ptr<TargetServer> server_;
};

// Both used to hang the run: the FIFO in its open, the link in reading zeros.
// An info file that cannot be opened leaves the size unknown; a settings file
// fails the mailbox, as a missing one does.
TEST_F(HostileStoreTest, FifoOrDeviceAsSettingsOrInfoFileEndsThePrintRunPromptly) {
  const struct {
    bool settings;
    Hostile kind;
  } cases[] = {{false, Hostile::kFifo},
               {true, Hostile::kFifo},
               {false, Hostile::kZero},
               {true, Hostile::kZero}};
  for (const auto& c : cases) {
    const auto account = builder_.account("", "john", AccountDirectory)
                             .settings("{ Password = secret; }")
                             .info("{ #StorageUsed = #2048; INBOX = { Messages = #0; }; }");
    const std::string path = c.settings ? account.settingsPath() : account.infoPath();
    makeHostile(path, c.kind);
    const auto started = std::chrono::steady_clock::now();
    ProcessResult result = run(false);
    const std::string what = path + (c.kind == Hostile::kFifo ? " as FIFO" : " as /dev/zero");
    EXPECT_FALSE(result.timedOut) << what;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << what;
    const std::string log = this->log();
    if (c.settings) {
      EXPECT_TRUE(contains(result.out, "Error: cannot print mailbox <john>\n")) << result.out;
      EXPECT_TRUE(
          contains(log, "Error: cannot parse settings file: cannot open file " + path + "\n"))
          << log;
      EXPECT_EQ(result.exitStatus, 1) << what;
    } else {
      EXPECT_TRUE(contains(result.out, " + mailbox <john>, size: 0B\n")) << result.out;
      EXPECT_TRUE(contains(log, "Warning: cannot parse info file: cannot open file " + path + "\n"))
          << log;
      EXPECT_EQ(result.exitStatus, 0) << what;
    }
    std::filesystem::remove_all(store_);
    std::filesystem::remove(lodemigFiles(work_, "log").at(0));
  }
}

TEST_F(HostileStoreTest, FifoInfoFileFailsTheMailboxOfAMigrationPromptly) {
  const auto account = builder_.account("", "john", AccountDirectory)
                           .settings("{ Password = secret; }")
                           .info("{ INBOX = { Messages = #0; }; }");
  makeHostile(account.infoPath(), Hostile::kFifo);
  startServer();
  ProcessResult result = run(true);
  EXPECT_FALSE(result.timedOut);
  EXPECT_TRUE(contains(result.out, "Error: cannot migrate mailbox <john>\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "Result: migration failed\n")) << result.out;
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(contains(
      log(), "Error: cannot parse info file: cannot open file " + account.infoPath() + "\n"));
}

// The source server shrinks the INBOX file while the first message is being
// appended (the target holds its answer): the second message, cut short, used
// to arrive as if whole in a "successful" run.
TEST_F(HostileStoreTest, MailboxFileShrinkingDuringTheMigrationFailsTheFolder) {
  builder_.account("", "john", AccountDirectory)
      .settings("{ Password = secret; }")
      .info("{ INBOX = { Messages = #2; }; }");
  std::string big = "Subject: big\r\n\r\n";
  while (big.size() < 1024 * 1024) {
    big += std::string(78, 'x') + "\r\n";
  }
  const std::vector<MailboxMessage> messages = {{"S", "1", kDate, "Subject: one\r\n\r\nfirst\r\n"},
                                                {"", "2", kDate, big}};
  const std::string mailbox = builder_.mailboxFile("", "john", "INBOX", messages);
  // Half of the second message stays, far beyond what one read buffers.
  const std::uintmax_t cut = StoreBuilder::mailboxText({messages[0]}).size() + big.size() / 2;

  // Every answer waits, so that the walk is held after the first message
  // arrived, for much longer than the cut takes.
  startServer({"--delay-ms", "250"});
  const std::string arrivedDirectory = arrived_ + "/accounts/john@example.com/messages";
  std::atomic<bool> shrunk{false};
  std::thread source([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      std::error_code error;
      if (std::filesystem::exists(arrivedDirectory + "/000001.meta", error)) {
        std::filesystem::resize_file(mailbox, cut);
        shrunk = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  ProcessResult result = run(true);
  source.join();
  ASSERT_TRUE(shrunk) << "the first message never arrived: " << result.out;
  EXPECT_FALSE(result.timedOut);
  EXPECT_TRUE(contains(result.out, "Error: cannot migrate folder \"INBOX\"\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "Result: migration failed\n")) << result.out;
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(contains(log(), "Error: the messages file changed while being read\n")) << log();
  const std::vector<std::string> arrived = arrivedMessages("john@example.com");
  ASSERT_EQ(arrived.size(), 1u) << "the second message arrived, " << arrived[1].size() << " bytes";
  EXPECT_EQ(arrived[0], "Subject: one\r\n\r\nfirst\r\n");
}

}  // namespace
}  // namespace lodemig::testing
