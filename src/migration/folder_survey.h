#ifndef LODEMIG_MIGRATION_FOLDER_SURVEY_H_
#define LODEMIG_MIGRATION_FOLDER_SURVEY_H_

#include <cstdint>
#include <vector>

#include "migration/delta_plan.h"
#include "store/folder.h"
#include "store/mailbox.h"

namespace lodemig {

// The folder's mailbox file's size and modification time (ns); false for a
// message directory or a file that cannot be looked at.
bool mailboxFileStamp(const Folder& folder, const Mailbox& mailbox, std::int64_t& size,
                      std::int64_t& mtime);

// The folder's messages as identities, flags and stored sizes, in store
// order, walked without a word to the log. Throws QLStoreException when the
// folder cannot be opened or read.
std::vector<SurveyedMessage> surveyFolder(const Folder& folder, const Mailbox& mailbox);

}  // namespace lodemig

#endif  // LODEMIG_MIGRATION_FOLDER_SURVEY_H_
