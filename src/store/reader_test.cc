#include "store/reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <vector>

#include "store/mailbox.h"
#include "tests/store_builder.h"
#include "tests/temp_dir.h"
#include "utils/ql_exception.h"

namespace lodemig {
namespace {

using lodemig::testing::ScopedTempDir;
using lodemig::testing::StoreBuilder;
using lodemig::testing::writeFile;

class ReaderTest : public ::testing::Test {
 protected:
  ReaderTest() : store_(dir_.path()) {}

  // Every domain the walk yields, as "name path", sorted (the listing order
  // is the file system's); a store error as "! text".
  std::vector<std::string> domains(const std::string& mask) {
    Reader reader(&log_);
    reader.setStore(dir_.path(), "main.example");
    Domain domain(&log_);
    std::vector<std::string> found;
    try {
      for (bool more = reader.firstDomain(domain, mask); more && found.size() < 100;
           more = reader.nextDomain(domain, mask)) {
        found.push_back(domain.name() + " " + domain.path());
      }
    } catch (const QLStoreException& error) {
      found.push_back(std::string("! ") + error.what());
    }
    std::sort(found.begin(), found.end());
    return found;
  }

  // Every account of the domain directory as "name kind path", and every
  // account that failed to load as "! text"; sorted.
  std::vector<std::string> accounts(const std::string& domainPath, const std::string& mask) {
    Domain domain(&log_);
    domain.assign("d", domainPath);
    Mailbox mailbox(&log_);
    std::vector<std::string> found;
    for (int i = 0; i < 100; ++i) {
      try {
        if (!(i == 0 ? domain.firstMailbox(mailbox, mask) : domain.nextMailbox(mailbox, mask))) {
          break;
        }
        found.push_back(mailbox.name() + " " + std::to_string(mailbox.kind()) + " " +
                        mailbox.path());
      } catch (const QLStoreException& error) {
        found.push_back(std::string("! ") + error.what());
      }
    }
    std::sort(found.begin(), found.end());
    return found;
  }

