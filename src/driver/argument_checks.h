#ifndef LODEMIG_DRIVER_ARGUMENT_CHECKS_H_
#define LODEMIG_DRIVER_ARGUMENT_CHECKS_H_

#include <string>

#include "driver/run_options.h"

namespace lodemig {

// The checks a command line must pass before anything else is done: required
// options, options that exclude or need each other, and values out of range.
// Returns the text of the first check that fails, exactly as the driver
// prints it ("Argument error: ...", one line with its line end), or an empty
// text when the options allow a run. Looks at no file and prints nothing;
// what needs a file (the password file, the CA file, the journal, the
// report, the folder map) is checked later, when the file is opened.
std::string argumentError(const RunOptions& options);

}  // namespace lodemig

#endif  // LODEMIG_DRIVER_ARGUMENT_CHECKS_H_
