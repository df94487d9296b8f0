#include "migration/journal_db.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "migration/journal_text.h"
#include "tests/temp_dir.h"

namespace lodemig {
namespace {

const std::string kStore = "/var/quillon";
const std::string kTarget = "127.0.0.1:143";

class JournalDbTest : public ::testing::Test {
 protected:
  std::string path() const { return dir_ / "run.journal"; }
  std::string open(JournalDatabase& db, const std::string& target = kTarget,
                   bool retarget = false) {
    return db.open(path(), kStore, target, retarget);
  }
  static JournalMessage stored(const std::string& identity, std::int64_t uid = -1) {
    return {identity, 100, "\\Seen", uid, true};
  }
  static JournalMessage refused(const std::string& identity) {
    return {identity, 7, "", -1, false};
  }

  // Runs `child` in a forked process that reports "ready" on a pipe and then
  // waits to be killed (at most 20 seconds). Returns its pid once it is
  // ready, or -1 when it did not get ready within 10 seconds.
  template <typename Child>
  pid_t forkReady(Child child) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
      return -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(20);
      ::close(pipeFds[0]);
      const bool ok = child();
      if (!ok || ::write(pipeFds[1], "r", 1) != 1) {
        ::_exit(3);
      }
      ::pause();
      ::_exit(0);
    }
    ::close(pipeFds[1]);
    pollfd ready{pipeFds[0], POLLIN, 0};
    char byte = 0;
    const bool got = ::poll(&ready, 1, 10000) == 1 && ::read(pipeFds[0], &byte, 1) == 1;
    ::close(pipeFds[0]);
    if (!got) {
      kill(pid);
      return -1;
    }
    return pid;
  }
  static void kill(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
  }

  testing::ScopedTempDir dir_;
};

TEST_F(JournalDbTest, EveryRecordReadsBackAfterReopening) {
  const std::string odd = "a%b\tc\nd\re";  // nothing in a name needs escaping
  const std::string longPassword(70000, 'p');
  {
    JournalDatabase db;
    ASSERT_EQ(open(db), "");
    db.creating("new@x", "run.pass", "pw", true);
    db.account("new@x", JournalDatabase::Settled::Created, "run.pass");
    db.creating("cut@x", "run.pass", longPassword, true);
    db.creating("old@x", "run.pass", "pw", false);
    db.account("old@x", JournalDatabase::Settled::Declined, "run.pass");
    db.account("sw@x", JournalDatabase::Settled::Switched, "/abs/sw.pass");
    db.endAccount("sw@x");
    JournalDbFolder folder = db.beginFolder("new@x", odd, false);
    db.folderStart(folder, "INBOX/" + odd, 1700000000, 41, 3);
    db.message(folder, stored("1.eml", 41));
    db.message(folder, stored("1.eml"));  // the same identity twice: two messages
    db.message(folder, refused("2.eml"));
    db.message(folder, refused(odd));
    db.message(folder, stored(odd, 44));  // replaces its refusal
    EXPECT_EQ(folder.messages().size(), 2u) << "only refusals are kept";
    EXPECT_EQ(folder.storedCount(), 3);
    JournalDbFolder done = db.beginFolder("new@x", "Done", false);
    db.endFolder(done);
    db.close();
    EXPECT_FALSE(db.failed()) << db.failureText();
  }
  JournalDatabase db;
  ASSERT_EQ(open(db), "");
  std::string password;
  bool generated = false;
  EXPECT_FALSE(db.creationUnconfirmed("new@x", password, generated));
  ASSERT_TRUE(db.creationUnconfirmed("cut@x", password, generated));
  EXPECT_EQ(password, longPassword);
  EXPECT_TRUE(generated);
  const std::string runPass = (std::filesystem::current_path() / "run.pass").string();
  EXPECT_EQ(db.passwordFileOf("new@x"), runPass);
  EXPECT_EQ(db.passwordFileOf("cut@x"), runPass);
  EXPECT_EQ(db.passwordFileOf("old@x"), "");
  EXPECT_EQ(db.passwordFileOf("sw@x"), "/abs/sw.pass") << "done keeps the password file";
  EXPECT_TRUE(db.accountDone("sw@x"));
  EXPECT_FALSE(db.accountDone("new@x"));
  EXPECT_TRUE(db.folderDone("new@x", "Done"));
  EXPECT_FALSE(db.folderDone("new@x", odd));
  EXPECT_FALSE(db.folderDone("other@x", "Done"));

  JournalDbFolder folder = db.beginFolder("new@x", odd, true);
  EXPECT_EQ(folder.targetName(), "INBOX/" + odd);
  EXPECT_EQ(folder.uidValidity(), 1700000000);
  EXPECT_EQ(folder.uidNext(), 41);
  EXPECT_EQ(folder.countBefore(), 3);
  ASSERT_EQ(folder.messages().size(), 4u);
  EXPECT_EQ(folder.messages()[0].targetUid, 41);
  EXPECT_EQ(folder.messages()[0].flags, "\\Seen");
  EXPECT_EQ(folder.messages()[1].targetUid, -1);
  EXPECT_EQ(folder.messages()[3].identity, odd);
  EXPECT_EQ(folder.messages()[3].targetUid, 44);
  EXPECT_EQ(folder.storedTimes("1.eml"), 2);
  EXPECT_EQ(folder.refusedTimes("2.eml"), 1);
  EXPECT_EQ(folder.storedTimes(odd), 1);
  EXPECT_EQ(folder.refusedTimes(odd), 0);
  EXPECT_EQ(folder.storedCount(), 3);
  db.message(folder, stored("3.eml"));
  EXPECT_EQ(folder.messages().size(), 5u) << "a kept folder holds this run's records";
  db.endFolder(folder);
  EXPECT_TRUE(folder.messages().empty());
  EXPECT_TRUE(db.folderDone("new@x", odd));
}