  std::vector<std::string> sortedLogLines() {
    std::vector<std::string> lines;
    std::istringstream in(log_.str());
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  // Loads the account "acct" of the default domain.
  Mailbox load(StorageKind kind) {
    Mailbox mailbox(&log_);
    mailbox.load("acct", "main.example", store_.domainPath(""), "acct", kind);
    return mailbox;
  }

  ScopedTempDir dir_;
  StoreBuilder store_;
  std::ostringstream log_;
};

TEST(MatchMaskTest, ShellStyleWildcards) {
  const struct {
    const char* mask;
    const char* name;
    bool matches;
  } cases[] = {
      {"*", "", true},
      {"", "a", false},
      {"SALES*", "sales-east", true},
      {"Sales*", "presales", false},
      {"a?c", "abc", true},
      {"a?c", "abbc", false},
      {"[!x]*", "Xyz", false},
      {"[!x]*", "abc", true},
      {"[^x]*", "xbc", false},
      {"[a-c]x", "Bx", true},
      {"[A-C]x", "dx", false},
      {"[]", "]", false},
      {"[]abc]", "a", false},
      {"[!]", "]", true},
      {"[!]", "ab", false},
      {"[ab", "[ab", true},
      {"[a-]", "-", true},
      {"\\*", "\\xyz", true},
      {"*.org", "x.ORG", true},
      {"*", "a/b", true},
      {"a*b*c", "aXbYbZc", true},
      {"*a*a", "aaab", false},
      {"\xe9*", "\xe9t", true},
      {"**x", "yx", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(matchMask(c.mask, c.name, true), c.matches) << c.mask << " " << c.name;
  }
  EXPECT_FALSE(matchMask("[A-C]", "b", false));
  EXPECT_TRUE(matchMask("A?", "Ab", false));
}

TEST_F(ReaderTest, DomainWalk) {
  // Without Accounts, the default domain is an error only when selected.
  store_.domain("sales");
  EXPECT_EQ(domains("*"), std::vector<std::string>{"! default domain not found, wrong path"});
  EXPECT_EQ(log_.str(), "Error: default domain not found, wrong path\n");
  EXPECT_EQ(domains("s*").size(), 1u);

  store_.domain("");
  store_.domain("SALES-east");
  store_.domain("other");
  writeFile(dir_ / "Domains/sales-file", "not a domain");
  EXPECT_EQ(domains("*").size(), 4u);
  log_.str("");
  EXPECT_EQ(domains("SALES*"),
            (std::vector<std::string>{"SALES-east " + dir_ / "Domains/SALES-east",
                                      "sales " + dir_ / "Domains/sales"}));
  EXPECT_EQ(sortedLogLines(),
            (std::vector<std::string>{
                "Info: read domain (SALES-east) path: \"" + dir_ / "Domains/SALES-east\"",
                "Info: read domain (sales) path: \"" + dir_ / "Domains/sales\""}));
}

TEST_F(ReaderTest, DefaultDomainAloneWithoutDomainsDirectory) {
  store_.domain("");
  EXPECT_EQ(domains("MAIN.*"), std::vector<std::string>{"main.example " + dir_ / "Accounts"});
  EXPECT_EQ(log_.str(),
            "Info: read default domain (main.example) path: \"" + dir_ / "Accounts" + "\"\n");
}

TEST_F(ReaderTest, AccountsByKindAndSuffix) {
  const std::string domain = store_.domain("");
  store_.account("", "john", AccountDirectory).settings("{}");
  store_.account("", "x", AccountDirectory).settings("{}");
  store_.account("", "jane", MailboxFile).settings("{}");
  store_.account("", "bob", MessageDirectory).settings("{}");
  for (const char* file : {"readme.txt", ".mbox", "John.MBOX", "x.mdir/ignored"}) {
    writeFile(domain + "/" + file, "");
  }
  for (const char* directory : {"old.mbox", ".macnt", "y.MDIR"}) {
    testing::makeDirectories(domain + "/" + directory);
  }
  // x.mdir is an account of its own beside x.macnt, one without settings.
  EXPECT_EQ(accounts(domain, "*"),
            (std::vector<std::string>{
                "! cannot parse settings file: cannot open file " + domain + "/x.settings",
                "bob 2 " + domain + "/bob.mdir", "jane 1 " + domain,
                "john 0 " + domain + "/john.macnt", "x 0 " + domain + "/x.macnt"}));
  EXPECT_EQ(accounts(domain, "J*").size(), 2u);
  EXPECT_EQ(accounts(dir_ / "gone", "*"),
            std::vector<std::string>{"! cannot open directory " + dir_ / "gone"});
  EXPECT_NE(log_.str().find("Error: cannot open directory " + dir_ / "gone\n"), std::string::npos);
}

TEST_F(ReaderTest, AccountLinesAndUnreadableSettings) {
  const std::string domain = store_.domain("");
  store_.account("", "john", AccountDirectory)
      .settings("{ RealName = \"John Smith\"; Password = secret; }")
      .info("{ #StorageUsed = #2048; }");
  store_.account("", "bad", MailboxFile).info("{}");
  const std::string error =
      "cannot parse settings file: cannot open file " + domain + "/bad.settings";
  EXPECT_EQ(accounts(domain, "*").size(), 2u);
  EXPECT_EQ(sortedLogLines(),
            (std::vector<std::string>{" Info: read mailbox <john> full name: \"John Smith\" "
                                      "password: found size: 2048 path: \"" +
                                          domain + "/john.macnt\"",
                                      "Error: " + error}));
}

TEST_F(ReaderTest, PasswordsAreTakenOnlyInClearText) {
  const struct {
    std::string settings;
    std::string fullNameAndPassword;
  } cases[] = {
      {"{ RealName = \"John Smith\"; Password = pw; }", "John Smith/pw"},
      {"{ PasswordEncryption = clear; Password = pw; }", "/pw"},
      {"{ PasswordEncryption = \"\"; Password = pw; }", "/pw"},
      {"{ PasswordEncryption = Clear; Password = pw; }", "/"},
      {"{ PasswordEncryption = hashed; Password = pw; RealName = R; }", "R/"},
      {"", "/"},
      {"{}", "/"},
  };
  store_.account("", "acct", AccountDirectory).info("{}");
  for (const auto& c : cases) {
    writeFile(dir_ / "Accounts/acct.macnt/account.settings", c.settings);
    Mailbox mailbox = load(AccountDirectory);
    EXPECT_EQ(mailbox.fullName() + "/" + mailbox.password(), c.fullNameAndPassword) << c.settings;
  }
  EXPECT_EQ(log_.str(), "");
}

TEST_F(ReaderTest, InfoFileGivesTheStorageUsedOrUnknown) {
  StoreBuilder::Account account = store_.account("", "acct", MessageDirectory).settings("{}");
  EXPECT_EQ(load(MessageDirectory).storageUsed(), "unknown");
  EXPECT_EQ(log_.str(),
            "Warning: cannot parse info file: cannot open file " + dir_ / "Accounts/acct.info\n");
  log_.str("");
  account.info("{ a = b }");
  EXPECT_EQ(load(MessageDirectory).storageUsed(), "unknown");
  EXPECT_EQ(log_.str(), "Warning: cannot parse info file: expected ';'\n");
  account.info("{ INBOX = { Messages = #1; }; }");
  EXPECT_EQ(load(MessageDirectory).storageUsed(), "");
  account.info("{ #StorageUsed = #1024; }");
  EXPECT_EQ(load(MessageDirectory).storageUsed(), "1024");
}

TEST_F(ReaderTest, FoldersInByteOrderWithDefaults) {
  store_.account("", "acct", MailboxFile)
      .settings("{}")
      .info(
          "{ #StorageUsed = #1024; INBOX = { Class = IPF.Note; Messages = #3; Size = #2048; };"
          " Calendar = { Class = IPF.Appointment; }; \"Sent Items\" = { Messages = #1; };"
          " inbox = {}; \"Archive/2007\" = {}; Archive0 = {}; #Other = {}; \"\" = {}; }");
  Mailbox mailbox = load(MailboxFile);
  log_.str("");
  std::vector<Folder> folders(1, Folder(&log_));  // the list is appended to
  mailbox.readFolders(folders);
  std::vector<std::string> described;
  for (const Folder& folder : folders) {
    described.push_back(folder.name() + "|" + folder.folderClass() + "|" +
                        std::to_string(folder.messageCount()) + "|" + folder.size() + "|" +
                        std::to_string(folder.type()) + "|" + std::to_string(folder.kind()) + "|" +
                        folder.accountPath());
  }
  const std::string rest = "|" + std::to_string(MailboxFile) + "|" + mailbox.path();
  EXPECT_EQ(described, (std::vector<std::string>{
                           "|IPF.Note|0|0|5|3|",
                           "Archive/2007|IPF.Default|0||0" + rest,
                           "Archive0|IPF.Default|0||0" + rest,
                           "Calendar|IPF.Appointment|0||2" + rest,
                           "INBOX|IPF.Note|3|2048|5" + rest,
                           "Sent Items|IPF.Default|1||0" + rest,
                           "inbox|IPF.Default|0||0" + rest,
                       }));
  EXPECT_EQ(log_.str().rfind(
                "   Info: read folder \"acct/Archive/2007\" size:  messages: 0 type: IPF.Default\n"
                "   Info: read folder \"acct/Archive0\" size:  messages: 0 type: IPF.Default\n",
                0),
            0u);
  EXPECT_NE(log_.str().find(
                "   Info: read folder \"acct/INBOX\" size: 2048 messages: 3 type: IPF.Note\n"),
            std::string::npos);
}

TEST_F(ReaderTest, DiskFoldersAreTheFolderFilesAndDirectoriesOfTheAccount) {
  const std::string path = store_.account("", "acct", AccountDirectory).settings("{}").path();
  store_.mailboxFile("", "acct", "INBOX", {});
  store_.mailboxFile("", "acct", "Privat", {});
  store_.messageFile("", "acct", "Archive/2008", "1-S-20070823103000-h", "x\r\n");
  store_.messageFile("", "acct", "Both", "1-S-20070823103000-h", "x\r\n");
  store_.mailboxFile("", "acct", "Both", {});
  writeFile(path + "/notes.txt", "");
  writeFile(path + "/.mbox", "");
  std::vector<std::string> found;
  for (const DiskFolder& folder : load(AccountDirectory).diskFolders()) {
    found.push_back(folder.name + "=" + folder.file);
  }
  EXPECT_EQ(found,
            (std::vector<std::string>{"Archive/2008=Archive.folder/2008.mdir", "Both=Both.mdir",
                                      "INBOX=INBOX.mbox", "Privat=Privat.mbox"}));
  // A message directory's INBOX is the directory itself, once it holds a file;
  // a mailbox file account's other folders lie among the other accounts'.
  store_.account("", "md", MessageDirectory).settings("{}");
  Mailbox empty(&log_);
  empty.load("md", "main.example", store_.domainPath(""), "md", MessageDirectory);
  EXPECT_TRUE(empty.diskFolders().empty());
  store_.messageFile("", "md", "INBOX", "1-S-20070823103000-h", "x\r\n");
  ASSERT_EQ(empty.diskFolders().size(), 1u);
  EXPECT_EQ(empty.diskFolders()[0].name, "INBOX");
  store_.account("", "mf", MailboxFile).settings("{}");
  Mailbox file(&log_);
  file.load("mf", "main.example", store_.domainPath(""), "mf", MailboxFile);
  ASSERT_EQ(file.diskFolders().size(), 1u);
  EXPECT_EQ(file.diskFolders()[0].file, "mf.mbox");
}

TEST_F(ReaderTest, FolderFoundOnDiskIsAMailFolderWithItsMessagesCounted) {
  store_.account("", "acct", AccountDirectory).settings("{}");
  store_.mailboxFile("", "acct", "Privat",
                     {{"S", "1", "Wed Jun 30 21:49:08 1993", "a\r\n"},
                      {"", "2", "Wed Jun 30 21:49:08 1993", "b\r\n"},
                      {"", "3", "Wed Jun 30 21:49:08 1993", "c\r\n"}});
  Mailbox mailbox = load(AccountDirectory);
  log_.str("");
  const Folder folder = mailbox.mailFolder({"Privat", "Privat.mbox"});
  EXPECT_EQ(folder.messageCount(), 3);
  EXPECT_EQ(folder.type(), kFolderTypeMail);
  EXPECT_EQ(folder.name(), "Privat");
  EXPECT_EQ(log_.str(), "");  // counting is silent; the run's own read logs
  // One that cannot be read counts one, so that the run reads it to the failure.
  EXPECT_EQ(mailbox.mailFolder({"Gone", "Gone.mbox"}).messageCount(), 1);
}

TEST_F(ReaderTest, UnreadableInfoFileFailsTheFolderList) {
  store_.account("", "acct", AccountDirectory).settings("{}");
  Mailbox mailbox = load(AccountDirectory);
  log_.str("");
  std::vector<Folder> folders;
  const std::string text = "cannot parse info file: cannot open file " + mailbox.infoPath();
  try {
    mailbox.readFolders(folders);
    ADD_FAILURE() << "no exception";
  } catch (const QLStoreException& error) {
    EXPECT_EQ(error.what(), text);
  }
  EXPECT_TRUE(folders.empty());
  EXPECT_EQ(log_.str(), "Error: " + text + "\n");
  // Asked to, it leaves the list empty without a word: load() has warned.
  log_.str("");
  mailbox.readFolders(folders, InfoFailure::Empty);
  EXPECT_TRUE(folders.empty());
  EXPECT_EQ(log_.str(), "");
}

}  // namespace
}  // namespace lodemig
