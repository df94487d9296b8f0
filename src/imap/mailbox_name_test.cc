#include "imap/mailbox_name.h"

#include <gtest/gtest.h>

#include "imap/digest.h"
#include "utils/utf8.h"

namespace lodemig {
namespace {

std::string encoded(std::string_view utf8) {
  std::string out;
  EXPECT_TRUE(encodeModifiedUtf7(utf8, out)) << ::testing::PrintToString(std::string(utf8));
  return out;
}

// The modified base64 run of `utf16be`, written independently of the
// encoder: standard base64 with "," for "/" and the padding dropped.
std::string run(const std::string& utf16be) {
  std::string text = ostrel::crypto::base64Encode(utf16be);
  while (!text.empty() && text.back() == '=') {
    text.pop_back();
  }
  for (char& c : text) {
    c = c == '/' ? ',' : c;
  }
  return "&" + text + "-";
}

struct Pair {
  const char* utf8;
  const char* wire;
};

const Pair kPairs[] = {
    {"", ""},
    {"INBOX", "INBOX"},
    {"~peter/mail/台北/日本語", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
    {"&", "&-"},
    {"A&B ü&", "A&-B &APw-&-"},
    {"日本語&x", "&ZeVnLIqe-&-x"},
    {"Entwürfe", "Entw&APw-rfe"},
    {"Éléments envoyés", "&AMk-l&AOk-ments envoy&AOk-s"},
    {"Отправленные", "&BB4EQgQ,BEAEMAQyBDsENQQ9BD0ESwQ1-"},
    {"Корзина/Удалённые", "&BBoEPgRABDcEOAQ9BDA-/&BCMENAQwBDsEUQQ9BD0ESwQ1-"},
    {"😀", "&2D3eAA-"},
    {"a😀b", "a&2D3eAA-b"},
    {"ü😀ü", "&APzYPd4AAPw-"},
    {"\xef\xbf\xbf", "&,,8-"},
    {"\xf4\x8f\xbf\xbf", "&2,,f,w-"},
    {"\t", "&AAk-"},
    {"é-", "&AOk--"},
};

TEST(MailboxNameTest, EncodesToTheWireForm) {
  for (const Pair& pair : kPairs) {
    EXPECT_EQ(encoded(pair.utf8), pair.wire) << pair.utf8;
  }
}

TEST(MailboxNameTest, DecodesTheWireFormBack) {
  for (const Pair& pair : kPairs) {
    std::string utf8 = "stale";
    ASSERT_TRUE(decodeModifiedUtf7(pair.wire, utf8)) << pair.wire;
    EXPECT_EQ(utf8, pair.utf8) << pair.wire;
  }
}

TEST(MailboxNameTest, EveryBmpCharacterRoundTripsAloneAndBetweenAscii) {
  // Also covers the shift's bit buffer at every alignment: one unit leaves
  // four bits over, two units two, three none.
  std::string utf8;
  std::string wire;
  std::string back;
  for (char32_t c = 0; c < 0x10000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) {
      continue;
    }
    utf8.clear();
    ostrel::utils::appendUtf8(utf8, c);
    for (const std::string& text : {utf8, "x" + utf8 + utf8 + utf8 + "y"}) {
      ASSERT_TRUE(encodeModifiedUtf7(text, wire)) << c;
      ASSERT_TRUE(decodeModifiedUtf7(wire, back)) << c << " " << wire;
      ASSERT_EQ(back, text) << c << " " << wire;
    }
  }
}

TEST(MailboxNameTest, LongRunsRoundTrip) {
  std::string utf8;
  for (int i = 0; i < 2000; ++i) {
    ostrel::utils::appendUtf8(utf8, i % 3 == 0 ? 0x1F600 + i % 50 : 0x4E00 + i);
  }
  const std::string wire = encoded(utf8);
  EXPECT_EQ(wire.front(), '&');
  EXPECT_EQ(wire.find('-'), wire.size() - 1);
  std::string back;
  ASSERT_TRUE(decodeModifiedUtf7(wire, back));
  EXPECT_EQ(back, utf8);
}

TEST(MailboxNameTest, EncodingRefusesWhatIsNotUtf8) {
  for (const char* bad :
       {"abc\xc3", "a\xed\xa0\x80z", "\xf4\x90\x80\x80", "Gel\xc0\xafscht", "\xe6\x97", "x\x80"}) {
    std::string out;
    EXPECT_FALSE(encodeModifiedUtf7(bad, out)) << ::testing::PrintToString(bad);
  }
}

TEST(MailboxNameTest, DecodingRefusesEverySecondSpelling) {
  // In turn: shifts never ended, the standard alphabet's "/", padding, a
  // blank in a run, lone surrogates, a high one before a non-surrogate and
  // before another high one, "a", "&" and "éa" in base64, leftover bits
  // that are not zero, a whole character of leftover bits, a run right after
  // another, UTF-8 and control characters.
  for (const char* bad : {"&", "&U,BTFw", "&U/BTFw-", "&U,BTFw=-", "&U,B TFw-", "&2D0-", "&3gA-",
                          "&2D0A,A-", "&2D3YPQ-", "&AGE-", "&ACY-", "&AOkAYQ-", "&AOl-", "&AOkA-",
                          "&A-", "&U,BTFw-&ZeVnLIqe-", "Entwürfe", "a\tb", "a\x7f"}) {
    std::string utf8;
    EXPECT_FALSE(decodeModifiedUtf7(bad, utf8)) << bad;
  }
  // Every printable ASCII character written in base64 is refused, alone or
  // after a character that needs it.
  for (char c = 0x20; c < 0x7F; ++c) {
    std::string utf8;
    EXPECT_FALSE(decodeModifiedUtf7(run(std::string{'\0', c}), utf8)) << c;
    EXPECT_FALSE(decodeModifiedUtf7(run(std::string{'\0', '\xe9', '\0', c}), utf8)) << c;
  }
}

TEST(MailboxNameTest, DecodingAcceptsWhatServersSend) {
  struct Case {
    const char* wire;
    std::string_view utf8;
  };
  const Case cases[] = {
      {"&AOk-&-", "é&"},  // "&-" may follow a run
      {"&AOk-a&AOk-", "éaé"},
      {"-&-", "-&"},
      {"&AOk--", "é-"},
      {"&BB4EQgQ,BEA-", "Отпр"},             // "," in the alphabet
      {"&AAA-", std::string_view("\0", 1)},  // a control character
  };
  for (const Case& c : cases) {
    std::string utf8;
    ASSERT_TRUE(decodeModifiedUtf7(c.wire, utf8)) << c.wire;
    EXPECT_EQ(utf8, c.utf8) << c.wire;
  }
  // The helper the refusals are built with agrees with the wire.
  EXPECT_EQ(run(std::string("\x53\xf0\x53\x17")), "&U,BTFw-");
}

}  // namespace
}  // namespace lodemig
