// End-to-end tests of the -metricsFile: the versions a run writes as it goes
// and at its end, read as Prometheus reads them.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/migration_fixture.h"

namespace lodemig::testing {
namespace {

// One version of the file: every series ("name{labels}") with its value, and
// the type of every metric.
struct Version {
  std::string text;
  std::map<std::string, double> values;
  std::map<std::string, std::string> types;

  double operator[](const std::string& series) const {
    const auto found = values.find(series);
    return found == values.end() ? -1 : found->second;
  }
};

Version parseVersion(const std::string& text) {
  Version version{text, {}, {}};
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t space = line.rfind(' ');
    if (line.rfind("# TYPE ", 0) == 0) {
      version.types[line.substr(7, space - 7)] = line.substr(space + 1);
    } else if (!line.empty() && line[0] != '#') {
      version.values[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
  }
  return version;
}

// The sums of the report's number columns, by the header's names; folder
// names here hold no comma.
std::map<std::string, double> reportTotals(const std::string& csv) {
  std::map<std::string, double> totals;
  std::istringstream rows(csv);
  std::vector<std::string> names;
  for (std::string line; std::getline(rows, line);) {
    std::istringstream row(line.substr(0, line.find('\r')));
    std::vector<std::string> fields;
    for (std::string field; std::getline(row, field, ',');) {
      fields.push_back(field);
    }
    if (names.empty()) {
      names = fields;
      continue;
    }
    totals["folders"] += fields[2].empty() ? 0 : 1;
    for (std::size_t i : {6, 7, 8, 9, 14}) {
      totals[names[i]] += std::stod(fields[i]);
    }
  }
  return totals;
}

class MetricsTest : public MigrationTest {
 protected:
  void SetUp() override { ASSERT_EQ(::setenv("LODEMIG_METRICS_PERIOD_MS", "20", 1), 0); }
  void TearDown() override { ::unsetenv("LODEMIG_METRICS_PERIOD_MS"); }

  // promtool's verdict on `text`: "" when it takes it as it is.
  std::string promtoolFinds(const std::string& text) {
    writeFile(dir_ / "check.prom", text);
    writeFile(dir_ / "check.sh", "exec /usr/bin/promtool check metrics < \"$1\" 2>&1\n");
    const ProcessResult result = runProcess("/bin/sh", {dir_ / "check.sh", dir_ / "check.prom"});
    return result.exitStatus == 0 ? result.out : "status 1: " + result.out;
  }

  // Migrates with `arguments`, keeping every version of the metrics file
  // `path` seen while the run goes on (at most 400), then the last.
  ProcessResult migrateWatching(const std::string& path, std::vector<std::string> arguments) {
    std::vector<std::string> all = {
        "-path",     store_,           "-migrate",          "-server",
        "127.0.0.1", "-port",          server_->portText(), "-password",
        "master",    "-primaryDomain", "example.com",       "-metricsFile",
        path};
    all.insert(all.end(), arguments.begin(), arguments.end());
    makeDirectories(work_);
    ProcessOptions options;
    options.workingDirectory = work_;
    options.signalWhen = [&] {
      const std::string text = readFile(path);
      if (!text.empty() && versions_.size() < 400 &&
          (versions_.empty() || versions_.back().text != text)) {
        versions_.push_back(parseVersion(text));
      }
      return false;
    };
    ProcessResult result = runProcess(LODEMIG_BINARY, all, options);
    versions_.push_back(parseVersion(readFile(path)));
    return result;
  }

  std::vector<Version> versions_;
};

TEST_F(MetricsTest, EveryVersionOfAShardedRunIsValidGrowsAndEndsAtTheReportsTotals) {
  for (const char* name : {"ann", "bob", "cid", "dan", "eve", "fay", "gus", "hal", "ian", "joe"}) {
    inboxAccount(name, 30);
  }
  startServer({"--refuse-append", "5", "--refuse-append", "40"});
  const std::string path = dir_ / "collector/lodemig.prom";
  makeDirectories(dir_ / "collector");
  const std::string report = dir_ / "report.csv";
  // The pace stretches the run over many versions of the file.
  const ProcessResult result = migrateWatching(
      path, {"-jobs", "4", "-shard", "1/2", "-report", report, "-maxMessagesPerSecond", "200"});
  EXPECT_EQ(result.exitStatus, 1) << result.out;  // the refused messages fail the run
  ASSERT_GE(versions_.size(), 3u) << "versions at the start, during the run and at its end";
  const bool promtool = ::access("/usr/bin/promtool", X_OK) == 0;
  bool midway = false;
  for (std::size_t i = 0; i < versions_.size(); ++i) {
    SCOPED_TRACE("version " + std::to_string(i) + ":\n" + versions_[i].text);
    EXPECT_EQ(promtool ? promtoolFinds(versions_[i].text) : "", "");
    // No counter ever goes down or disappears.
    for (const auto& [series, value] : i > 0 ? versions_[i - 1].values : versions_[i].values) {
      if (versions_[i].types[series.substr(0, series.find('{'))] == "counter") {
        EXPECT_GE(versions_[i][series], value) << series;
      }
    }
    const double appended = versions_[i]["lodemig_appended_messages_total{shard=\"1/2\"}"];
    midway = midway || (appended > 0 && versions_[i]["lodemig_exit_status{shard=\"1/2\"}"] < 0);
  }
  EXPECT_TRUE(midway) << "a version while messages were being sent";
  const Version& last = versions_.back();
  EXPECT_EQ(last["lodemig_exit_status{shard=\"1/2\"}"], 1);
  std::map<std::string, double> totals = reportTotals(readFile(report));
  EXPECT_GT(totals["refused"], 0);
  for (const char* kind : {"sent", "refused", "matched", "skipped"}) {
    EXPECT_EQ(last["lodemig_messages_total{shard=\"1/2\",result=\"" + std::string(kind) + "\"}"],
              totals[kind])
        << kind;
  }
  EXPECT_EQ(last["lodemig_sent_bytes_total{shard=\"1/2\"}"], totals["store_bytes"]);
  EXPECT_EQ(last["lodemig_appended_messages_total{shard=\"1/2\"}"], totals["sent"]);
  EXPECT_EQ(last["lodemig_folders_total{shard=\"1/2\"}"], totals["folders"]);
  std::smatch accounts;
  ASSERT_TRUE(std::regex_search(
      result.out, accounts,
      std::regex("Info: accounts: (\\d+) migrated, (\\d+) skipped, (\\d+) failed\n")));
  int outcome = 1;
  for (const char* kind : {"migrated", "skipped", "failed"}) {
    EXPECT_EQ(last["lodemig_accounts_total{shard=\"1/2\",outcome=\"" + std::string(kind) + "\"}"],
              std::stod(accounts[outcome++]))
        << kind;
  }
  EXPECT_EQ(last["lodemig_accounts_remaining{shard=\"1/2\"}"], 0);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "collector"),
                          std::filesystem::directory_iterator()),
            1)
      << "no temporary file is left";
}

