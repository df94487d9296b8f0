#include "bench/workload.h"

#include <algorithm>
#include <sstream>

namespace lodemig::bench {

std::vector<Workload> standardWorkloads(bool quick) {
  const int scale = quick ? 10 : 1;
  std::vector<Workload> list(6);

  Workload& mailboxFile = list[0];
  mailboxFile.number = 1;
  mailboxFile.name = "mailbox file, 1 account";
  mailboxFile.plan.messagesPerAccount = 20000 / scale;
  mailboxFile.plan.seed = 101;
  mailboxFile.cpuTarget = 40;
  mailboxFile.cpuTargetQuietOnly = true;
  mailboxFile.wallTarget = 1.5;

  // The same seed gives the same messages, one file each.
  Workload& messageDirectory = list[1];
  messageDirectory = mailboxFile;
  messageDirectory.number = 2;
  messageDirectory.name = "message directory, 1 account";
  messageDirectory.plan.layouts = {AccountLayout::kMessageDirectory};

  Workload& large = list[2];
  large.number = 3;
  large.name = "1 MB messages";
  large.plan.messagesPerAccount = 200 / scale;
  large.plan.sizes = SizeProfile::kOneMebibyte;
  large.plan.seed = 303;
  large.cpuUnit = Unit::kMebibyte;
  large.cpuTarget = 1.2;
  large.cpuTargetFixOnly = true;
  large.wallTarget = 1.5;
  large.floorIsSocketRead = true;

  Workload& accounts = list[3];
  accounts.number = 4;
  accounts.name = "accounts of 10 messages";
  accounts.plan.accounts = 2000 / scale;
  accounts.plan.messagesPerAccount = 10;
  accounts.plan.sizes = SizeProfile::kSmall;
  accounts.plan.layouts = {AccountLayout::kMailboxFile, AccountLayout::kMailboxFile,
                           AccountLayout::kAccountDirectory, AccountLayout::kMessageDirectory};
  accounts.plan.seed = 404;

  Workload& print = list[4];
  print.number = 5;
  print.name = "print run";
  print.migrate = false;
  print.plan.accounts = 20000 / scale;
  print.plan.layouts = {AccountLayout::kMailboxFile, AccountLayout::kAccountDirectory,
                        AccountLayout::kMessageDirectory};
  print.plan.extraDomains = 3;
  print.plan.extraFolders = true;
  print.plan.seed = 505;
  print.cpuUnit = Unit::kAccount;
  print.cpuTarget = 60;

  // Memory must not grow with the mailbox file: 2,400 MiB is 2.5 GB.
  Workload& huge = list[5];
  huge = large;
  huge.number = 6;
  huge.name = "2.5 GB mailbox file";
  huge.plan.messagesPerAccount = 2400 / scale;
  huge.plan.seed = 606;
  huge.quietOnly = true;

  // The first workload over a long network: a tenth of its messages, so
  // that one append at a time still ends in seconds. Copies, made before
  // the list grows and moves what the references above point to.
  Workload far = mailboxFile;
  Workload farAccounts = accounts;
  far.number = 7;
  far.name = "mailbox file, 1 account, relayed";
  far.plan.messagesPerAccount = 2000 / scale;
  far.cpuTarget = 0;
  far.wallTarget = 0;
  far.relayed = true;

  // The accounts of workload 4 over the long network: a tenth of them.
  farAccounts.number = 8;
  farAccounts.name = "accounts of 10 messages, relayed";
  farAccounts.plan.accounts = 200 / scale;
  farAccounts.relayed = true;
  list.push_back(far);
  list.push_back(farAccounts);

  // A journal of 200,000 messages, all in one folder, where a journal that
  // kept a record per message in memory would show most.
  Workload journaled;
  journaled.number = 9;
  journaled.name = "200,000 messages, 1 account";
  journaled.plan.messagesPerAccount = 200000 / scale;
  journaled.plan.sizes = SizeProfile::kSmall;
  journaled.plan.seed = 909;
  journaled.rerun = true;
  list.push_back(journaled);

  // Passes after the first: twenty accounts, half of them mailbox files and
  // half message directories, so that a delta pass meets both ways a server
  // changes a folder.
  Workload delta;
  delta.number = 10;
  delta.name = "delta passes, 20 accounts";
  delta.plan.accounts = 20;
  delta.plan.messagesPerAccount = 1000 / scale;
  delta.plan.layouts = {AccountLayout::kMailboxFile, AccountLayout::kMessageDirectory};
  delta.plan.seed = 1010;
  delta.delta = true;
  list.push_back(delta);
  return list;
}

namespace {

Variant quietWith(const std::string& name) {
  Variant variant;
  variant.name = name;
  return variant;
}

// `base` with a journal, compared with `base`: a journal may cost at most a
// tenth more client CPU.
Variant journalOf(const Variant& base, const std::string& name) {
  Variant variant = base;
  variant.name = name;
  variant.journal = true;
  variant.versus = Versus::kCpu;
  variant.limit = 0.10;
  variant.minRate = 0;
  variant.base = base.name;
  return variant;
}

// Quiet, with a journal, and once more over the journal finished: both
// journal rows may hold at most 1 MB more than the run without.
std::vector<Variant> rerunVariants() {
  const Variant quiet = quietWith("quiet");
  std::vector<Variant> list{quiet, journalOf(quiet, "quiet, journal"),
                            journalOf(quiet, "quiet, finished journal")};
  list.back().rerun = true;
  for (Variant& variant : list) {
    if (variant.journal) {
      variant.rssLimitMb = 1;
    }
  }
  return list;
}

// The full pass with a journal, then the delta passes compared with it: over
// the unchanged store at most 5% of its wall time, after a server's changes
// at most 10%.
std::vector<Variant> deltaVariants() {
  Variant full = quietWith("full pass, journal");
  full.journal = true;
  std::vector<Variant> list{full, full, full};
  list[1].name = "delta, no change";
  list[1].limit = 0.05;
  list[2].name = "delta, 1% new + 1% flags";
  list[2].changes = true;
  list[2].limit = 0.10;
  for (size_t i = 1; i < list.size(); ++i) {
    list[i].delta = true;
    list[i].versus = Versus::kWallShare;
  }
  return list;
}

}  // namespace

StoreChangePlan changePlanOf(const Workload& workload) {
  StoreChangePlan plan;
  plan.newPerAccount = std::max(workload.plan.messagesPerAccount / 100, 1);
  plan.flagsPerAccount = plan.newPerAccount;
  plan.seed = workload.plan.seed + 1;
  return plan;
}

std::vector<Variant> variantsOf(const Workload& workload) {
  if (workload.delta) {
    return deltaVariants();
  }
  if (workload.relayed && workload.number == 8) {
    std::vector<Variant> list;
    for (const int jobs : {1, 4, 8}) {
      Variant& variant =
          list.emplace_back(quietWith("relay, jobs " + std::to_string(jobs) + ", window 8"));
      variant.window = 8;
      variant.jobs = jobs;
    }
    list.back().versus = Versus::kSpeed;
    list.back().limit = 10;
    list.push_back(journalOf(list.back(), "relay, jobs 8, window 8, journal"));
    return list;
  }
  if (workload.relayed) {
    std::vector<Variant> list;
    for (const int window : {1, 8, 32}) {
      Variant& variant = list.emplace_back(quietWith("relay, window " + std::to_string(window)));
      variant.window = window;
    }
    list.back().versus = Versus::kSpeed;
    list.back().limit = 20;
    list.back().minRate = 2000;
    list.push_back(journalOf(list.back(), "relay, window 32, journal"));
    return list;
  }
  if (!workload.migrate) {
    return {{"quiet", true, true}, {"console", false, true}};
  }
  if (workload.rerun) {
    return rerunVariants();
  }
  const Variant quiet = quietWith("quiet");
  if (workload.quietOnly) {
    return {quiet, journalOf(quiet, "quiet, journal")};
  }
  std::vector<Variant> list = {quiet,
                               journalOf(quiet, "quiet, journal"),
                               {"console", false, true},
                               {"quiet, no CR/LF fixing", true, false},
                               {"console, no CR/LF fixing", false, false},
                               {"quiet, report", true, true, false, true}};
  // A report may cost at most a tenth more client CPU.
  list.back().versus = Versus::kCpu;
  list.back().limit = 0.10;
  if (workload.number == 3) {
    // Encryption may cost what the plain run costs, once more, at most.
    Variant& tls = list.emplace_back(quietWith("quiet, TLS"));
    tls.tls = true;
    tls.versus = Versus::kCpuTimes;
    tls.limit = 2;
  }
  if (workload.number == 1) {
    // On loopback the stand-in's own CPU limits what a window can save.
    Variant& windowed = list.emplace_back(quietWith("quiet, window 32"));
    windowed.window = 32;
    windowed.versus = Versus::kWall;
    windowed.limit = 0.6;
  }
  return list;
}

namespace {

// The fields of one CSV line; the generated names hold no comma or quote.
std::vector<std::string> csvFields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  for (std::size_t comma; (comma = line.find(',', at)) != std::string::npos; at = comma + 1) {
    fields.push_back(line.substr(at, comma - at));
  }
  fields.push_back(line.substr(at));
  return fields;
}

// The generated accounts have one folder each: the header, then one row per
// account, every one with the verdict ok and no error. The columns are found
// by the header's names, so that a column added to the report moves nothing.
bool reportIsAllOk(const std::string& report, std::size_t accounts) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < report.size();) {
    const std::size_t end = report.find("\r\n", at);
    if (end == std::string::npos) {
      return false;
    }
    lines.push_back(report.substr(at, end - at));
    at = end + 2;
  }
  if (lines.size() != accounts + 1) {
    return false;
  }
  const std::vector<std::string> header = csvFields(lines.front());
  const auto column = [&header](const std::string& name) {
    return static_cast<std::size_t>(std::find(header.begin(), header.end(), name) - header.begin());
  };
  const std::size_t verdict = column("verdict");
  const std::size_t error = column("error");
  if (verdict == header.size() || error == header.size()) {
    return false;
  }
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> row = csvFields(lines[i]);
    if (row.size() != header.size() || row[verdict] != "ok" || !row[error].empty()) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string verifyRun(const Workload& workload, const Variant& variant,
                      const StoreManifest& manifest, const std::string& expectedDigest,
                      const RunResult& run, int timeoutSeconds) {
  std::ostringstream problem;
  const size_t mailboxLines = countLinesStartingWith(run.logText, " + mailbox <");
  const size_t skipped =
      countLinesStartingWith(run.logText, "   Info: already migrated, as the journal records");
  const TargetSummary& held = run.summary;
  const std::string deltaSent = "Info: messages: " + std::to_string(run.newMessages) + " sent,";
  const std::string deltaChanges = "Info: changes: " + std::to_string(run.flagChanges) +
                                   " messages with new flags, 0 gone from the store,";
  if (run.client.timedOut) {
    problem << "TIMED OUT after " << timeoutSeconds << " s with " << run.units << " of "
            << (workload.migrate ? manifest.messages : manifest.accounts.size())
            << (workload.migrate ? " messages" : " mailboxes");
  } else if (!run.client.succeeded()) {
    problem << "lodemig ended with wait status " << run.client.status;
  } else if (!run.haveLog) {
    problem << "no log file";
  } else if (mailboxLines != manifest.accounts.size()) {
    problem << mailboxLines << " of " << manifest.accounts.size() << " mailboxes in the log";
  } else if (workload.migrate &&
             run.logText.find("Result: migration successful") == std::string::npos) {
    problem << "no successful result line";
  } else if (workload.migrate && !run.haveSummary) {
    problem << "no summary line from the target";
  } else if (workload.migrate && held.messages != manifest.messages) {
    problem << "target holds " << held.messages << " of " << manifest.messages << " messages";
  } else if (workload.migrate && held.bytes != manifest.bytes) {
    problem << "target holds " << held.bytes << " of " << manifest.bytes << " bytes";
  } else if (workload.migrate &&
             (variant.jobs > 1 ? held.accountsDigest : held.digest) != expectedDigest) {
    problem << "content digest differs";
  } else if (variant.report && !reportIsAllOk(run.reportText, manifest.accounts.size())) {
    problem << "the report does not have one ok row per account";
  } else if (!variant.quiet && run.consoleBytes == 0) {
    problem << "nothing on the console";
  } else if (variant.quiet && run.consoleBytes != 0) {
    problem << run.consoleBytes << " console bytes despite -quiet";
  } else if (variant.journal && run.journalBytes == 0) {
    problem << "no journal on the disk";
  } else if (variant.delta && countLinesStartingWith(run.logText, deltaSent) != 1) {
    problem << "the log does not say \"" << deltaSent << "\"";
  } else if (variant.delta && countLinesStartingWith(run.logText, deltaChanges) != 1) {
    problem << "the log does not say \"" << deltaChanges << "\"";
  } else if (variant.delta && run.auditStatus != 0) {
    problem << "-verify after the pass ended with wait status " << run.auditStatus;
  } else if (variant.delta &&
             run.auditLog.find("Result: verification successful") == std::string::npos) {
    problem << "-verify after the pass found no successful result line";
  } else if (variant.rerun && skipped != manifest.accounts.size()) {
    // The target holding exactly the store after both runs shows that the
    // second sent nothing; these lines show that it skipped by the journal.
    problem << skipped << " of " << manifest.accounts.size()
            << " accounts skipped as the journal records";
  }
  return problem.str();
}

