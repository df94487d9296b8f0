#ifndef LODEMIG_DRIVER_MERGE_REPORTS_H_
#define LODEMIG_DRIVER_MERGE_REPORTS_H_

#include <sys/types.h>

#include <string>

namespace lodemig {

// Whether the command line asks for the merge mode (-mergeReports, in any
// letter case).
bool asksForMerge(int argc, const char* const* argv);

// The merge mode: "lodemig -mergeReports OUT.csv IN... [-htmlReport PAGE]".
// Reads every input in the order given: a -report CSV file (refused when its
// first line is not the report's header), or an events file (first byte
// '{'), whose runs give the HTML page's chart. Writes the CSV rows of the
// reports merged (mergeReports()) to OUT, with the header, and the page from
// them to PAGE. Prints one line saying what it merged. Returns 0, 2 for an
// argument error (another option, no input, an output that cannot be used,
// an input that is not a report), 1 when an input cannot be read or is
// damaged (each said on standard output, naming the file and why).
int runMergeReports(int argc, const char* const* argv);

// The mode of the page and the merged report: they name every account.
constexpr mode_t kWrittenFileMode = 0600;

}  // namespace lodemig

#endif  // LODEMIG_DRIVER_MERGE_REPORTS_H_