TEST_F(MetricsTest, AFileThatCannotBeUsedIsAnArgumentErrorBeforeAnythingIsSent) {
  inboxAccount("ann", 2);
  startServer();
  const std::string linked = dir_ / "linked.prom";
  ASSERT_EQ(::symlink((dir_ / "elsewhere").c_str(), linked.c_str()), 0);
  ProcessResult result = migrate({"-METRICSFILE", linked});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_EQ(result.out,
            "Argument error: cannot write metrics file " + linked + ": it is a symbolic link\n");
  const std::string missing = dir_ / "none/lodemig.prom";
  result = migrate({"-metricsFile", missing});
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_EQ(result.out, "Argument error: cannot write metrics file " + missing +
                            ": No such file or directory\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "elsewhere"));
  EXPECT_EQ(arrivedCount("ann@example.com"), 0);
}

TEST_F(MetricsTest, TheLastVersionGivesTheExitStatusOfAFailedRunAndOfAPrintRun) {
  inboxAccount("ann", 2);
  const std::string path = dir_ / "lodemig.prom";
  startServer({"--master-password", "other"});
  EXPECT_EQ(migrateWatching(path, {}).exitStatus, 1);
  // Without a shard the run is the one shard of one.
  EXPECT_EQ(versions_.back()["lodemig_exit_status{shard=\"1/1\"}"], 1);
  ProcessOptions options;
  options.workingDirectory = work_;
  EXPECT_EQ(
      runProcess(LODEMIG_BINARY,
                 {"-path", store_, "-primaryDomain", "example.com", "-metricsFile", path}, options)
          .exitStatus,
      0);
  const std::string printed = readFile(path);
  EXPECT_TRUE(contains(printed, "lodemig_exit_status{shard=\"1/1\"} 0\n")) << printed;
  EXPECT_TRUE(contains(printed, "{shard=\"1/1\",mode=\"print\",version=\"")) << printed;
}

}  // namespace
}  // namespace lodemig::testing