TEST_F(JournalDbTest, CreatedPrivateAndRefusesLinksAndForeignFiles) {
  JournalDatabase db;
  ASSERT_EQ(open(db), "");
  db.close();
  struct stat info;
  ASSERT_EQ(::stat(path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  const std::string link = dir_ / "link.journal";
  ASSERT_EQ(::symlink(path().c_str(), link.c_str()), 0);
  EXPECT_EQ(db.open(link, kStore, kTarget),
            "Argument error: cannot write journal " + link + ": it is a symbolic link\n");

  const std::string garbage = dir_ / "garbage";
  testing::writeFile(garbage, std::string(4096, 'x'));
  EXPECT_EQ(db.open(garbage, kStore, kTarget),
            "Argument error: journal " + garbage +
                " is damaged (file is not a database); move it away to start a new journal\n");
}

TEST_F(JournalDbTest, DamagedPagesAreRefusedNotUsed) {
  {
    JournalDatabase db;
    ASSERT_EQ(open(db), "");
    JournalDbFolder folder = db.beginFolder("a@x", "INBOX", false);
    for (int i = 0; i < 2000; ++i) {
      db.message(folder, stored(std::string(200, 'm') + std::to_string(i)));
    }
    db.close();
  }
  std::string bytes = testing::readFile(path());
  ASSERT_GT(bytes.size(), 20000u);
  // Page 3 onwards: the header stays readable, the tables' pages do not.
  for (std::size_t i = 8192; i < 16384; ++i) {
    bytes[i] = static_cast<char>(0x5a);
  }
  testing::writeFile(path(), bytes);
  JournalDatabase db;
  const std::string refusal = open(db);
  EXPECT_EQ(refusal.rfind("Argument error: journal " + path() + " is damaged (", 0), 0u) << refusal;
  EXPECT_NE(refusal.find("); move it away to start a new journal\n"), std::string::npos);
}

TEST_F(JournalDbTest, OtherStoreRefusedOtherTargetOnlyWithoutRetarget) {
  JournalDatabase db;
  ASSERT_EQ(open(db), "");
  db.close();
  const std::string otherRun =
      "Argument error: journal " + path() + " is of another store or target\n";
  EXPECT_EQ(db.open(path(), "/other", kTarget),
            otherRun + "Argument error: the journal's store is /var/quillon, this run's /other\n");
  EXPECT_EQ(open(db, "localhost:143"),
            otherRun +
                "Argument error: the journal's target is 127.0.0.1:143, this run's "
                "localhost:143; if it is the same server, add -retarget\n");
  ASSERT_EQ(open(db, "localhost:143", true), "");
  db.close();
  EXPECT_EQ(open(db, "localhost:143"), "") << "the new target is the journal's";
  db.close();

  const std::string foreign = dir_ / "foreign.db";
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(foreign.c_str(), &other), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(other, "CREATE TABLE t(x)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  EXPECT_EQ(db.open(foreign, kStore, kTarget),
            "Argument error: journal " + foreign + " is not a journal of lodemig\n");
}

TEST_F(JournalDbTest, SecondProcessIsRefusedNamingTheFirst) {
  const pid_t holder = forkReady([this] {
    static JournalDatabase db;  // left open: the process holds it until killed
    return open(db).empty();
  });
  ASSERT_GT(holder, 0);
  JournalDatabase db;
  EXPECT_EQ(open(db), "Argument error: journal " + path() + " is in use by process " +
                          std::to_string(holder) + "\n");
  kill(holder);
  EXPECT_EQ(open(db), "") << "a killed holder leaves no lock behind";
}

TEST_F(JournalDbTest, KillInsideABatchLosesNothingCommittedAndShowsNothingHalfWritten) {
  const pid_t writer = forkReady([this] {
    static JournalDatabase db;  // left open: the process dies holding it
    if (!open(db).empty()) {
      return false;
    }
    JournalDbFolder folder = db.beginFolder("a@x", "INBOX", false);
    db.folderStart(folder, "INBOX", 9, 1, 0);
    for (int i = 0; i < 300; ++i) {
      db.message(folder, stored("m" + std::to_string(i), i + 1));
    }
    db.message(folder, refused("bad"));  // commits the 300 with it
    for (int i = 300; i < 310; ++i) {
      db.message(folder, stored("m" + std::to_string(i), i + 2));
    }
    return !db.failed();
  });
  ASSERT_GT(writer, 0);
  kill(writer);
  JournalDatabase db;
  ASSERT_EQ(open(db), "");
  JournalDbFolder folder = db.beginFolder("a@x", "INBOX", false);
  EXPECT_EQ(folder.uidValidity(), 9);
  EXPECT_EQ(folder.storedCount(), 300);
  EXPECT_EQ(folder.messages().size(), 301u);
  EXPECT_EQ(folder.storedTimes("m299"), 1);
  EXPECT_EQ(folder.storedTimes("m300"), 0);
  EXPECT_EQ(folder.refusedTimes("bad"), 1);
}

TEST_F(JournalDbTest, TextJournalIsImportedAndKeptAsBackup) {
  const std::string escaped = "Sent\tbox";
  const std::string key = journalKey({"Sent.mbox", 120, 77});
  {
    JournalWriter writer;
    ASSERT_TRUE(writer.open(path(), 0, journalHeader(kStore, "127.0.0.1", 143)));
    writer.creating("new@x", "/r/run.pass", "pw", true);
    writer.account("new@x", "created", "/r/run.pass");
    writer.creating("cut@x", "/r/run.pass", "p\tw", false);
    writer.count("new@x", escaped, 5);
    writer.message(true, "new@x", escaped, key);
    writer.message(false, "new@x", escaped, journalKey({"Sent.mbox", 300, 9}));
    writer.count("new@x", "Done", 0);
    writer.folderDone("new@x", "Done");
    writer.accountDone("fin@x");
    writer.close();
  }
  const std::string text = testing::readFile(path());
  JournalDatabase db;
  ASSERT_EQ(open(db), "");
  EXPECT_EQ(db.importNote(), "Journal " + path() +
                                 ": imported the text journal into a database; the text is kept "
                                 "as " +
                                 path() + ".txt\n");
  EXPECT_EQ(testing::readFile(path() + ".txt"), text);
  EXPECT_EQ(db.passwordFileOf("new@x"), "/r/run.pass");
  std::string password;
  bool generated = true;
  ASSERT_TRUE(db.creationUnconfirmed("cut@x", password, generated));
  EXPECT_EQ(password, "p\tw");
  EXPECT_FALSE(generated);
  EXPECT_TRUE(db.accountDone("fin@x"));
  EXPECT_TRUE(db.folderDone("new@x", "Done"));
  JournalDbFolder folder = db.beginFolder("new@x", escaped, false);
  EXPECT_EQ(folder.countBefore(), 5);
  EXPECT_EQ(folder.storedTimes(key), 1);
  EXPECT_EQ(folder.refusedTimes(journalKey({"Sent.mbox", 300, 9})), 1);
  db.close();
  // Read only when closed: closing a descriptor of the file would drop the
  // connection's locks.
  EXPECT_EQ(testing::readFile(path()).rfind("SQLite format 3", 0), 0u);
  ASSERT_EQ(open(db), "");
  EXPECT_EQ(db.importNote(), "") << "imported once";
}

TEST_F(JournalDbTest, TextJournalWithALongRecordIsImportedWhole) {
  const std::string password(70000, 'p');
  {
    JournalWriter writer;
    ASSERT_TRUE(writer.open(path(), 0, journalHeader(kStore, "127.0.0.1", 143)));
    writer.creating("a@x", "/r/run.pass", password, false);
    writer.accountDone("b@x");
    writer.close();
  }
  JournalDatabase db;
  ASSERT_EQ(open(db), "");
  std::string kept;
  bool generated = true;
  ASSERT_TRUE(db.creationUnconfirmed("a@x", kept, generated));
  EXPECT_EQ(kept, password);
  EXPECT_TRUE(db.accountDone("b@x"));
}

TEST_F(JournalDbTest, TextJournalOfAnotherStoreIsRefusedAndLeftAsItIs) {
  {
    JournalWriter writer;
    ASSERT_TRUE(writer.open(path(), 0, journalHeader("/other", "127.0.0.1", 143)));
    writer.accountDone("a@x");
    writer.close();
  }
  const std::string text = testing::readFile(path());
  JournalDatabase db;
  EXPECT_EQ(open(db), "Argument error: journal " + path() +
                          " is of another store or target\nArgument error: the journal's store is "
                          "/other, this run's /var/quillon\n");
  EXPECT_EQ(testing::readFile(path()), text);
  EXPECT_FALSE(std::filesystem::exists(path() + ".importing"));
}

}  // namespace
}  // namespace lodemig

