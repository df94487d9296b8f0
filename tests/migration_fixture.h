#ifndef LODEMIG_TESTS_MIGRATION_FIXTURE_H_
#define LODEMIG_TESTS_MIGRATION_FIXTURE_H_

// What the end-to-end tests of migration runs share: a store builder, a
// stand-in target server storing into its own directory, and readers of what
// arrived there.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/process.h"
#include "tests/store_builder.h"
#include "tests/temp_dir.h"

namespace lodemig::testing {

// One message as the target stored it.
struct Stored {
  std::string folder;
  std::string flags;
  std::string date;
  std::string command;
  std::string content;

  bool operator==(const Stored& other) const {
    return std::tie(folder, flags, date, command, content) ==
           std::tie(other.folder, other.flags, other.date, other.command, other.content);
  }
  bool operator<(const Stored& other) const {
    return std::tie(folder, flags, date, command, content) <
           std::tie(other.folder, other.flags, other.date, other.command, other.content);
  }
};

inline void PrintTo(const Stored& m, std::ostream* out) {
  *out << "{" << m.folder << " | " << m.flags << " | " << m.date << " | " << m.command << " | "
       << ::testing::PrintToString(m.content) << "}";
}

// One folder's console line: each three-character counter erased ("\b \b"
// per character) before the next, then the final count.
inline std::string folderLine(const std::string& name, std::initializer_list<const char*> counters,
                              const std::string& count) {
  std::string line = "   - \"" + name + "\", messages: ";
  for (const char* counter : counters) {
    line += counter + std::string("\b \b\b \b\b \b");
  }
  return line + count + "\n";
}

inline std::string metaField(const std::string& meta, const std::string& name) {
  std::size_t start = meta.find(name + ": ");
  if (start == std::string::npos) {
    return "<missing>";
  }
  start += name.size() + 2;
  return meta.substr(start, meta.find('\n', start) - start);
}

inline int countOf(const std::string& text, const std::string& piece) {
  int count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

class MigrationTest : public ::testing::Test {
 protected:
  MigrationTest() : store_(dir_ / "store"), builder_(store_) {}

  // Starts a fresh target server storing into its own directory.
  void startServer(std::vector<std::string> arguments = {}) {
    arrived_ = dir_ / ("arrived" + std::to_string(++servers_));
    arguments.insert(arguments.end(), {"--store", arrived_});
    server_ = std::make_unique<TargetServer>(LODEMIG_TARGET_BINARY, arguments);
    ASSERT_GT(server_->port(), 0) << "the target server did not start";
  }

  // Runs a migration of the store into the running server from `work`.
  ProcessResult migrate(std::vector<std::string> arguments = {}, std::string work = "") {
    if (work.empty()) {
      work = work_;
    }
    makeDirectories(work);
    std::vector<std::string> all = {"-path",     store_,           "-migrate",          "-server",
                                    "127.0.0.1", "-port",          server_->portText(), "-password",
                                    "master",    "-primaryDomain", "example.com"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.workingDirectory = work;
    return runProcess(LODEMIG_BINARY, all, options);
  }

  std::string accountDirectory(const std::string& account) const {
    return arrived_ + "/accounts/" + account;
  }
  std::string accountFile(const std::string& account) const {
    return readFile(accountDirectory(account) + "/account");
  }
  std::string foldersFile(const std::string& account) const {
    return readFile(accountDirectory(account) + "/folders");
  }

  // How many messages the account holds on the target so far.
  int arrivedCount(const std::string& account) const {
    int count = 0;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(accountDirectory(account) + "/messages", error)) {
      count += entry.path().extension() == ".eml" ? 1 : 0;
    }
    return count;
  }

  // The account's messages in arrival order.
  std::vector<Stored> storedMessages(const std::string& account) const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(accountDirectory(account) + "/messages", error)) {
      if (entry.path().extension() == ".eml") {
        names.push_back(entry.path().string());
      }
    }
    std::sort(names.begin(), names.end());
    std::vector<Stored> messages;
    for (const std::string& eml : names) {
      std::string meta = readFile(eml.substr(0, eml.size() - 4) + ".meta");
      messages.push_back({metaField(meta, "folder"), metaField(meta, "flags"),
                          metaField(meta, "date"), metaField(meta, "command"), readFile(eml)});
    }
    return messages;
  }

  // All the run files of that kind in `work`, one after the other.
  static std::string allFiles(const std::string& work, const char* extension) {
    std::string content;
    for (const std::string& file : lodemigFiles(work, extension)) {
      content += readFile(file);
    }
    return content;
  }

  // The generated password the target received for `account`.
  std::string storedPassword(const std::string& account) const {
    return metaField(accountFile(account), "password");
  }

  // A small account of the default domain with `count` messages in its INBOX.
  void inboxAccount(const std::string& name, int count) {
    builder_.account("", name, AccountDirectory)
        .settings("{ Password = pw" + name + "; }")
        .info("{ INBOX = { Messages = #" + std::to_string(count) + "; }; }");
    builder_.mailboxFile("", name, "INBOX", messages(name, count));
  }

  static std::vector<MailboxMessage> messages(const std::string& tag, int count) {
    std::vector<MailboxMessage> list;
    for (int i = 1; i <= count; ++i) {
      list.push_back({"S", std::to_string(i), "Wed Jun 30 21:49:08 1993",
                      "Subject: " + tag + " " + std::to_string(i) + "\r\n\r\nbody\r\n"});
    }
    return list;
  }

  static Stored inboxMessage(const std::string& tag, int number) {
    return {"INBOX", "\\Seen ", "30-Jun-1993 21:49:08 +0000", "X-APPEND",
            "Subject: " + tag + " " + std::to_string(number) + "\r\n\r\nbody\r\n"};
  }

  ScopedTempDir dir_;
  const std::string work_ = dir_ / "work";
  const std::string store_;
  StoreBuilder builder_;
  std::unique_ptr<TargetServer> server_;
  std::string arrived_;
  int servers_ = 0;
};

}  // namespace lodemig::testing

#endif  // LODEMIG_TESTS_MIGRATION_FIXTURE_H_
