#include "driver/run_options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "utils/sockets.h"

namespace lodemig {
namespace {

RunOptions parse(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "lodemig");
  return parseCommandLine(static_cast<int>(arguments.size()), arguments.data());
}

TEST(RunOptionsTest, ValueOptionsMatchInAnyCaseAndTakeTheNextArgument) {
  RunOptions options = parse({"-PATH", "/store", "-Domain", "ex*", "-primarydomain", "example.com",
                              "-USER", "j?", "-password", "pw", "-SetPass", "sp", "-forceSETpass",
                              "fp", "-server", "host", "-Port", "1143"});
  EXPECT_EQ(options.storePath, "/store");
  EXPECT_EQ(options.domainMask, "ex*");
  EXPECT_EQ(options.primaryDomain, "example.com");
  EXPECT_EQ(options.userMask, "j?");
  EXPECT_EQ(options.masterPassword, "pw");
  EXPECT_EQ(options.setPassword, "sp");
  EXPECT_EQ(options.forceSetPassword, "fp");
  EXPECT_EQ(options.server, "host");
  EXPECT_EQ(options.port, 1143);
}

TEST(RunOptionsTest, FlagsMatchInAnyCase) {
  RunOptions options = parse({"-MIGRATE", "-Force", "-quiet", "-disablecrlffixing", "-?"});
  EXPECT_TRUE(options.migrate);
  EXPECT_TRUE(options.force);
  EXPECT_TRUE(options.quiet);
  EXPECT_FALSE(options.fixCrLf);
  EXPECT_TRUE(options.help);
  EXPECT_TRUE(parse({"-HeLp"}).help);
  EXPECT_TRUE(parse({"-Version"}).version);
  EXPECT_FALSE(parse({"-path", "-version"}).version);
}

TEST(RunOptionsTest, ValueIsTakenEvenWhenItLooksLikeAnOption) {
  RunOptions options = parse({"-password", "-migrate", "-path", "-help"});
  EXPECT_EQ(options.masterPassword, "-migrate");
  EXPECT_FALSE(options.migrate);
  EXPECT_EQ(options.storePath, "-help");
  EXPECT_FALSE(options.help);
}

TEST(RunOptionsTest, ValueOptionStandingLastIsIgnored) {
  EXPECT_EQ(parse({"-migrate", "-path"}).storePath, "");
  RunOptions options = parse({"-domain", "example.com", "-user"});
  EXPECT_EQ(options.domainMask, "example.com");
  EXPECT_EQ(options.userMask, "");
}

TEST(RunOptionsTest, UnknownArgumentsAreSkipped) {
  RunOptions options = parse({"--migrate", "stray", "-path", "/s", "-x"});
  EXPECT_FALSE(options.migrate);
  EXPECT_EQ(options.storePath, "/s");
}

TEST(RunOptionsTest, RepeatedOptionOverwrites) {
  EXPECT_EQ(parse({"-path", "/a", "-path", "/b"}).storePath, "/b");
}

TEST(RunOptionsTest, PortIsAWholeNumberFromOneTo65535) {
  for (const char* text : {"1", "1143", "65535"}) {
    const RunOptions options = parse({"-port", text});
    EXPECT_EQ(options.port, std::atoi(text)) << text;
    EXPECT_FALSE(options.portRefused) << text;
  }
  for (const char* text : {"0", "65536", "70000", "abc", "", "  25x", "+7", "-5", "0x10"}) {
    EXPECT_TRUE(parse({"-port", text}).portRefused) << "\"" << text << "\"";
  }
}

TEST(RunOptionsTest, ServerMayNameThePortButNeverTwice) {
  RunOptions options = parse({"-server", "127.0.0.1:33713"});
  EXPECT_EQ(options.server, "127.0.0.1");
  EXPECT_EQ(options.port, 33713);
  EXPECT_FALSE(options.portRefused || options.serverPortClash);
  // With -tls a port named with the server is kept, not replaced by 993.
  EXPECT_EQ(connectionSettingsFrom(parse({"-tls", "-server", "h:1993"})).port, 1993);
  EXPECT_TRUE(parse({"-server", "h:1993", "-port", "143"}).serverPortClash);
  EXPECT_TRUE(parse({"-port", "143", "-server", "h:1993"}).serverPortClash);
  EXPECT_TRUE(parse({"-server", "h:x"}).portRefused);
  EXPECT_EQ(parse({"-server", "h"}).server, "h");
}

TEST(RunOptionsTest, FirstUnknownArgumentIsKept) {
  EXPECT_EQ(parse({"-path", "/s"}).unknownArgument, "");
  EXPECT_EQ(parse({"-jurnal", "j", "-foo"}).unknownArgument, "-jurnal");
  EXPECT_EQ(parse({"-path", "/s", "word"}).unknownArgument, "word");
  // A value option given last lacks its value; it is not unknown.
  EXPECT_EQ(parse({"-migrate", "-path"}).unknownArgument, "");
  // The usual spellings of help and version are taken as such.
  EXPECT_TRUE(parse({"--help"}).help && parse({"-h"}).help && parse({"-H"}).help);
  EXPECT_TRUE(parse({"--version"}).version);
  EXPECT_EQ(parse({"--help", "--version"}).unknownArgument, "");
}

TEST(RunOptionsTest, TimeoutIsWholeSecondsWithinBounds) {
  EXPECT_EQ(parse({"-path", "/a"}).timeoutSeconds, 180);
  const std::pair<const char*, int> cases[] = {
      {"1", 1},  {"86400", 86400}, {"0", 0},  {"86401", 0}, {"", 0},
      {"-5", 0}, {" 5", 0},        {"5s", 0}, {"07", 7},    {"99999999999999999999", 0}};
  for (const auto& [text, seconds] : cases) {
    EXPECT_EQ(parse({"-Timeout", text}).timeoutSeconds, seconds) << "\"" << text << "\"";
  }
}

TEST(RunOptionsTest, TlsModeAndItsDefaultPort) {
  const auto connection = [](std::vector<const char*> arguments) {
    return connectionSettingsFrom(parse(std::move(arguments)));
  };
  EXPECT_EQ(connection({}).tls, TlsMode::None);
  EXPECT_EQ(connection({}).port, 143);
  EXPECT_EQ(connection({"-Tls"}).tls, TlsMode::Implicit);
  EXPECT_EQ(connection({"-tls"}).port, 993);
  EXPECT_EQ(connection({"-tls", "-port", "1993"}).port, 1993);
  EXPECT_EQ(connection({"-STARTTLS"}).tls, TlsMode::StartTls);
  EXPECT_EQ(connection({"-starttls"}).port, 143);
  const RunOptions options = parse({"-CAFILE", "ca.pem", "-Insecure", "-passwordfile", "pw"});
  EXPECT_EQ(options.caFile, "ca.pem");
  EXPECT_TRUE(options.insecure);
  EXPECT_EQ(options.passwordFile, "pw");
}

TEST(RunOptionsTest, SettingsWidenEmptyMasksAndNameThePrimaryDomain) {
  const MigrationSettings settings = migrationSettingsFrom(parse({"-path", "/s"}));
  EXPECT_EQ(settings.domainMask, "*");
  EXPECT_EQ(settings.userMask, "*");
  EXPECT_EQ(settings.primaryDomain, ostrel::utils::localHostName());
  EXPECT_FALSE(settings.primaryDomain.empty());
  const MigrationSettings given =
      migrationSettingsFrom(parse({"-domain", "ex*", "-user", "j?", "-primaryDomain", "p.org"}));
  EXPECT_EQ(given.domainMask, "ex*");
  EXPECT_EQ(given.userMask, "j?");
  EXPECT_EQ(given.primaryDomain, "p.org");
}

TEST(RunOptionsTest, PresetPasswordsNeedAUserMask) {
  const MigrationSettings everyone =
      migrationSettingsFrom(parse({"-domain", "d", "-setPass", "sp", "-forceSetPass", "fp"}));
  EXPECT_EQ(everyone.setPassword, "");
  EXPECT_EQ(everyone.forceSetPassword, "");
  const MigrationSettings named = migrationSettingsFrom(
      parse({"-domain", "d", "-user", "u", "-setPass", "sp", "-forceSetPass", "fp"}));
  EXPECT_EQ(named.setPassword, "sp");
  EXPECT_EQ(named.forceSetPassword, "fp");
}

TEST(RunOptionsTest, EveryOptionReachesItsSetting) {
  const RunOptions options = parse({"-path",
                                    "/s",
                                    "-migrate",
                                    "-force",
                                    "-quiet",
                                    "-disableCrLfFixing",
                                    "-journal",
                                    "j",
                                    "-retry",
                                    "3",
                                    "-report",
                                    "r.csv",
                                    "-window",
                                    "8",
                                    "-jobs",
                                    "4",
                                    "-shard",
                                    "2/5",
                                    "-targetType",
                                    "imap",
                                    "-nonMailFolders",
                                    "create",
                                    "-folderMap",
                                    "m",
                                    "-admin",
                                    "root",
                                    "-loginForm",
                                    "USER*ADMIN",
                                    "-password",
                                    "pw",
                                    "-timeout",
                                    "30",
                                    "-server",
                                    "h",
                                    "-starttls",
                                    "-retarget",
                                    "-unlistedFolders",
                                    "MIGRATE"});
  const MigrationSettings settings = migrationSettingsFrom(options);
  EXPECT_EQ(settings.storePath, "/s");
  EXPECT_TRUE(settings.migrate && settings.force && settings.quiet);
  EXPECT_FALSE(settings.fixCrLf || settings.check || settings.verify);
  EXPECT_EQ(settings.journalPath, "j");
  EXPECT_TRUE(settings.retarget);
  EXPECT_EQ(settings.retries, 3);
  EXPECT_EQ(settings.reportPath, "r.csv");
  EXPECT_EQ(settings.jobs, 4);
  EXPECT_EQ(settings.shard, 2);
  EXPECT_EQ(settings.shards, 5);
  EXPECT_TRUE(settings.standardTarget && settings.createNonMailFolders);
  EXPECT_EQ(settings.folderMapPath, "m");
  EXPECT_TRUE(settings.migrateUnlisted);
  EXPECT_FALSE(migrationSettingsFrom(parse({"-path", "/s"})).migrateUnlisted);
  const ConnectionSettings connection = connectionSettingsFrom(options);
  EXPECT_EQ(connection.host, "h");
  EXPECT_EQ(connection.masterPassword, "pw");
  EXPECT_EQ(connection.timeoutSeconds, 30u);
  EXPECT_TRUE(connection.standardServer);
  EXPECT_EQ(connection.appendWindow, 8u);
  EXPECT_EQ(connection.admin, "root");
  EXPECT_EQ(connection.loginForm, "USER*ADMIN");
  EXPECT_EQ(connection.tlsContext, nullptr);
  const MigrationSettings audits = migrationSettingsFrom(parse({"-check", "-verify"}));
  EXPECT_TRUE(audits.check && audits.verify);
}

TEST(RunOptionsTest, TheWindowIsOneUnlessAskedFor) {
  EXPECT_EQ(connectionSettingsFrom(parse({})).appendWindow, 1u);
  EXPECT_EQ(connectionSettingsFrom(parse({"-window", "1"})).appendWindow, 1u);
  EXPECT_EQ(connectionSettingsFrom(parse({"-window", "2"})).appendWindow, 2u);
  // A value refused by the argument checks never becomes a window.
  EXPECT_EQ(connectionSettingsFrom(parse({"-window", "0"})).appendWindow, 1u);
}

TEST(RunOptionsTest, AStandardServerHasItsOwnDefaultWindowAndAGivenOneIsKept) {
  const auto window = [](std::vector<const char*> arguments) {
    arguments.insert(arguments.end(), {"-targetType", "imap"});
    return connectionSettingsFrom(parse(arguments)).appendWindow;
  };
  EXPECT_EQ(window({}), static_cast<std::size_t>(RunOptions::kDefaultImapWindow));
  EXPECT_GT(RunOptions::kDefaultImapWindow, 1);
  EXPECT_EQ(window({"-window", "1"}), 1u);
  EXPECT_EQ(window({"-window", "3"}), 3u);
  EXPECT_EQ(window({"-window", "0"}), 1u);
  EXPECT_EQ(connectionSettingsFrom(parse({"-targetType", "torvane"})).appendWindow, 1u);
}

TEST(RunOptionsTest, VersionHasNumbersTagAndBuild) {
  EXPECT_STREQ(versionString(), "1.0.0-R1-1");
}

}  // namespace
}  // namespace lodemig

