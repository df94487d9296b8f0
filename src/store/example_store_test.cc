#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <vector>

#include "store/folder.h"
#include "store/mailbox.h"
#include "store/message.h"
#include "store/reader.h"

namespace lodemig {
namespace {

// The bundled example store must read cleanly: every folder yields the
// message count its info file announces, with dates and without \Recent.
TEST(ExampleStoreTest, ReadsCleanlyAndMatchesItsInfoFiles) {
  std::ostringstream log;
  Reader reader(&log);
  reader.setStore(std::string(LODEMIG_SOURCE_DIR) + "/examples", "example.com");
  Domain domain(&log);
  std::map<std::string, std::string> passwords;
  std::map<std::string, FolderType> types;
  int messages = 0;
  int domains = 0;
  for (bool more = reader.firstDomain(domain, "*"); more && domains < 10;
       more = reader.nextDomain(domain, "*")) {
    ++domains;
    Mailbox mailbox(&log);
    for (bool next = domain.firstMailbox(mailbox, "*"); next;
         next = domain.nextMailbox(mailbox, "*")) {
      passwords[domain.name() + "/" + mailbox.name()] = mailbox.password();
      std::vector<Folder> folders;
      mailbox.readFolders(folders);
      for (Folder& folder : folders) {
        types[mailbox.name() + "/" + folder.name()] = folder.type();
        Message message(&folder);
        folder.open(mailbox.name());
        int count = 0;
        for (bool any = folder.firstMessage(message); any && count < 100;
             any = folder.nextMessage(message)) {
          ++count;
          EXPECT_GT(message.contentSize(), 0u) << folder.name();
          EXPECT_FALSE(message.internalDate().empty()) << folder.name();
          EXPECT_EQ(message.flags().find("\\Recent"), std::string::npos) << folder.name();
        }
        folder.close();
        EXPECT_EQ(count, folder.messageCount()) << mailbox.name() << "/" << folder.name();
        messages += count;
      }
    }
  }
  EXPECT_EQ(domains, 2);
  EXPECT_EQ(passwords, (std::map<std::string, std::string>{{"example.com/john", "Sunrise-42"},
                                                           {"example.com/mary", ""},
                                                           {"example.org/bob", "Rack-7-Bob"}}));
  EXPECT_EQ(types["john/Calendar"], kFolderTypeCalendar);
  EXPECT_EQ(types["john/Contacts"], kFolderTypeContacts);
  EXPECT_EQ(types["john/Archive/2007"], kFolderTypeMail);
  EXPECT_EQ(messages, 17);
  EXPECT_EQ(log.str().find("Warning"), std::string::npos) << log.str();
  EXPECT_EQ(log.str().find("Error"), std::string::npos) << log.str();
}

}  // namespace
}  // namespace lodemig
