#include "driver/merge_reports.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

#include "driver/run.h"
#include "migration/events_series.h"
#include "migration/html_report.h"
#include "migration/report_merge.h"
#include "utils/ascii.h"
#include "utils/input_file.h"
#include "utils/replaced_file.h"

namespace lodemig {
namespace {

using ostrel::utils::equalsIgnoreCase;

struct MergeCommand {
  std::string output;
  std::string page;
  std::vector<std::string> inputs;
  std::string refusal;  // the argument error, with its line end
};

MergeCommand parseMergeCommand(int argc, const char* const* argv) {
  MergeCommand command;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    const bool last = i + 1 >= argc;
    if (equalsIgnoreCase(argument, "-mergeReports") && !last) {
      command.output = argv[++i];
    } else if (equalsIgnoreCase(argument, "-htmlReport") && !last) {
      command.page = argv[++i];
    } else if (argument[0] == '-' || command.output.empty()) {
      command.refusal =
          "Argument error: -mergeReports OUT.csv IN.csv... takes no option but "
          "-htmlReport, not <" +
          std::string(argument) + ">\n";
      return command;
    } else {
      command.inputs.push_back(argument);
    }
  }
  if (command.output.empty() || command.inputs.empty()) {
    command.refusal =
        "Argument error: -mergeReports needs the merged file and at least one "
        "report to read\n";
  }
  return command;
}

// The whole content of `path`; false, with `failure` saying why, when it
// cannot be read.
bool readWholeFile(const std::string& path, std::string& content, std::string& failure) {
  ostrel::utils::InputFile file;
  if (!file.open(path)) {
    failure = file.openFailure();
    return false;
  }
  char buffer[64 * 1024];
  for (;;) {
    const std::int64_t count = file.read(buffer, sizeof(buffer));
    if (count < 0) {
      failure = std::strerror(EIO);
      return false;
    }
    content.append(buffer, static_cast<std::size_t>(count));
    if (count < static_cast<std::int64_t>(sizeof(buffer))) {
      return true;
    }
  }
}

struct MergeInputs {
  std::vector<std::vector<ReportRecord>> reports;
  std::vector<std::vector<MessageSample>> series;
};

// Reads each input; the exit status when one stops the merge, said on the
// console.
int readInputs(const std::vector<std::string>& paths, MergeInputs& inputs) {
  for (const std::string& path : paths) {
    std::string content;
    std::string failure;
    if (!readWholeFile(path, content, failure)) {
      std::cout << "Error: cannot read " << path << ": " << failure << "\n" << std::flush;
      return kExitFailed;
    }
    if (!content.empty() && content[0] == '{') {
      failure = readEventsSeries(content, inputs.series);
      if (!failure.empty()) {
        std::cout << "Error: events file " << path << " is damaged: " << failure << "\n"
                  << std::flush;
        return kExitFailed;
      }
      continue;
    }
    inputs.reports.emplace_back();
    failure = readReportText(content, inputs.reports.back());
    if (failure.rfind("line ", 0) == 0) {
      std::cout << "Error: report " << path << " is damaged: " << failure << "\n" << std::flush;
      return kExitFailed;
    }
    if (!failure.empty()) {
      std::cout << "Argument error: " << path << " is not a report: " << failure << "\n"
                << std::flush;
      return kExitArgumentError;
    }
  }
  return kExitSucceeded;
}

HtmlReportContent mergedPage(const std::vector<ReportRecord>& rows, const MergeInputs& inputs) {
  HtmlReportContent content;
  content.title = "lodemig report, merged from " +
                  std::to_string(inputs.reports.size() + inputs.series.size()) + " inputs";
  content.totals = totalsOfRecords(rows);
  content.result = content.totals.accountsFailed == 0 && content.totals.foldersNotOk == 0
                       ? "Result: every account and folder ok"
                       : "Result: " + std::to_string(content.totals.accountsFailed) +
                             " accounts failed, " + std::to_string(content.totals.foldersNotOk) +
                             " folders not ok";
  for (const ReportRecord& record : rows) {
    content.add(record.row);
  }
  content.samples = sumSeries(inputs.series);
  if (!content.samples.empty()) {
    content.start = content.samples.front().time;
    content.end = content.samples.back().time;
  }
  return content;
}

}  // namespace

bool asksForMerge(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (equalsIgnoreCase(argv[i], "-mergeReports")) {
      return true;
    }
  }
  return false;
}

int runMergeReports(int argc, const char* const* argv) {
  const MergeCommand command = parseMergeCommand(argc, argv);
  if (!command.refusal.empty()) {
    std::cout << command.refusal << std::flush;
    return kExitArgumentError;
  }
  MergeInputs inputs;
  if (const int status = readInputs(command.inputs, inputs); status != kExitSucceeded) {
    return status;
  }
  const std::vector<ReportRecord> rows = mergeReports(inputs.reports);
  std::string csv = std::string(RunReport::kHeader) + "\r\n";
  for (const ReportRecord& record : rows) {
    csv += reportLine(record.fields);
  }
  std::string failure = ostrel::utils::replaceFile(command.output, csv, kWrittenFileMode);
  if (!failure.empty()) {
    std::cout << "Argument error: cannot write merged report " << command.output << ": " << failure
              << "\n"
              << std::flush;
    return kExitArgumentError;
  }
  if (!command.page.empty()) {
    failure = ostrel::utils::replaceFile(command.page, htmlReportPage(mergedPage(rows, inputs)),
                                         kWrittenFileMode);
    if (!failure.empty()) {
      std::cout << "Argument error: cannot write HTML report " << command.page << ": " << failure
                << "\n"
                << std::flush;
      return kExitArgumentError;
    }
  }
  std::cout << "Info: merged " << rows.size() << " rows of " << inputs.reports.size()
            << " reports into " << command.output << "\n"
            << std::flush;
  return kExitSucceeded;
}

}  // namespace lodemig
