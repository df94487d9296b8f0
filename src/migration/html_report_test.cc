#include "migration/html_report.h"

#include <gtest/gtest.h>

#include "migration/html_report_collector.h"

namespace lodemig {
namespace {

class HtmlReportTest : public ::testing::Test {
 protected:
  static ReportRow row(const std::string& account, const std::string& folder, Verdict verdict,
                       std::int64_t sent = 3) {
    ReportRow row;
    row.account = account;
    row.domain = account.substr(account.find('@') + 1);
    row.folder = folder;
    row.storeMessages = sent;
    row.sent = sent;
    row.storeBytes = static_cast<std::uint64_t>(sent) * 100;
    row.verdict = verdict;
    row.error = verdict == Verdict::Ok ? "" : "the target refused it";
    return row;
  }

  // The text between `open` and the next '<' after it.
  static std::string textAfter(const std::string& page, const std::string& open) {
    const std::size_t at = page.find(open);
    if (at == std::string::npos) {
      return "<missing>";
    }
    const std::size_t start = at + open.size();
    return page.substr(start, page.find('<', start) - start);
  }
};

TEST_F(HtmlReportTest, EscapesEveryCharacterThatCouldOpenMarkup) {
  EXPECT_EQ(htmlEscape("<script>alert('x&y')</script> \"q\""),
            "&lt;script&gt;alert(&#39;x&amp;y&#39;)&lt;/script&gt; &quot;q&quot;");
  EXPECT_EQ(htmlEscape("Entwürfe/Ordner"), "Entwürfe/Ordner");
}

TEST_F(HtmlReportTest, HostileNamesStayTextOnThePage) {
  HtmlReportContent content;
  content.title = "run <b>";
  content.add(row("x<img src=y>@evil.example", "<script>alert(1)</script>", Verdict::Failed));
  const std::string page = htmlReportPage(content);
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(page.find("<title>run &lt;b&gt;</title>"), std::string::npos);
}

TEST_F(HtmlReportTest, ResultAndTotalsComeFirstThenProblemsDomainsAndChart) {
  HtmlReportContent content;
  content.result = "Result: migration failed";
  content.totals.sent = 1234;
  content.totals.foldersNotOk = 1;
  content.totals.bytes = 99999;
  content.add(row("ann@a.example", "INBOX", Verdict::Ok));
  content.add(row("bob@b.example", "Sent", Verdict::Missing));
  const std::string page = htmlReportPage(content);
  EXPECT_EQ(textAfter(page, "id=\"sent\">"), "1234");
  EXPECT_EQ(textAfter(page, "id=\"bytes\">"), "99999");
  EXPECT_EQ(textAfter(page, "id=\"result\">"), "Result: migration failed");
  EXPECT_NE(page.find("class=\"result bad\""), std::string::npos);
  const std::size_t totals = page.find("id=\"sent\"");
  const std::size_t problems = page.find("id=\"not-ok\"");
  const std::size_t domains = page.find("id=\"domains\"");
  const std::size_t chart = page.find("id=\"rate\"");
  EXPECT_LT(totals, problems);
  EXPECT_LT(problems, domains);
  EXPECT_LT(domains, chart);
  // Only the differing folder is listed, under the problems.
  EXPECT_EQ(page.find("ann@a.example", problems), page.find("ann@a.example", domains));
  EXPECT_LT(page.find("bob@b.example", problems), domains);
  EXPECT_NE(page.find("verdict-missing\">missing"), std::string::npos);
  // Nothing is fetched from elsewhere.
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("src="), std::string::npos);
  EXPECT_EQ(page.find("href="), std::string::npos);
}

TEST_F(HtmlReportTest, DomainsSumTheirRowsAndCountAccountsOnce) {
  HtmlReportContent content;
  content.add(row("ann@a.example", "INBOX", Verdict::Ok, 2));
  content.add(row("ann@a.example", "Sent", Verdict::Failed, 5));
  content.add(row("cy@a.example", "", Verdict::Failed, 0));
  content.add(row("bob@b.example", "INBOX", Verdict::Skipped, 1));
  ASSERT_EQ(content.domains.size(), 2u);
  const DomainSummary& a = content.domains["a.example"];
  EXPECT_EQ(a.accounts.size(), 2u);
  EXPECT_EQ(a.accountsNotOk.size(), 2u);
  EXPECT_EQ(a.folders, 2);  // the account's own row is no folder
  EXPECT_EQ(a.foldersNotOk, 1);
  EXPECT_EQ(a.sent, 7);
  EXPECT_EQ(a.bytes, 700u);
  EXPECT_EQ(content.domains["b.example"].accountsNotOk.size(), 0u);
  EXPECT_EQ(content.notOk.size(), 2u);
}

TEST_F(HtmlReportTest, RatesAreTheSlopeOfTheCumulativeSamples) {
  // 10 messages a second for 10 s, then nothing for 10 s.
  const std::vector<MessageSample> samples = {{100, 0}, {110, 100}, {120, 100}};
  const std::vector<RatePoint> points = ratePoints(samples, 4);
  ASSERT_EQ(points.size(), 4u);
  EXPECT_DOUBLE_EQ(points[0].seconds, 5);
  EXPECT_DOUBLE_EQ(points[0].rate, 10);
  EXPECT_DOUBLE_EQ(points[1].rate, 10);
  EXPECT_DOUBLE_EQ(points[2].rate, 0);
  EXPECT_DOUBLE_EQ(points[3].seconds, 20);
  // Never more points than asked for, nor shorter than a second.
  EXPECT_EQ(ratePoints({{0, 0}, {100000, 5}}, 300).size(), 300u);
  EXPECT_EQ(ratePoints({{0, 0}, {3.5, 5}}, 300).size(), 3u);
  EXPECT_TRUE(ratePoints({{7, 0}, {7, 5}}, 300).empty());
  EXPECT_TRUE(ratePoints({{7, 0}}, 300).empty());
}

TEST_F(HtmlReportTest, ChartIsInlineSvgWithItsPeak) {
  const std::string svg = rateChartSvg(ratePoints({{0, 0}, {10, 100}, {20, 300}}, 300));
  EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
  EXPECT_NE(svg.find("peak 20.0 messages/s over 0:20"), std::string::npos);
  EXPECT_NE(svg.find("<polyline"), std::string::npos);
  EXPECT_EQ(rateChartSvg({}).rfind("<p>", 0), 0u);
}

TEST_F(HtmlReportTest, CollectorSamplesAtMostOnceASecondAndKeepsItsListBounded) {
  HtmlReportCollector collector(1000);
  for (int i = 0; i < 10; ++i) {
    collector.messageStored(10);
  }
  collector.sampleAt(1000.5, false);  // too soon after the start
  collector.sampleAt(1001, false);
  for (int i = 0; i < 5; ++i) {
    collector.messageStored(10);
  }
  const HtmlReportContent content = collector.finish(1003);
  ASSERT_EQ(content.samples.size(), 3u);
  EXPECT_EQ(content.samples[1].messages, 10);
  EXPECT_EQ(content.samples[2].messages, 15);
  EXPECT_DOUBLE_EQ(content.end, 1003);

  HtmlReportCollector busy(0);
  const int seconds = 3 * static_cast<int>(HtmlReportCollector::kMaxSamples);
  for (int i = 1; i <= seconds; ++i) {
    busy.sampleAt(i, false);
  }
  const HtmlReportContent thinned = busy.finish(1e6);
  ASSERT_GE(thinned.samples.size(), 3u);
  EXPECT_LE(thinned.samples.size(), HtmlReportCollector::kMaxSamples + 1);
  EXPECT_DOUBLE_EQ(thinned.samples.front().time, 0);
  EXPECT_DOUBLE_EQ(thinned.samples[thinned.samples.size() - 2].time, seconds);
  EXPECT_DOUBLE_EQ(thinned.samples.back().time, 1e6);
  for (std::size_t i = 1; i < thinned.samples.size(); ++i) {
    EXPECT_LE(thinned.samples[i - 1].time, thinned.samples[i].time);
  }
}

TEST_F(HtmlReportTest, ManyAccountsGiveOnePageRowPerDomainAndEveryFailedOne) {
  HtmlReportContent content;
  for (int i = 0; i < 10000; ++i) {
    content.add(row("u" + std::to_string(i) + "@d" + std::to_string(i % 10) + ".example", "INBOX",
                    i % 1000 == 0 ? Verdict::Failed : Verdict::Ok));
  }
  const std::string page = htmlReportPage(content);
  EXPECT_EQ(content.domains.size(), 10u);
  EXPECT_NE(page.find("Failed and differing accounts and folders (10)"), std::string::npos);
  EXPECT_NE(page.find("u9000@d0.example"), std::string::npos);
  EXPECT_EQ(page.find("u9001@d1.example"), std::string::npos);
  EXPECT_LT(page.size(), 64u * 1024);
}

}  // namespace
}  // namespace lodemig
