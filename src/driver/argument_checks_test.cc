#include "driver/argument_checks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lodemig {
namespace {

struct Case {
  std::vector<const char*> arguments;  // the command line after the program's name
  std::string error;                   // the whole printed text; "" when the run is allowed
};

void expectErrors(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    std::vector<const char*> argv = c.arguments;
    argv.insert(argv.begin(), "lodemig");
    std::string line;
    for (const char* argument : c.arguments) {
      line += std::string(argument) + " ";
    }
    EXPECT_EQ(argumentError(parseCommandLine(static_cast<int>(argv.size()), argv.data())), c.error)
        << line;
  }
}

// A migration the checks allow, followed by `more`.
std::vector<const char*> migration(std::vector<const char*> more = {}) {
  std::vector<const char*> arguments = {
      "-path", "/s", "-migrate", "-server", "mail.example.com", "-password", "master"};
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

TEST(ArgumentChecksTest, RequiredOptionsAndRunKinds) {
  const std::string missing =
      "Argument error: missing required command line arguments, for help use \"-help\"\n"
      "Argument error: missing ";
  const char withMigrate[] =
      "Argument error: -check and -verify are runs of their own, without -migrate\n";
  expectErrors({
      {{"-path", "/s"}, ""},
      {migration(), ""},
      {{"-domain", "d"}, missing + "-path\n"},
      {{"-path", "/s", "-migrate", "-password", "master"}, missing + "-server\n"},
      {{"-path", "/s", "-migrate", "-server", "h"}, missing + "-password\n"},
      {{"-path", "/s", "-check", "-password", "master"}, missing + "-server\n"},
      {{"-path", "/s", "-verify", "-server", "h"}, missing + "-password\n"},
      {{"-migrate"}, missing + "-path, -server, -password\n"},
      // What is missing is said before a stray word that an empty value left.
      {{"-path", "/s", "-migrate", "-server", "h", "-port", "-password", "master"},
       missing + "-password\n"},
      {migration({"-jurnal", "j"}),
       "Argument error: unknown option <-jurnal>, for help use \"-help\"\n"},
      {{"-path", "/s", "-migrate", "-server", "h", "-passwordFile", "f"}, ""},
      {migration({"-check"}), withMigrate},
      {migration({"-verify"}), withMigrate},
      {{"-path", "/s", "-check", "-verify", "-server", "h", "-password", "m"},
       "Argument error: -check and -verify cannot be combined\n"},
      {{"-path", "/s", "-report", "r.csv"},
       "Argument error: -report needs -migrate, -check or -verify\n"},
      {{"-path", "/s", "-check", "-server", "h", "-password", "m", "-report", "r.csv"}, ""},
      {migration({"-retarget"}), "Argument error: -retarget needs -migrate and -journal\n"},
      {migration({"-retarget", "-journal", "j"}), ""},
      {migration({"-delta"}), "Argument error: -delta needs -journal, with -migrate or -check\n"},
      {{"-path", "/s", "-delta", "-journal", "j"},
       "Argument error: -delta needs -journal, with -migrate or -check\n"},
      {migration({"-delta", "-journal", "j", "-expunge"}), ""},
      {{"-path", "/s", "-check", "-server", "h", "-password", "m", "-delta", "-journal", "j"}, ""},
      {migration({"-expunge", "-journal", "j"}), "Argument error: -expunge needs -delta\n"},
      {{"-path", "/s", "-live"}, "Argument error: -live needs -migrate\n"},
      {migration({"-live"}), ""},
      {{"-path", "/s", "-user", "j*"}, "Argument error: unknown domain for user <j*>\n"},
      {{"-path", "/s", "-user", "j*", "-domain", "example.com"}, ""},
  });
}

TEST(ArgumentChecksTest, NumbersOutOfRangeNameTheirRange) {
  const char shard[] = "Argument error: -shard takes K/N, whole numbers with 1 <= K <= N\n";
  const char timeout[] = "Argument error: -timeout takes a number of seconds from 1 to 86400\n";
  expectErrors({
      {{"-path", "/s", "-retry", "101"}, "Argument error: -retry takes a number from 0 to 100\n"},
      {{"-path", "/s", "-window", "0"}, "Argument error: -window takes a number from 1 to 64\n"},
      {{"-path", "/s", "-jobs", "33"}, "Argument error: -jobs takes a number from 1 to 32\n"},
      {{"-path", "/s", "-shard", "3/2"}, shard},
      {{"-path", "/s", "-shard", "0/2"}, shard},
      {{"-path", "/s", "-timeout", "0"}, timeout},
      {{"-path", "/s", "-timeout", "86401"}, timeout},
      {{"-path", "/s", "-retry", "100", "-window", "64", "-jobs", "32", "-shard", "3/3", "-timeout",
        "86400"},
       ""},
  });
}

TEST(ArgumentChecksTest, PasswordAndTlsOptionsThatExcludeOrNeedEachOther) {
  const char needTls[] = "Argument error: -caFile and -insecure need -tls or -starttls\n";
  expectErrors({
      {migration({"-passwordFile", "pw"}),
       "Argument error: -password and -passwordFile cannot be combined\n"},
      {{"-path", "/s", "-tls", "-starttls"},
       "Argument error: -tls and -starttls cannot be combined\n"},
      {migration({"-caFile", "ca.pem"}), needTls},
      {{"-path", "/s", "-insecure"}, needTls},
      {migration({"-starttls", "-insecure", "-caFile", "ca.pem"}),
       "Argument error: -caFile and -insecure cannot be combined\n"},
      {migration({"-starttls", "-caFile", "ca.pem"}), ""},
      {migration({"-tls", "-insecure"}), ""},
  });
}

TEST(ArgumentChecksTest, TargetTypeAndTheOptionsOnlyImapTakes) {
  const char needImap[] =
      "Argument error: -admin, -loginForm, -nonMailFolders and -folderMap need -targetType imap\n";
  const char needAdmin[] =
      "Argument error: -targetType imap needs -admin, the administrator who logs in for each "
      "account\n";
  expectErrors({
      {{"-path", "/s", "-targetType", "exchange"},
       "Argument error: -targetType takes torvane or imap\n"},
      {{"-path", "/s", "-targetType", "imap", "-nonMailFolders", "all"},
       "Argument error: -nonMailFolders takes skip or create\n"},
      {migration({"-unlistedFolders", "yes"}),
       "Argument error: -unlistedFolders takes skip or migrate\n"},
      {migration({"-UNLISTEDFOLDERS", "Migrate"}), ""},
      {migration({"-admin", "root"}), needImap},
      {migration({"-loginForm", "USER"}), needImap},
      {migration({"-nonMailFolders", "create"}), needImap},
      {{"-path", "/s", "-folderMap", "map"}, needImap},
      {migration({"-targetType", "imap"}), needAdmin},
      {migration({"-targetType", "imap", "-loginForm", "USER*ADMIN"}), needAdmin},
      {migration({"-targetType", "imap", "-loginForm", "USER"}), ""},
      {migration({"-targetType", "IMAP", "-admin", "root"}), ""},
      {{"-path", "/s", "-targetType", "imap"}, ""},
      {{"-path", "/s", "-targetType", "Torvane", "-nonMailFolders", "SKIP"}, ""},
      {migration({"-targetType", "imap", "-admin", "root", "-nonMailFolders", "create",
                  "-folderMap", "map"}),
       ""},
  });
}

// A migration into a standard server, followed by `more`.
std::vector<const char*> imapMigration(std::vector<const char*> more = {}) {
  return migration([&] {
    std::vector<const char*> all = {"-targetType", "imap", "-admin", "root"};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }());
}

TEST(ArgumentChecksTest, DavOptionsNeedAStandardTargetAndTheirRunKinds) {
  const std::string error = "Argument error: ";
  const std::string needImap =
      error + "-davServer, -davLoginForm and -davExport need -targetType imap\n";
  const std::vector<const char*> check = {"-path", "/s",        "-check", "-server",
                                          "h",     "-password", "m",      "-targetType",
                                          "imap",  "-admin",    "root"};
  std::vector<const char*> checkDav = check;
  checkDav.insert(checkDav.end(), {"-davServer", "http://127.0.0.1:5232"});
  std::vector<const char*> checkExport = check;
  checkExport.insert(checkExport.end(), {"-davExport", "/out"});
  std::vector<const char*> verifyDav = checkDav;
  verifyDav[2] = "-verify";
  expectErrors({
      {imapMigration({"-davServer", "http://dav.example.com"}), ""},
      {imapMigration({"-DAVSERVER", "HTTPS://dav.example.com/dav/"}), ""},
      {imapMigration({"-davExport", "/out"}), ""},
      {imapMigration(
           {"-davServer", "http://d", "-davExport", "/out", "-davLoginForm", "USER*ADMIN"}),
       ""},
      {checkDav, ""},
      {verifyDav, ""},
      {imapMigration({"-davServer", "dav.example.com"}),
       error + "-davServer takes an http:// or https:// URL, not <dav.example.com>\n"},
      {imapMigration({"-davServer", "ftp://d/"}),
       error + "-davServer takes an http:// or https:// URL, not <ftp://d/>\n"},
      {imapMigration({"-davServer", "http://"}),
       error + "-davServer takes an http:// or https:// URL, not <http://>\n"},
      {imapMigration({"-davServer", ""}),
       error + "-davServer takes an http:// or https:// URL, not <>\n"},
      {imapMigration({"-davExport", ""}), error + "-davExport takes a directory\n"},
      {imapMigration({"-davServer", "http://d", "-davLoginForm", "ADMIN"}),
       error + "-davLoginForm takes a pattern with USER in it, such as USER*ADMIN\n"},
      {migration({"-davServer", "http://d"}), needImap},
      {migration({"-davExport", "/out"}), needImap},
      {migration({"-targetType", "torvane", "-davLoginForm", "USER"}), needImap},
      {imapMigration({"-davLoginForm", "USER"}), error + "-davLoginForm needs -davServer\n"},
      {checkExport, error + "-davExport needs -migrate\n"},
      {{"-path", "/s", "-targetType", "imap", "-davServer", "http://d"},
       error + "-davServer needs -migrate, -check or -verify\n"},
      {imapMigration({"-davServer", "http://d", "-nonMailFolders", "create"}),
       error + "-nonMailFolders create cannot be combined with -davServer or -davExport\n"},
      {imapMigration({"-davExport", "/out", "-nonMailFolders", "create"}),
       error + "-nonMailFolders create cannot be combined with -davServer or -davExport\n"},
      {migration({"-targetType", "imap", "-loginForm", "USER", "-davServer", "http://d",
                  "-davLoginForm", "USER*ADMIN"}),
       error + "-davLoginForm names ADMIN: it needs -admin\n"},
      {migration({"-targetType", "imap", "-loginForm", "USER", "-davServer", "http://d",
                  "-davLoginForm", "USER"}),
       ""},
  });
}

TEST(ArgumentChecksTest, CaFileAndInsecureServeAnHttpsDavServerToo) {
  const char needTls[] = "Argument error: -caFile and -insecure need -tls or -starttls\n";
  expectErrors({
      {imapMigration({"-davServer", "https://d", "-caFile", "ca.pem"}), ""},
      {imapMigration({"-davServer", "https://d", "-insecure"}), ""},
      {imapMigration({"-davServer", "http://d", "-caFile", "ca.pem"}), needTls},
      {imapMigration({"-davExport", "/out", "-insecure"}), needTls},
      {imapMigration({"-davServer", "https://d", "-caFile", "ca.pem", "-insecure"}),
       "Argument error: -caFile and -insecure cannot be combined\n"},
  });
}

TEST(ArgumentChecksTest, WorkListsSelectAloneAndFailedFileNeedsAMigration) {
  const std::string withMasks =
      "Argument error: -usersFile cannot be combined with -domain or -user\n";
  expectErrors({
      {migration({"-usersFile", "u.txt"}), ""},
      {migration({"-USERSFILE", "u.txt", "-failedfile", "f.txt"}), ""},
      {migration({"-usersFile", "u.txt", "-domain", "*"}), withMasks},
      {migration({"-usersFile", "u.txt", "-domain", "d", "-user", "u"}), withMasks},
      {{"-path", "/s", "-usersFile", "u.txt"}, ""},
      {{"-path", "/s", "-failedFile", "f.txt"}, "Argument error: -failedFile needs -migrate\n"},
      {{"-path", "/s", "-check", "-server", "h", "-password", "p", "-failedFile", "f"},
       "Argument error: -failedFile needs -migrate\n"},
  });
}

TEST(ArgumentChecksTest, FirstFailingCheckIsTheOneSaid) {
  expectErrors({
      {{"-timeout", "0"},
       "Argument error: missing required command line arguments, for help use \"-help\"\n"
       "Argument error: missing -path\n"},
      {{"-path", "/s", "-user", "u", "-retry", "x"},
       "Argument error: unknown domain for user <u>\n"},
      {migration({"-shard", "x", "-passwordFile", "f"}),
       "Argument error: -shard takes K/N, whole numbers with 1 <= K <= N\n"},
      {{"-path", "/s", "-insecure", "-targetType", "x"},
       "Argument error: -caFile and -insecure need -tls or -starttls\n"},
      {{"-path", "/s", "-admin", "a", "-timeout", "0"},
       "Argument error: -admin, -loginForm, -nonMailFolders and -folderMap need -targetType "
       "imap\n"},
  });
}

}  // namespace
}  // namespace lodemig
