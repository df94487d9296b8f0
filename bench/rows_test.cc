#include "bench/rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <stdexcept>

namespace lodemig::bench {
namespace {

RunResult runWith(double wall, double cpu, long rssKb, uint64_t journalBytes = 0) {
  RunResult run;
  run.client.status = 0;
  run.client.wallSeconds = wall;
  run.client.userSeconds = cpu;
  run.client.maxRssKb = rssKb;
  run.journalBytes = journalBytes;
  return run;
}

TEST(RowRunsTest, KeepsPeaksAndClosesOnFailureOrTimeOut) {
  RowRuns row;
  RunFigures figures;
  figures.cpuPerUnit = 30;
  row.add(runWith(1.0, 0.5, 7000, 100), figures, "");
  row.add(runWith(3.0, 0.7, 7400, 90), figures, "");
  row.add(runWith(2.0, 0.6, 7200, 80), figures, "");
  EXPECT_FALSE(row.closed());
  EXPECT_EQ(row.peakRssKb, 7400);
  EXPECT_EQ(row.journalBytes, 100u);
  const RowFigures summary = rowFiguresOf(standardWorkloads(false)[0], row);
  EXPECT_DOUBLE_EQ(summary.wall, 2.0);
  EXPECT_DOUBLE_EQ(summary.cpuPerUnit, 30);
  EXPECT_DOUBLE_EQ(summary.rssMb, 7400 / 1024.0);

  // A run cut off by the time-out still counts, and ends the row.
  RunResult cut = runWith(120, 9, 8000);
  cut.client.timedOut = true;
  row.add(cut, figures, "TIMED OUT after 120 s with 5 of 9 messages");
  EXPECT_TRUE(row.closed());
  EXPECT_EQ(row.walls.size(), 4u);
  EXPECT_EQ(row.cutOff, "TIMED OUT after 120 s with 5 of 9 messages");

  // A failed run leaves the row without figures to compare with.
  RowRuns failed;
  failed.add(runWith(1.0, 0.5, 7000), figures, "");
  failed.add(runWith(1.0, 0.5, 7000), figures, "content digest differs");
  EXPECT_TRUE(failed.closed());
  EXPECT_EQ(failed.failure, "content digest differs");
  EXPECT_EQ(failed.walls.size(), 1u);
  EXPECT_DOUBLE_EQ(rowFiguresOf(standardWorkloads(false)[0], failed).rssMb, 0);
}

TEST(BaseRowTest, EveryJournalRowFollowsItsRunWithoutAJournal) {
  for (bool quick : {false, true}) {
    for (const Workload& workload : standardWorkloads(quick)) {
      if (workload.delta) {
        continue;  // every row has a journal; DeltaWorkloadTest
      }
      const std::vector<Variant> variants = variantsOf(workload);
      size_t journalRows = 0;
      for (size_t i = 0; i < variants.size(); ++i) {
        const Variant& row = variants[i];
        const size_t base = baseRowOf(variants, i);
        if (!row.journal) {
          continue;
        }
        ++journalRows;
        const Variant& without = variants[base];
        SCOPED_TRACE(workload.name + ": " + row.name);
        EXPECT_FALSE(without.journal);
        EXPECT_EQ(row.versus, Versus::kCpu);
        EXPECT_DOUBLE_EQ(row.limit, 0.10);
        // The same run but for the journal.
        EXPECT_EQ(row.quiet, without.quiet);
        EXPECT_EQ(row.fixCrLf, without.fixCrLf);
        EXPECT_EQ(row.window, without.window);
        EXPECT_EQ(row.jobs, without.jobs);
        EXPECT_EQ(row.report, without.report);
        EXPECT_EQ(row.tls, without.tls);
        // Beside it: right below, or below the other journal row of the same base.
        EXPECT_TRUE(base + 1 == i || (variants[i - 1].journal && variants[i - 1].base == row.base));
      }
      // A print run keeps no journal; every migration has a journal row.
      EXPECT_EQ(journalRows > 0, workload.migrate) << workload.name;
    }
  }
}

TEST(BaseRowTest, NamesMustBeRowsAbove) {
  std::vector<Variant> variants(3);
  variants[0].name = "quiet";
  variants[1].name = "journal";
  variants[1].base = "quiet";
  variants[2].name = "window";
  EXPECT_EQ(baseRowOf(variants, 0), 0u);
  EXPECT_EQ(baseRowOf(variants, 1), 0u);
  EXPECT_EQ(baseRowOf(variants, 2), 0u);
  variants[0].base = "journal";  // below it
  EXPECT_THROW(baseRowOf(variants, 0), std::invalid_argument);
  variants[2].base = "window";  // itself
  EXPECT_THROW(baseRowOf(variants, 2), std::invalid_argument);
  variants[2].base = "missing";
  EXPECT_THROW(baseRowOf(variants, 2), std::invalid_argument);
}

TEST(RerunWorkloadTest, JournalOfTwoHundredThousandMessagesWithRssLimits) {
  const std::vector<Workload> workloads = standardWorkloads(false);
  std::set<int> numbers;
  const Workload* rerun = nullptr;
  for (const Workload& workload : workloads) {
    EXPECT_TRUE(numbers.insert(workload.number).second) << workload.number;
    if (workload.rerun) {
      rerun = &workload;
    }
  }
  ASSERT_NE(rerun, nullptr);
  EXPECT_EQ(rerun->plan.accounts * rerun->plan.messagesPerAccount, 200000);
  const std::vector<Variant> variants = variantsOf(*rerun);
  ASSERT_EQ(variants.size(), 3u);
  EXPECT_FALSE(variants[0].journal);
  EXPECT_TRUE(variants[1].journal && !variants[1].rerun);
  EXPECT_TRUE(variants[2].journal && variants[2].rerun);
  for (size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(baseRowOf(variants, i), 0u);
    EXPECT_DOUBLE_EQ(variants[i].rssLimitMb, 1);
  }
  // Only this workload's rows run twice.
  for (const Workload& workload : workloads) {
    for (const Variant& variant : variantsOf(workload)) {
      EXPECT_EQ(variant.rerun, workload.rerun && variant.name == "quiet, finished journal");
    }
  }
}

TEST(DeltaWorkloadTest, FullPassThenDeltaPassesWithinAShareOfItsWall) {
  for (bool quick : {false, true}) {
    const std::vector<Workload> workloads = standardWorkloads(quick);
    const auto delta = std::find_if(workloads.begin(), workloads.end(),
                                    [](const Workload& workload) { return workload.delta; });
    ASSERT_NE(delta, workloads.end());
    EXPECT_EQ(delta->number, 10);
    EXPECT_EQ(delta->plan.accounts * delta->plan.messagesPerAccount, quick ? 2000 : 20000);
    EXPECT_EQ(delta->plan.layouts, (std::vector<AccountLayout>{AccountLayout::kMailboxFile,
                                                               AccountLayout::kMessageDirectory}));
    const StoreChangePlan changes = changePlanOf(*delta);
    EXPECT_EQ(changes.newPerAccount * 100, quick ? 100 : delta->plan.messagesPerAccount);
    EXPECT_EQ(changes.flagsPerAccount, changes.newPerAccount);

    const std::vector<Variant> variants = variantsOf(*delta);
    ASSERT_EQ(variants.size(), 3u);
    EXPECT_FALSE(variants[0].delta);
    const double limits[] = {0, 0.05, 0.10};
    for (size_t i = 0; i < 3; ++i) {
      SCOPED_TRACE(variants[i].name);
      EXPECT_TRUE(variants[i].journal && variants[i].quiet);
      EXPECT_EQ(variants[i].delta, i > 0);
      EXPECT_EQ(variants[i].changes, i == 2);
      EXPECT_EQ(baseRowOf(variants, i), 0u);
      EXPECT_EQ(variants[i].versus, i > 0 ? Versus::kWallShare : Versus::kNone);
      EXPECT_DOUBLE_EQ(variants[i].limit, limits[i]);
    }
    // Only this workload's rows make delta passes.
    for (const Workload& workload : workloads) {
      for (const Variant& variant : variantsOf(workload)) {
        EXPECT_TRUE(!variant.delta || workload.delta) << workload.name;
      }
    }
  }
}

TEST(VersusCellTest, ComparesWithTheBaseRow) {
  RowFigures base{40, 2.0, 10000, 7.0};
  RowFigures row{43, 1.0, 200000, 7.5};
  Variant variant;
  EXPECT_EQ(versusCell(variant, base, row), "-");
  variant.versus = Versus::kCpu;
  variant.limit = 0.10;
  EXPECT_EQ(versusCell(variant, base, row), "+7.5% CPU (<= 10% ok)");
  row.cpuPerUnit = 45;
  EXPECT_EQ(versusCell(variant, base, row), "+12.5% CPU (<= 10% MISS)");
  row.cpuPerUnit = 30;
  EXPECT_EQ(versusCell(variant, base, row), "-25.0% CPU (<= 10% ok)");
  variant.versus = Versus::kCpuTimes;
  variant.limit = 2;
  EXPECT_EQ(versusCell(variant, base, row), "0.75x CPU (<= 2x ok)");
  variant.versus = Versus::kWall;
  variant.limit = 0.6;
  EXPECT_EQ(versusCell(variant, base, row), "0.50x wall (<= 0.6x ok)");
  variant.versus = Versus::kWallShare;
  variant.limit = 0.05;
  EXPECT_EQ(versusCell(variant, base, RowFigures{43, 0.09, 0, 7}), "4.5% wall (<= 5% ok)");
  EXPECT_EQ(versusCell(variant, base, RowFigures{43, 0.11, 0, 7}), "5.5% wall (<= 5% MISS)");
  variant.versus = Versus::kSpeed;
  variant.limit = 20;
  variant.minRate = 300000;
  EXPECT_EQ(versusCell(variant, base, row), "20.0x msg/s (>= 20x ok), >= 300000 msg/s MISS");
  // A base without figures (it failed) gives nothing to compare with.
  EXPECT_EQ(versusCell(variant, RowFigures{}, row), "-");
}

TEST(VersusCellTest, RssDifferenceOfJournalRows) {
  RowFigures base{40, 2.0, 10000, 7.0};
  RowFigures row{44, 2.0, 10000, 7.25};
  Variant variant;
  EXPECT_EQ(rssVersusCell(variant, base, row), "-");
  variant.journal = true;
  EXPECT_EQ(rssVersusCell(variant, base, row), "+0.25 MB");
  variant.rssLimitMb = 1;
  EXPECT_EQ(rssVersusCell(variant, base, row), "+0.25 MB (<= 1 ok)");
  row.rssMb = 8.0;
  EXPECT_EQ(rssVersusCell(variant, base, row), "+1.00 MB (<= 1 ok)");
  row.rssMb = 8.01;
  EXPECT_EQ(rssVersusCell(variant, base, row), "+1.01 MB (<= 1 MISS)");
  row.rssMb = 6.5;
  EXPECT_EQ(rssVersusCell(variant, base, row), "-0.50 MB (<= 1 ok)");
  EXPECT_EQ(rssVersusCell(variant, RowFigures{}, row), "-");
}

}  // namespace
}  // namespace lodemig::bench