RunFigures figuresOf(const Workload& workload, const StoreManifest& manifest,
                     const RunResult& run) {
  RunFigures figures;
  const double wall = run.client.wallSeconds;
  const double messages = static_cast<double>(run.summary.messages);
  const double megabytes = static_cast<double>(run.summary.bytes) / kBytesPerMebibyte;
  const double share = manifest.bytes > 0 ? static_cast<double>(run.summary.bytes) /
                                                static_cast<double>(manifest.bytes)
                                          : 0;
  if (wall > 0) {
    figures.messagesPerSecond = messages / wall;
    figures.megabytesPerSecond = megabytes / wall;
  }
  if (workload.cpuUnit == Unit::kMebibyte) {
    figures.cpuPerUnit = megabytes > 0 ? run.client.cpuSeconds() / megabytes * 1e3 : 0;
  } else if (run.units > 0) {
    figures.cpuPerUnit = run.client.cpuSeconds() / static_cast<double>(run.units) * 1e6;
  }
  if (!workload.migrate) {
    figures.floor = run.floors.read * static_cast<double>(run.units) /
                    static_cast<double>(std::max<size_t>(manifest.accounts.size(), 1));
  } else if (workload.floorIsSocketRead) {
    figures.floor = (run.floors.socket + run.floors.read) * share;
  } else {
    figures.floor = messages * run.floors.roundTrip + run.floors.socket * share;
  }
  return figures;
}

size_t countLinesStartingWith(const std::string& text, const std::string& prefix) {
  size_t count = 0;
  size_t at = 0;
  while (at < text.size()) {
    if (text.compare(at, prefix.size(), prefix) == 0) {
      ++count;
    }
    size_t end = text.find('\n', at);
    if (end == std::string::npos) {
      break;
    }
    at = end + 1;
  }
  return count;
}

}  // namespace lodemig::bench
