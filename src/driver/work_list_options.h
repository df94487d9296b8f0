#ifndef LODEMIG_DRIVER_WORK_LIST_OPTIONS_H_
#define LODEMIG_DRIVER_WORK_LIST_OPTIONS_H_

#include <ostream>
#include <string>

namespace lodemig {

struct RunOptions;

// The options that name a run's accounts by list, kept together so that the
// command line's parser, checks and usage text each take them with one call.
//
// -usersFile FILE: one user@domain a line; only those accounts (of the
// shard), instead of -domain and -user. -failedFile FILE: receives every
// account that failed or was not reached, in the same form.

// Takes -usersFile or -failedFile (any letter case) with `value`. False for
// any other option.
bool takeWorkListValue(RunOptions& options, const char* name, const char* value);
// "Argument error: ..." when the options cannot go together, else "".
std::string workListError(const RunOptions& options);
// The options' usage lines.
void printWorkListUsage(std::ostream& out);

}  // namespace lodemig

#endif  // LODEMIG_DRIVER_WORK_LIST_OPTIONS_H_
