#include "target/target_options.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "utils/ql_exception.h"

namespace lodemig::target {
namespace {

TargetOptions parseArgs(std::vector<const char*> args) {
  args.insert(args.begin(), "lodemig-target");
  return parseTargetOptions(static_cast<int>(args.size()), args.data());
}

TEST(TargetOptionsTest, Defaults) {
  const TargetOptions options = parseArgs({});
  EXPECT_EQ("127.0.0.1", options.listenAddress);
  EXPECT_EQ(143, options.port);
  EXPECT_EQ("master", options.masterPassword);
  EXPECT_EQ("6.4.1", options.version);
  EXPECT_TRUE(options.storeDirectory.empty());
  EXPECT_FALSE(options.appendLimit.has_value());
  EXPECT_TRUE(options.loseAppend.empty() && options.doubleAppend.empty() &&
              options.alterAppend.empty());
  EXPECT_TRUE(options.tlsCertificate.empty() && options.tlsKey.empty());
  EXPECT_FALSE(options.starttls || options.starttlsRefuse || options.noStarttlsCapability);
  EXPECT_FALSE(options.help);
}

TEST(TargetOptionsTest, EveryOption) {
  const TargetOptions options = parseArgs({"--listen",
                                           "0.0.0.0",
                                           "--port=0",
                                           "--master-password",
                                           "pw:x",
                                           "--version",
                                           "6.2.0",
                                           "--account",
                                           "a@x.org:p:w",
                                           "--account=b@y:",
                                           "--store",
                                           "/s",
                                           "--transcript",
                                           "/t",
                                           "--refuse-append",
                                           "3",
                                           "--drop-append",
                                           "4",
                                           "--append-limit=0",
                                           "--lose-append",
                                           "6",
                                           "--double-append=8",
                                           "--alter-append",
                                           "9",
                                           "--alter-append",
                                           "2",
                                           "--bye-at",
                                           "5",
                                           "--bye-at",
                                           "7",
                                           "--refuse-setuser",
                                           "*",
                                           "--delay-ms",
                                           "20",
                                           "--tls-cert=/c.pem",
                                           "--tls-key",
                                           "/k.pem",
                                           "--starttls",
                                           "--starttls-refuse",
                                           "--no-starttls-capability",
                                           "--help"});
  EXPECT_EQ("0.0.0.0", options.listenAddress);
  EXPECT_EQ(0, options.port);
  EXPECT_EQ("pw:x", options.masterPassword);
  EXPECT_EQ("6.2.0", options.version);
  ASSERT_EQ(2u, options.accounts.size());
  EXPECT_EQ("a@x.org", options.accounts[0].address);
  EXPECT_EQ("p:w", options.accounts[0].password);
  EXPECT_EQ("", options.accounts[1].password);
  EXPECT_EQ("/s", options.storeDirectory);
  EXPECT_EQ("/t", options.transcriptDirectory);
  EXPECT_EQ(std::vector<std::uint64_t>{3}, options.refuseAppend);
  EXPECT_EQ(std::vector<std::uint64_t>{4}, options.dropAppend);
  EXPECT_EQ(std::optional<std::uint64_t>{0}, options.appendLimit);
  EXPECT_EQ(std::vector<std::uint64_t>{6}, options.loseAppend);
  EXPECT_EQ(std::vector<std::uint64_t>{8}, options.doubleAppend);
  EXPECT_EQ((std::vector<std::uint64_t>{9, 2}), options.alterAppend);
  EXPECT_EQ((std::vector<std::uint64_t>{5, 7}), options.byeAt);
  EXPECT_EQ(std::vector<std::string>{"*"}, options.refuseSetUser);
  EXPECT_EQ(20u, options.delayMs);
  EXPECT_EQ("/c.pem", options.tlsCertificate);
  EXPECT_EQ("/k.pem", options.tlsKey);
  EXPECT_TRUE(options.starttls && options.starttlsRefuse && options.noStarttlsCapability);
  EXPECT_TRUE(options.help);
}

// The folder may hold ':' and digits; a last number is the count, two are
// the count and the append that brings the delivery.
TEST(TargetOptionsTest, DeliveriesWithAndWithoutTheirMoment) {
  const TargetOptions options = parseArgs(
      {"--deliver", "a@x:INBOX:2:12", "--deliver", "b@y:Archiv:2007:3", "--deliver", "c@z:F:1"});
  ASSERT_EQ(options.deliveries.size(), 3u);
  EXPECT_EQ(options.deliveries[0].address, "a@x");
  EXPECT_EQ(options.deliveries[0].folder, "INBOX");
  EXPECT_EQ(options.deliveries[0].count, 2u);
  EXPECT_EQ(options.deliveries[0].at, 12u);
  EXPECT_EQ(options.deliveries[1].folder, "Archiv");
  EXPECT_EQ(options.deliveries[1].count, 2007u);
  EXPECT_EQ(options.deliveries[1].at, 3u);
  EXPECT_EQ(options.deliveries[2].folder, "F");
  EXPECT_EQ(options.deliveries[2].count, 1u);
  EXPECT_EQ(options.deliveries[2].at, 0u);
}

// Alone, --version asks for the program's version; with a value it is still
// the X-CHECKVERSION answer the tests set.
TEST(TargetOptionsTest, VersionAloneOrWithAValue) {
  const struct {
    std::vector<const char*> args;
    bool printVersion;
    const char* version;
  } cases[] = {
      {{"--version"}, true, "6.4.1"},
      {{"--port", "0", "--version"}, true, "6.4.1"},
      {{"--version", "--port", "0"}, true, "6.4.1"},
      {{"--version", "6.2.0", "--port", "0"}, false, "6.2.0"},
      {{"--version=6.3.0"}, false, "6.3.0"},
      {{"--version="}, false, ""},
  };
  for (const auto& c : cases) {
    const TargetOptions options = parseArgs(c.args);
    EXPECT_EQ(c.printVersion, options.printVersion) << ::testing::PrintToString(c.args);
    EXPECT_EQ(c.version, options.version);
  }
}

TEST(TargetOptionsTest, Errors) {
  const struct {
    std::vector<const char*> args;
    const char* message;
  } cases[] = {
      {{"--bogus"}, "unknown option: --bogus"},
      {{"port"}, "unknown option: port"},
      {{"--port"}, "--port needs a value"},
      {{"--port", "65536"}, "--port needs a number from 0 to 65535, not \"65536\""},
      {{"--port", "-1"}, "--port needs a number from 0 to 65535, not \"-1\""},
      {{"--port="}, "--port needs a number from 0 to 65535, not \"\""},
      {{"--bye-at", "0"}, "--bye-at counts from 1"},
      {{"--lose-append", "0"}, "--lose-append counts from 1"},
      {{"--unavailable-every", "0"}, "--unavailable-every counts from 1"},
      {{"--double-append=0"}, "--double-append counts from 1"},
      {{"--alter-append"}, "--alter-append needs a value"},
      {{"--append-limit", "1k"},
       "--append-limit needs a number from 0 to 9223372036854775807, not \"1k\""},
      {{"--refuse-append", "x"},
       "--refuse-append needs a number from 0 to 9223372036854775807, not \"x\""},
      {{"--account", "nobody"}, "--account needs user@domain:password, not \"nobody\""},
      {{"--account", "@x:p"}, "--account needs user@domain:password, not \"@x:p\""},
      {{"--account", "a@:p"}, "--account needs user@domain:password, not \"a@:p\""},
      {{"--tls-cert", "c.pem"}, "--tls-cert and --tls-key go together"},
      {{"--tls-key", "k.pem"}, "--tls-cert and --tls-key go together"},
      {{"--tls-cert=", "--tls-key=k.pem"}, "--tls-cert needs a file name"},
      {{"--tls-cert"}, "--tls-cert needs a value"},
      {{"--starttls"}, "--starttls needs --tls-cert and --tls-key"},
      {{"--tls-cert", "c", "--tls-key", "k", "--starttls-refuse"},
       "--starttls-refuse needs --starttls"},
      {{"--tls-cert", "c", "--tls-key", "k", "--no-starttls-capability"},
       "--no-starttls-capability needs --starttls"},
  };
  for (const auto& c : cases) {
    try {
      parseArgs(c.args);
      ADD_FAILURE() << "accepted: " << c.message;
    } catch (const QLException& e) {
      EXPECT_EQ(c.message, std::string(e.what()));
    }
  }
}

}  // namespace
}  // namespace lodemig::target
