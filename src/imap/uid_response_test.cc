#include "imap/uid_response.h"

#include <gtest/gtest.h>

namespace lodemig {
namespace {

TEST(UidResponseTest, AppendUidIsReadOnlyFromItsCode) {
  std::uint64_t validity = 7;
  std::uint64_t uid = 7;
  EXPECT_TRUE(parseAppendUid("V3 OK [APPENDUID 38505 3955] APPEND completed", validity, uid));
  EXPECT_EQ(validity, 38505u);
  EXPECT_EQ(uid, 3955u);
  for (const char* line :
       {"V3 OK APPEND completed", "V3 OK [APPENDUID 1] x", "V3 OK [APPENDUID 0 4]",
        "V3 OK [APPENDUID 1 x]", "V3 OK [APPENDUIDX 1 2]"}) {
    validity = uid = 9;
    EXPECT_FALSE(parseAppendUid(line, validity, uid)) << line;
    EXPECT_EQ(uid, 9u) << line;
  }
}

TEST(UidResponseTest, AppendUidSetGivesOneUidPerMessageInOrder) {
  const struct {
    const char* line;
    std::size_t count;
    std::vector<std::uint64_t> uids;  // empty: refused
  } cases[] = {
      {"V3 OK [APPENDUID 38505 3955:3957] APPEND completed", 3, {3955, 3956, 3957}},
      {"V3 OK [appenduid 9 5,7:8,12] done", 4, {5, 7, 8, 12}},
      {"V3 OK [APPENDUID 9 8:7] done", 2, {7, 8}},
      {"V3 OK [APPENDUID 9 4] done", 1, {4}},
      {"V3 OK [APPENDUID 9 5:7] too few", 4, {}},
      {"V3 OK [APPENDUID 9 5:7] too many", 2, {}},
      {"V3 OK [APPENDUID 9 1:4294967295] far too many", 3, {}},
      {"V3 OK [APPENDUID 9 5,,6] empty", 2, {}},
      {"V3 OK [APPENDUID 9 0:1] zero", 2, {}},
      {"V3 OK [APPENDUID 0 5:6] no validity", 2, {}},
      {"V3 OK [APPENDUID 9 5:x] text", 2, {}},
      {"V3 OK [APPENDUID 9 5:6 no end", 2, {}},
      {"V3 OK APPEND completed", 2, {}},
      {"V3 OK [APPENDUID 9 5] none wanted", 0, {}},
  };
  for (const auto& c : cases) {
    std::uint64_t validity = 1;
    std::vector<std::uint64_t> uids = {99};
    const bool read = parseAppendUidSet(c.line, c.count, validity, uids);
    EXPECT_EQ(read, !c.uids.empty()) << c.line;
    EXPECT_EQ(uids, c.uids.empty() ? std::vector<std::uint64_t>{99} : c.uids) << c.line;
    EXPECT_EQ(validity, c.uids.empty() ? 1u : c.uids[0] == 3955 ? 38505u : 9u) << c.line;
  }
}

TEST(UidResponseTest, SelectAndStatusGiveCountValidityAndNext) {
  FolderUidState selected;
  readSelectResponses(
      {"* 3 EXISTS", "* OK [UIDVALIDITY 17] ok", "* OK [UIDNEXT 42] next", "* 4 exists"}, selected);
  EXPECT_EQ(selected.messages, 4);
  EXPECT_EQ(selected.uidValidity, 17u);
  EXPECT_EQ(selected.uidNext, 42u);
  FolderUidState status;
  EXPECT_TRUE(
      parseStatusResponse("* STATUS \"A (b)\" (MESSAGES 2 UIDNEXT 9 UIDVALIDITY 5)", status));
  EXPECT_EQ(status.messages, 2);
  EXPECT_EQ(status.uidNext, 9u);
  EXPECT_EQ(status.uidValidity, 5u);
  EXPECT_FALSE(parseStatusResponse("* STATUS INBOX (MESSAGES x)", status));
  EXPECT_FALSE(parseStatusResponse("* LIST () \"/\" INBOX", status));
}

TEST(UidResponseTest, FingerprintFromAnyOrderAndEveryPrefixFails) {
  const std::string response =
      "* 2 FETCH (RFC822.SIZE 120 UID 8 INTERNALDATE \" 7-Dec-2026 10:00:00 +0000\" "
      "BODY[HEADER.FIELDS (MESSAGE-ID)] {31}\r\nMessage-ID:\r\n <a@b.example>\r\n\r\n)";
  MessageFingerprint fingerprint;
  ASSERT_TRUE(parseFetchFingerprint(response, fingerprint));
  EXPECT_EQ(fingerprint.uid, 8u);
  EXPECT_EQ(fingerprint.size, 120u);
  EXPECT_EQ(fingerprint.date, 1796637600);
  EXPECT_EQ(fingerprint.messageId, "<a@b.example>");
  for (std::size_t length = 0; length < response.size(); ++length) {
    MessageFingerprint cut;
    EXPECT_FALSE(parseFetchFingerprint(response.substr(0, length), cut)) << length;
  }
  ASSERT_TRUE(parseFetchFingerprint(
      "* 1 FETCH (UID 3 RFC822.SIZE 1 INTERNALDATE \"01-Jan-2000 00:00:00 +0000\" "
      "BODY[HEADER.FIELDS (MESSAGE-ID)] {2}\r\n\r\n FLAGS (\\Seen))",
      fingerprint));
  EXPECT_EQ(fingerprint.messageId, "");
}

TEST(UidResponseTest, UidSetsJoinRuns) {
  EXPECT_EQ(uidSetText({9, 3, 4, 5, 4, 11, 12}), "3:5,9,11:12");
  EXPECT_EQ(uidSetText({}), "");
}

}  // namespace
}  // namespace lodemig
