#include "migration/folder_survey.h"

#include <sys/stat.h>

#include <ostream>
#include <string>

#include "store/message.h"
#include "utils/ql_exception.h"

namespace lodemig {

bool mailboxFileStamp(const Folder& folder, const Mailbox& mailbox, std::int64_t& size,
                      std::int64_t& mtime) {
  std::ostream silent(nullptr);
  Folder probe(folder);
  probe.setLog(&silent);
  try {
    probe.open(mailbox.name());
  } catch (const QLStoreException&) {
    return false;
  }
  const bool file = probe.kind() != MessageDirectory;
  const std::string path = probe.accountPath() + "/" + probe.keyFile(std::string());
  probe.close();
  struct stat info;
  if (!file || ::stat(path.c_str(), &info) != 0) {
    return false;
  }
  size = static_cast<std::int64_t>(info.st_size);
  mtime = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  return true;
}

std::vector<SurveyedMessage> surveyFolder(const Folder& folder, const Mailbox& mailbox) {
  std::vector<SurveyedMessage> store;
  std::ostream silent(nullptr);
  Folder walk(folder);
  walk.setLog(&silent);
  Message message(&walk);
  FolderReading reading(walk);
  walk.open(mailbox.name());
  for (bool more = walk.firstMessage(message); more; more = walk.nextMessage(message)) {
    SurveyedMessage surveyed;
    try {
      surveyed.identity = message.identity();
    } catch (const QLStoreException&) {
      // Unreadable: new to a plan; the walk that sends says why.
    }
    surveyed.flags = message.flagText();
    surveyed.size = message.storedSize();
    store.push_back(std::move(surveyed));
  }
  return store;
}

}  // namespace lodemig
