#include "driver/work_list_options.h"

#include "driver/run_options.h"
#include "utils/ascii.h"

namespace lodemig {

bool takeWorkListValue(RunOptions& options, const char* name, const char* value) {
  if (ostrel::utils::equalsIgnoreCase(name, "-usersfile")) {
    options.usersFile = value;
  } else if (ostrel::utils::equalsIgnoreCase(name, "-failedfile")) {
    options.failedFile = value;
  } else {
    return false;
  }
  return true;
}

std::string workListError(const RunOptions& options) {
  // A list and masks together would leave it open which of them selects.
  if (!options.usersFile.empty() && (!options.domainMask.empty() || !options.userMask.empty())) {
    return "Argument error: -usersFile cannot be combined with -domain or -user\n";
  }
  // Only a migration ends accounts one by one; the others have no such list.
  if (!options.failedFile.empty() && !options.migrate) {
    return "Argument error: -failedFile needs -migrate\n";
  }
  return std::string();
}

void printWorkListUsage(std::ostream& out) {
  out << "       -usersFile  file of user@domain lines: only those accounts (optional)\n";
  out << "       -failedFile  file that receives the accounts that failed, for -usersFile "
         "(optional)\n";
}

}  // namespace lodemig
