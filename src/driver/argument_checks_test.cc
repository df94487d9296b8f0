#include "driver/argument_checks.h"

#include <gtest/gtest.h>

#include <vector>

namespace lodemig {
namespace {

// A migration the checks allow, for each case to spoil in one way.
RunOptions migration() {
  RunOptions options;
  options.storePath = "/store";
  options.migrate = true;
  options.server = "mail.example.com";
  options.masterPassword = "master";
  return options;
}

RunOptions printRun() {
  RunOptions options;
  options.storePath = "/store";
  return options;
}

struct Case {
  const char* name;
  RunOptions options;
  const char* error;  // the whole printed text; "" when the run is allowed
};

void expectErrors(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(argumentError(c.options), c.error) << c.name;
  }
}

// `base` changed by `change`, for the tables below.
template <typename Change>
RunOptions with(RunOptions base, Change change) {
  change(base);
  return base;
}

TEST(ArgumentChecksTest, RequiredOptionsAndRunKinds) {
  const char missing[] =
      "Argument error: missing required command line arguments, for help use \"-help\"\n";
  expectErrors({
      {"print run", printRun(), ""},
      {"migration", migration(), ""},
      {"no path", with(printRun(), [](RunOptions& o) { o.storePath.clear(); }), missing},
      {"no server", with(migration(), [](RunOptions& o) { o.server.clear(); }), missing},
      {"no password", with(migration(), [](RunOptions& o) { o.masterPassword.clear(); }),
       missing},
      {"check without server",
       with(printRun(), [](RunOptions& o) { o.check = true; o.masterPassword = "m"; }), missing},
      {"verify without password",
       with(printRun(), [](RunOptions& o) { o.verify = true; o.server = "h"; }), missing},
      {"password file instead",
       with(migration(), [](RunOptions& o) { o.masterPassword.clear(); o.passwordFile = "f"; }),
       ""},
      {"check with -migrate", with(migration(), [](RunOptions& o) { o.check = true; }),
       "Argument error: -check and -verify are runs of their own, without -migrate\n"},
      {"verify with -migrate", with(migration(), [](RunOptions& o) { o.verify = true; }),
       "Argument error: -check and -verify are runs of their own, without -migrate\n"},
      {"check and verify",
       with(migration(), [](RunOptions& o) { o.migrate = false; o.check = o.verify = true; }),
       "Argument error: -check and -verify cannot be combined\n"},
      {"report of a print run", with(printRun(), [](RunOptions& o) { o.reportPath = "r.csv"; }),
       "Argument error: -report needs -migrate, -check or -verify\n"},
      {"report of a check",
       with(migration(), [](RunOptions& o) { o.migrate = false; o.check = true; o.reportPath = "r"; }),
       ""},
      {"user without domain", with(printRun(), [](RunOptions& o) { o.userMask = "j*"; }),
       "Argument error: unknown domain for user <j*>\n"},
      {"user with domain",
       with(printRun(), [](RunOptions& o) { o.userMask = "j*"; o.domainMask = "example.com"; }),
       ""},
  });
}

TEST(ArgumentChecksTest, NumbersOutOfRangeNameTheirRange) {
  expectErrors({
      {"retry", with(migration(), [](RunOptions& o) { o.retries = -1; }),
       "Argument error: -retry takes a number from 0 to 100\n"},
      {"window", with(migration(), [](RunOptions& o) { o.window = -1; }),
       "Argument error: -window takes a number from 1 to 64\n"},
      {"jobs", with(migration(), [](RunOptions& o) { o.jobs = -1; }),
       "Argument error: -jobs takes a number from 1 to 32\n"},
      {"shard", with(migration(), [](RunOptions& o) { o.shards = -1; }),
       "Argument error: -shard takes K/N, whole numbers with 1 <= K <= N\n"},
      {"timeout", with(migration(), [](RunOptions& o) { o.timeoutSeconds = 0; }),
       "Argument error: -timeout takes a number of seconds from 1 to 86400\n"},
      {"largest values",
       with(migration(),
            [](RunOptions& o) { o.retries = 100; o.window = 64; o.jobs = 32; o.shard = 3; o.shards = 3; }),
       ""},
  });
}

TEST(ArgumentChecksTest, PasswordAndTlsOptionsThatExcludeOrNeedEachOther) {
  expectErrors({
      {"password twice", with(migration(), [](RunOptions& o) { o.passwordFile = "pw"; }),
       "Argument error: -password and -passwordFile cannot be combined\n"},
      {"tls and starttls", with(migration(), [](RunOptions& o) { o.tls = o.starttls = true; }),
       "Argument error: -tls and -starttls cannot be combined\n"},
      {"caFile alone", with(migration(), [](RunOptions& o) { o.caFile = "ca.pem"; }),
       "Argument error: -caFile and -insecure need -tls or -starttls\n"},
      {"insecure alone", with(printRun(), [](RunOptions& o) { o.insecure = true; }),
       "Argument error: -caFile and -insecure need -tls or -starttls\n"},
      {"caFile and insecure",
       with(migration(), [](RunOptions& o) { o.starttls = o.insecure = true; o.caFile = "c"; }),
       "Argument error: -caFile and -insecure cannot be combined\n"},
      {"caFile with starttls",
       with(migration(), [](RunOptions& o) { o.starttls = true; o.caFile = "c"; }), ""},
      {"insecure with tls", with(migration(), [](RunOptions& o) { o.tls = o.insecure = true; }),
       ""},
  });
}

TEST(ArgumentChecksTest, TargetTypeAndTheOptionsOnlyImapTakes) {
  const char needImap[] =
      "Argument error: -admin, -loginForm, -nonMailFolders and -folderMap need -targetType imap\n";
  const char needAdmin[] =
      "Argument error: -targetType imap needs -admin, the administrator who logs in for each "
      "account\n";
  const RunOptions imap = with(migration(), [](RunOptions& o) { o.targetType = "imap"; });
  expectErrors({
      {"unknown type", with(migration(), [](RunOptions& o) { o.targetType.clear(); }),
       "Argument error: -targetType takes torvane or imap\n"},
      {"unknown folder kind", with(imap, [](RunOptions& o) { o.nonMailFolders.clear(); }),
       "Argument error: -nonMailFolders takes skip or create\n"},
      {"admin", with(migration(), [](RunOptions& o) { o.admin = "root"; }), needImap},
      {"login form", with(migration(), [](RunOptions& o) { o.loginForm = "USER"; }), needImap},
      {"create", with(migration(), [](RunOptions& o) { o.nonMailFolders = "create"; }), needImap},
      {"folder map", with(printRun(), [](RunOptions& o) { o.folderMapPath = "map"; }), needImap},
      {"imap without admin", imap, needAdmin},
      {"form naming the admin", with(imap, [](RunOptions& o) { o.loginForm = "USER*ADMIN"; }),
       needAdmin},
      {"form without the admin", with(imap, [](RunOptions& o) { o.loginForm = "USER"; }), ""},
      {"imap with admin", with(imap, [](RunOptions& o) { o.admin = "root"; }), ""},
      {"imap print run", with(printRun(), [](RunOptions& o) { o.targetType = "imap"; }), ""},
      {"imap everything",
       with(imap,
            [](RunOptions& o) {
              o.admin = "root"; o.nonMailFolders = "create"; o.folderMapPath = "map";
            }),
       ""},
  });
}

TEST(ArgumentChecksTest, FirstFailingCheckIsTheOneSaid) {
  expectErrors({
      {"missing before timeout",
       with(printRun(), [](RunOptions& o) { o.storePath.clear(); o.timeoutSeconds = 0; }),
       "Argument error: missing required command line arguments, for help use \"-help\"\n"},
      {"user before retry",
       with(printRun(), [](RunOptions& o) { o.userMask = "u"; o.retries = -1; }),
       "Argument error: unknown domain for user <u>\n"},
      {"shard before password",
       with(migration(), [](RunOptions& o) { o.shards = -1; o.passwordFile = "f"; }),
       "Argument error: -shard takes K/N, whole numbers with 1 <= K <= N\n"},
      {"tls before target type",
       with(migration(), [](RunOptions& o) { o.insecure = true; o.targetType.clear(); }),
       "Argument error: -caFile and -insecure need -tls or -starttls\n"},
      {"target type before timeout",
       with(migration(), [](RunOptions& o) { o.admin = "a"; o.timeoutSeconds = 0; }),
       "Argument error: -admin, -loginForm, -nonMailFolders and -folderMap need -targetType "
       "imap\n"},
  });
}

TEST(ArgumentChecksTest, ParsedCommandLinesReachTheChecks) {
  const auto errorOf = [](std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "lodemig");
    return argumentError(parseCommandLine(static_cast<int>(arguments.size()), arguments.data()));
  };
  EXPECT_EQ(errorOf({"-path", "/s", "-retry", "101"}),
            "Argument error: -retry takes a number from 0 to 100\n");
  EXPECT_EQ(errorOf({"-path", "/s", "-window", "0"}),
            "Argument error: -window takes a number from 1 to 64\n");
  EXPECT_EQ(errorOf({"-path", "/s", "-shard", "3/2"}),
            "Argument error: -shard takes K/N, whole numbers with 1 <= K <= N\n");
  EXPECT_EQ(errorOf({"-path", "/s", "-targetType", "exchange"}),
            "Argument error: -targetType takes torvane or imap\n");
  EXPECT_EQ(errorOf({"-path", "/s", "-targetType", "IMAP", "-nonMailFolders", "Create"}), "");
}

}  // namespace
}  // namespace lodemig
