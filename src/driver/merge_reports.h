#ifndef LODEMIG_DRIVER_MERGE_REPORTS_H_
#define LODEMIG_DRIVER_MERGE_REPORTS_H_

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

// Writes `text` as the whole content of `path` (created with mode 0600,
// never through a symbolic link); "" or why it could not.
std::string rewriteFile(const std::string& path, const std::string& text);

}  // namespace lodemig

#endif  // LODEMIG_DRIVER_MERGE_REPORTS_H_