namespace lodemig {
namespace {

// What a delta pass changes lasts: a folder's source stamp, a record's new
// flags, a forgotten record; a reader that opens the journal only to read
// sees all of it while it takes no lock and writes nothing, and refuses a
// journal of another store.
TEST_F(JournalDbTest, DeltaChangesLastAndAReaderSeesThemWithoutALock) {
  {
    JournalDatabase db;
    ASSERT_EQ(open(db), "");
    JournalDbFolder folder = db.beginFolder("a@x", "INBOX", false);
    db.folderStart(folder, "INBOX", 9, 1, 0);
    db.message(folder, stored("u:1:5", 1));
    db.message(folder, stored("u:2:5", 2));
    db.message(folder, stored("u:3:5", 3));
    db.endFolder(folder);
    db.close();
  }
  JournalDatabase db;
  ASSERT_EQ(open(db), "");
  JournalDbFolder folder = db.beginFolder("a@x", "INBOX", false);
  ASSERT_EQ(folder.messages().size(), 3u);
  EXPECT_EQ(folder.sourceSize(), -1);
  db.folderSource(folder, 1234, 5678);
  db.setFlags(folder, folder.messages()[0].id, "\\Seen \\Flagged ");
  db.forget(folder, folder.messages()[1].id);
  db.beginFolder("a@x", "Sent", false);
  db.commit();

  JournalDatabase reader;
  ASSERT_EQ(reader.openToRead(path(), kStore), "");
  EXPECT_EQ(reader.accountFolders("a@x"), (std::vector<std::string>{"INBOX", "Sent"}));
  const JournalDbFolder read = reader.beginFolder("a@x", "INBOX", false);
  EXPECT_EQ(read.sourceSize(), 1234);
  EXPECT_EQ(read.sourceMtime(), 5678);
  ASSERT_EQ(read.messages().size(), 2u);
  EXPECT_EQ(read.messages()[0].flags, "\\Seen \\Flagged ");
  EXPECT_EQ(read.messages()[1].identity, "u:3:5");
  EXPECT_TRUE(reader.folderDone("a@x", "INBOX"));
  // A folder the journal does not know is read as empty, and not added.
  EXPECT_TRUE(reader.beginFolder("a@x", "Drafts", false).messages().empty());
  EXPECT_EQ(reader.accountFolders("a@x").size(), 2u);
  EXPECT_FALSE(reader.failed());
  reader.close();
  EXPECT_NE(reader.openToRead(path(), "/elsewhere"), "");
  EXPECT_NE(reader.openToRead(dir_ / "missing.journal", kStore), "");
}

// A journal made before passes compared the store's files gets their
// columns when it is opened, and keeps its records.
TEST_F(JournalDbTest, AJournalWithoutSourceColumnsGetsThem) {
  {
    JournalDatabase db;
    ASSERT_EQ(open(db), "");
    JournalDbFolder folder = db.beginFolder("a@x", "INBOX", false);
    db.message(folder, stored("u:1:5", 1));
    db.close();
  }
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(path().c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw,
                         "ALTER TABLE folders DROP COLUMN source_size;"
                         "ALTER TABLE folders DROP COLUMN source_mtime",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(raw);
  JournalDatabase db;
  ASSERT_EQ(open(db), "");
  JournalDbFolder folder = db.beginFolder("a@x", "INBOX", false);
  EXPECT_EQ(folder.messages().size(), 1u);
  db.folderSource(folder, 7, 8);
  db.close();
  ASSERT_EQ(open(db), "");
  EXPECT_EQ(db.beginFolder("a@x", "INBOX", false).sourceSize(), 7);
}

// DAV items are kept per account, folder and UID; a later record of a UID
// replaces its digest, and every record survives the file's reopening.
TEST_F(JournalDbTest, DavItemsReadBackByAccountFolderAndUid) {
  {
    JournalDatabase db;
    ASSERT_EQ(open(db), "");
    EXPECT_EQ(db.davDigest("a@x", "Calendar", "u1"), "");
    db.davItem("a@x", "Calendar", "u1", "u1.ics", "d1");
    db.davItem("a@x", "Calendar", "u2", "u2.ics", "d2");
    db.davItem("a@x", "Contacts", "u1", "u1.vcf", "d3");
    db.davItem("b@x", "Calendar", "u1", "u1.ics", "d4");
    db.davItem("a@x", "Calendar", "u1", "u1.ics", "d5");
    EXPECT_EQ(db.davDigest("a@x", "Calendar", "u1"), "d5");
    EXPECT_FALSE(db.failed());
    db.close();
  }
  JournalDatabase db;
  ASSERT_EQ(open(db), "");
  EXPECT_EQ(db.davDigest("a@x", "Calendar", "u1"), "d5");
  EXPECT_EQ(db.davDigest("a@x", "Calendar", "u2"), "d2");
  EXPECT_EQ(db.davDigest("a@x", "Contacts", "u1"), "d3");
  EXPECT_EQ(db.davDigest("b@x", "Calendar", "u1"), "d4");
  EXPECT_EQ(db.davDigest("b@x", "Calendar", "u2"), "");
  EXPECT_EQ(db.davDigest("a@x", "calendar", "u1"), "");
  db.close();
  JournalDatabase reader;
  ASSERT_EQ(reader.openToRead(path(), kStore), "");
  EXPECT_EQ(reader.davDigest("a@x", "Calendar", "u2"), "d2");
  // Read only: a record is not written.
  reader.davItem("a@x", "Calendar", "u9", "u9.ics", "d9");
  EXPECT_EQ(reader.davDigest("a@x", "Calendar", "u9"), "");
}

// A journal made before DAV items were recorded gets their table when it is
// opened for a run; opened to be read only it holds none and still opens.
TEST_F(JournalDbTest, AJournalWithoutTheDavTableGetsIt) {
  {
    JournalDatabase db;
    ASSERT_EQ(open(db), "");
    JournalDbFolder folder = db.beginFolder("a@x", "INBOX", false);
    db.message(folder, stored("u:1:5", 1));
    db.close();
  }
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(path().c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "DROP TABLE dav_items", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(raw);
  JournalDatabase reader;
  ASSERT_EQ(reader.openToRead(path(), kStore), "");
  EXPECT_EQ(reader.davDigest("a@x", "Calendar", "u1"), "");
  EXPECT_FALSE(reader.failed());
  reader.close();
  JournalDatabase db;
  ASSERT_EQ(open(db), "");
  EXPECT_EQ(db.beginFolder("a@x", "INBOX", false).messages().size(), 1u);
  db.davItem("a@x", "Calendar", "u1", "u1.ics", "d1");
  db.close();
  ASSERT_EQ(open(db), "");
  EXPECT_EQ(db.davDigest("a@x", "Calendar", "u1"), "d1");
  EXPECT_FALSE(db.failed());
}

}  // namespace
}  // namespace lodemig
