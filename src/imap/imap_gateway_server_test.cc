#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imap/imap_gateway.h"
#include "tests/scripted_peer.h"

namespace lodemig {
namespace {

using testing::ScriptedPeer;

// A connection the peer greets and lets in with LOGIN, tagged V0.
class GatewaySubscriptionTest : public ::testing::Test {
 protected:
  GatewaySubscriptionTest() {
    peer_.accept().send("* OK ready\r\n").expect("V0 LOGIN \"ann\" \"pw\"").send("V0 OK\r\n");
  }
  void connect() {
    peer_.start();
    ConnectionSettings settings;
    settings.host = "127.0.0.1";
    settings.port = peer_.port();
    settings.timeoutSeconds = 2;
    ASSERT_EQ(gateway_.connect(settings, "ann", "pw", false), kGatewayOk);
  }
  void finish() {
    gateway_.disconnect(false);
    EXPECT_TRUE(peer_.finish()) << peer_.failure();
  }

  ScriptedPeer peer_;
  ImapGateway gateway_;
};

TEST_F(GatewaySubscriptionTest, SubscribeGoesWithTheSelectAndEachAnswerIsItsOwn) {
  // Both lines are in before the peer answers either.
  peer_.expect("V1 SELECT \"A.b\"")
      .expect("V2 SUBSCRIBE \"A.b\"")
      .send("* 3 EXISTS\r\nV1 OK [READ-WRITE] in\r\nV2 NO [CANNOT] not here\r\n");
  peer_.expect("V3 SELECT \"New\"")
      .expect("V4 SUBSCRIBE \"New\"")
      .send("V3 NO [NONEXISTENT] missing\r\nV4 OK\r\n");
  connect();
  std::int64_t count = 0;
  GatewayResult subscribed = -1;
  EXPECT_EQ(gateway_.selectAndSubscribe("A.b", &count, nullptr, &subscribed), kGatewayOk);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(subscribed, kGatewaySubscribeFailed);
  EXPECT_EQ(gateway_.client().failureCause(), "NO [CANNOT] not here");
  EXPECT_EQ(gateway_.selectAndSubscribe("New", &count, nullptr, &subscribed), kGatewaySelectFailed);
  EXPECT_EQ(count, -1);
  EXPECT_EQ(subscribed, kGatewayOk);
  finish();
}

TEST_F(GatewaySubscriptionTest, ConnectionLostBeforeTheSubscribeIsAnsweredIsAProblem) {
  peer_.expect("V1 SELECT \"A\"").expect("V2 SUBSCRIBE \"A\"").send("V1 OK\r\n").close();
  connect();
  std::int64_t count = 0;
  GatewayResult subscribed = -1;
  EXPECT_EQ(gateway_.selectAndSubscribe("A", &count, nullptr, &subscribed), kGatewayOk);
  EXPECT_EQ(subscribed, kGatewayConnectionProblem);
  finish();
}

TEST_F(GatewaySubscriptionTest, NothingGoesWithoutAConnection) {
  ImapGateway idle;
  GatewayResult subscribed = -1;
  std::vector<std::string> names = {"left over"};
  EXPECT_EQ(idle.selectAndSubscribe("A", nullptr, nullptr, &subscribed), kGatewayNotConnected);
  EXPECT_EQ(subscribed, kGatewayNotConnected);
  EXPECT_EQ(idle.listSubscribed(names), kGatewayNotConnected);
  EXPECT_TRUE(names.empty());
}

TEST_F(GatewaySubscriptionTest, SubscribedNamesAreReadInEveryFormButLevelsAbove) {
  peer_.expect("V1 LSUB \"\" \"*\"")
      .send(
          "* LSUB () \".\" INBOX\r\n"
          "* LSUB (\\HasNoChildren) \".\" \"Sent Items\"\r\n"
          "* lsub (\\Noselect) \".\" \"Archive\"\r\n"
          "* 4 EXISTS\r\n"
          "* LSUB () \".\" {12}\r\nArchive.2007\r\n"
          "* LSUB () \".\" \"Say \\\"hi\\\"\"\r\n"
          "V1 OK done\r\n");
  peer_.expect("V2 LSUB \"\" \"*\"").send("V2 NO [SERVERBUG] broken\r\n");
  peer_.expect("V3 LSUB \"\" \"*\"").send("* LSUB () \".\" \"Trash\"\r\n* LSUB (\r\nV3 OK\r\n");
  connect();
  std::vector<std::string> names;
  EXPECT_EQ(gateway_.listSubscribed(names), kGatewayOk);
  EXPECT_EQ(names, (std::vector<std::string>{"INBOX", "Sent Items", "Archive.2007", "Say \"hi\""}));
  EXPECT_EQ(gateway_.listSubscribed(names), kGatewaySubscribeFailed);
  EXPECT_EQ(gateway_.client().failureCause(), "NO [SERVERBUG] broken");
  // A name that cannot be read could be any folder: nothing is taken.
  EXPECT_EQ(gateway_.listSubscribed(names), kGatewaySubscribeFailed);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(gateway_.client().failureCause(), "an LSUB answer cannot be read");
  finish();
}

}  // namespace
}  // namespace lodemig
