// End-to-end tests of the -metricsFile: the versions a run writes as it goes
// and at its end, read as Prometheus reads them.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run_options.h"
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
  Version version;
  version.text = text;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("# TYPE ", 0) == 0) {
      const std::size_t space = line.find(' ', 7);
      version.types[line.substr(7, space - 7)] = line.substr(space + 1);
    } else if (!line.empty() && line[0] != '#') {
      const std::size_t space = line.rfind(' ');
      version.values[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
  }
  return version;
}

// The metric's name of a series.
std::string nameOf(const std::string& series) {
  return series.substr(0, series.find('{'));
}

class MetricsTest : public MigrationTest {
 protected:
  void SetUp() override { ASSERT_EQ(::setenv("LODEMIG_METRICS_PERIOD_MS", "20", 1), 0); }
  void TearDown() override { ::unsetenv("LODEMIG_METRICS_PERIOD_MS"); }

  // promtool's verdict on `text`: "" when it takes it as it is.
  std::string promtoolFinds(const std::string& text) {
    const std::string file = dir_ / "check.prom";
    writeFile(file, text);
    writeFile(dir_ / "check.sh", "exec /usr/bin/promtool check metrics < \"$1\" 2>&1\n");
    const ProcessResult result = runProcess("/bin/sh", {dir_ / "check.sh", file});
    return result.exitStatus == 0
               ? result.out
               : "status " + std::to_string(result.exitStatus) + ": " + result.out;
  }

  // Migrates into the running server with `arguments`, keeping every version
  // of the metrics file `path` seen while the run goes on (each is whole:
  // the file is replaced, never written in place), then the last.
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
      // At most a few hundred versions are kept, however long the run.
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

// The sums of the report's columns over its rows.
std::map<std::string, double> reportTotals(const std::string& csv) {
  std::map<std::string, double> totals;
  std::istringstream rows(csv);
  std::string line;
  std::getline(rows, line);  // the header
  while (std::getline(rows, line)) {
    std::vector<std::string> fields;
    std::istringstream row(line);
    for (std::string field; std::getline(row, field, ',');) {
      fields.push_back(field);
    }
    // Folder names here hold no comma, so the columns are where the header says.
    EXPECT_EQ(fields.size(), 15u) << line;
    if (fields.size() != 15u) {
      continue;
    }
    totals["folders"] += fields[2].empty() ? 0 : 1;
    totals["store_bytes"] += std::stod(fields[6]);
    totals["sent"] += std::stod(fields[7]);
    totals["refused"] += std::stod(fields[8]);
    totals["skipped"] += std::stod(fields[9]);
    totals["matched"] += std::stod(fields[14]);
  }
  return totals;
}

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
  for (std::size_t i = 0; i < versions_.size(); ++i) {
    SCOPED_TRACE("version " + std::to_string(i) + ":\n" + versions_[i].text);
    EXPECT_EQ(versions_[i]["lodemig_run_info{shard=\"1/2\",mode=\"migrate\",version=\"" +
                           std::string(versionString()) + "\"}"],
              1);
    if (promtool) {
      EXPECT_EQ(promtoolFinds(versions_[i].text), "");
    }
    // No counter ever goes down, and none disappears.
    for (const auto& [series, value] :
         i > 0 ? versions_[i - 1].values : decltype(Version::values)()) {
      if (versions_[i].types[nameOf(series)] == "counter") {
        EXPECT_GE(versions_[i][series], value) << series;
      }
    }
  }
  const Version& last = versions_.back();
  EXPECT_EQ(last["lodemig_exit_status{shard=\"1/2\"}"], 1);
  EXPECT_EQ(versions_.front()["lodemig_exit_status{shard=\"1/2\"}"], -1) << "only at the end";
  std::map<std::string, double> totals = reportTotals(readFile(report));
  EXPECT_GT(totals["sent"], 0);
  EXPECT_GT(totals["refused"], 0);
  for (const char* kind : {"sent", "refused", "matched", "skipped"}) {
    EXPECT_EQ(last["lodemig_messages_total{shard=\"1/2\",result=\"" + std::string(kind) + "\"}"],
              totals[kind])
        << kind;
  }
  EXPECT_EQ(last["lodemig_sent_bytes_total{shard=\"1/2\"}"], totals["store_bytes"]);
  EXPECT_EQ(last["lodemig_appended_messages_total{shard=\"1/2\"}"], totals["sent"]);
  EXPECT_EQ(last["lodemig_folders_total{shard=\"1/2\"}"], totals["folders"]);
  // The accounts as the summary counts them, all of the plan.
  std::smatch accounts;
  ASSERT_TRUE(std::regex_search(
      result.out, accounts,
      std::regex("Info: accounts: (\\d+) migrated, (\\d+) skipped, (\\d+) failed\n")));
  EXPECT_EQ(last["lodemig_accounts_total{shard=\"1/2\",outcome=\"migrated\"}"],
            std::stod(accounts[1]));
  EXPECT_EQ(last["lodemig_accounts_total{shard=\"1/2\",outcome=\"skipped\"}"],
            std::stod(accounts[2]));
  EXPECT_EQ(last["lodemig_accounts_total{shard=\"1/2\",outcome=\"failed\"}"],
            std::stod(accounts[3]));
  EXPECT_GT(std::stod(accounts[3]), 0);
  EXPECT_EQ(last["lodemig_accounts_planned{shard=\"1/2\"}"],
            std::stod(accounts[1]) + std::stod(accounts[2]) + std::stod(accounts[3]));
  EXPECT_EQ(last["lodemig_accounts_remaining{shard=\"1/2\"}"], 0);
  EXPECT_EQ(last["lodemig_accounts_running{shard=\"1/2\"}"], 0);
  // Versions along the way: some messages sent but not all.
  bool midway = false;
  for (const Version& version : versions_) {
    const double appended = version["lodemig_appended_messages_total{shard=\"1/2\"}"];
    midway = midway || (appended > 0 && appended < totals["sent"]);
  }
  EXPECT_TRUE(midway);
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);
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
  EXPECT_TRUE(lodemigFiles(work_, "log").empty()) << "no run started";
}

TEST_F(MetricsTest, TheLastVersionGivesTheExitStatusOfEveryKindOfRun) {
  inboxAccount("ann", 2);
  const std::string path = dir_ / "lodemig.prom";
  // Without a shard the run is the one shard of one.
  startServer({"--master-password", "other"});
  EXPECT_EQ(migrateWatching(path, {}).exitStatus, 1);
  EXPECT_EQ(versions_.back()["lodemig_exit_status{shard=\"1/1\"}"], 1);
  startServer();
  EXPECT_EQ(migrateWatching(path, {}).exitStatus, 0);
  EXPECT_EQ(versions_.back()["lodemig_exit_status{shard=\"1/1\"}"], 0);
  EXPECT_EQ(versions_.back()["lodemig_messages_total{shard=\"1/1\",result=\"sent\"}"], 2);
  // A print run says what it is.
  ProcessOptions options;
  options.workingDirectory = work_;
  const ProcessResult print =
      runProcess(LODEMIG_BINARY,
                 {"-path", store_, "-primaryDomain", "example.com", "-metricsFile", path}, options);
  EXPECT_EQ(print.exitStatus, 0);
  const Version printed = parseVersion(readFile(path));
  EXPECT_EQ(printed["lodemig_exit_status{shard=\"1/1\"}"], 0);
  EXPECT_EQ(printed.text.find("mode=\"migrate\""), std::string::npos);
  EXPECT_NE(printed.text.find("mode=\"print\""), std::string::npos);
}

}  // namespace
}  // namespace lodemig::testing