namespace lodemig {
namespace {

TEST(DavOptionsTest, SettingsCarryTheServerItsLoginAndTls) {
  const MigrationSettings plain = migrationSettingsFrom(
      parse({"-path", "/s", "-targetType", "imap", "-admin", "root", "-password", "pw",
             "-davserver", "https://d/dav", "-caFile", "ca.pem"}));
  EXPECT_EQ(plain.dav.url, "https://d/dav");
  EXPECT_EQ(plain.dav.caFile, "ca.pem");
  EXPECT_FALSE(plain.dav.insecure);
  // Without a login form each account logs in as itself: no shared password.
  EXPECT_EQ(plain.dav.loginForm, "");
  EXPECT_EQ(plain.dav.adminPassword, "");
  EXPECT_EQ(plain.davExportPath, "");
  EXPECT_TRUE(plain.davOn());
  const MigrationSettings form = migrationSettingsFrom(
      parse({"-path", "/s", "-targetType", "imap", "-admin", "root", "-password", "pw",
             "-davServer", "http://d", "-DavLoginForm", "USER*ADMIN", "-davExport", "out",
             "-insecure", "-timeout", "20"}));
  EXPECT_EQ(form.dav.loginForm, "USER*ADMIN");
  EXPECT_EQ(form.dav.admin, "root");
  EXPECT_EQ(form.dav.adminPassword, "pw");
  EXPECT_TRUE(form.dav.insecure);
  EXPECT_EQ(form.dav.timeoutSeconds, 20);
  EXPECT_EQ(form.davExportPath, "out");
  const MigrationSettings none =
      migrationSettingsFrom(parse({"-path", "/s", "-targetType", "imap"}));
  EXPECT_FALSE(none.davOn());
  EXPECT_EQ(none.dav.url, "");
  // A private target keeps every folder itself.
  EXPECT_FALSE(migrationSettingsFrom(parse({"-path", "/s", "-davExport", "out"})).davOn());
}

TEST(DavOptionsTest, UsageNamesTheThreeOptionsBeforeVersion) {
  std::ostringstream out;
  printUsage(out);
  const std::string text = out.str();
  const std::size_t merge = text.find("-mergeReports");
  const std::size_t server = text.find("-davServer");
  const std::size_t form = text.find("-davLoginForm");
  const std::size_t exported = text.find("-davExport");
  const std::size_t version = text.find("-version");
  ASSERT_NE(server, std::string::npos);
  EXPECT_LT(merge, server);
  EXPECT_LT(server, form);
  EXPECT_LT(form, exported);
  EXPECT_LT(exported, version);
}

}  // namespace
}  // namespace lodemig
