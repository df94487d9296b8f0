#ifndef LODEMIG_STORE_MESSAGE_STAMPS_H_
#define LODEMIG_STORE_MESSAGE_STAMPS_H_

#include <string>
#include <string_view>

// What the store writes about a message besides its bytes, and how it reads
// as IMAP: flag letters, the timestamps of mailbox headers and message file
// names, and the file names of folders. Pure functions.

namespace lodemig {

// "Archive/2007" -> "Archive.folder/2007": where a folder's file lies relative
// to the account path.
std::string folderFileName(const std::string& name);
// "Jan".."Dec" for 1..12, else empty.
std::string monthName(int month);
// Flag letters to the IMAP flag list text ("SA" -> "\Seen \Answered ").
std::string convertFlags(const std::string& letters);
// A mailbox header's timestamp ("Wed Jun 30 21:49:08 1993" or
// "30-6-1993_21:49:08_") as IMAP date-time text ("30-Jun-1993 21:49:08 +0000");
// empty when it is longer than 80 bytes, of another form or out of range.
std::string convertHeaderTimestamp(const std::string& text);
// A message file name's "YYYYMMDDhhmmss" as IMAP date-time text; empty when it
// does not scan or is out of range. Bytes after the fourteenth digit are ignored.
std::string convertNameTimestamp(const std::string& text);
// The two conversions above read the common exact forms by hand and leave the
// rest to these, which do it all with sscanf; they give the same results.
std::string scanHeaderTimestamp(const std::string& text);
std::string scanNameTimestamp(const std::string& text);

// The in-place forms the reader uses per message, reusing `date` and `flags`.
void headerTimestampInto(std::string_view text, std::string& date);
void nameTimestampInto(std::string_view text, std::string& date);
void flagsInto(std::string_view letters, std::string& flags);
// "PREFIX-FLAGS-TIME-REST": only a name with at least three '-' carries flag
// letters and a time; otherwise both come back empty.
void splitMessageFileName(const std::string& name, std::string& flags, std::string& time);

}  // namespace lodemig

#endif  // LODEMIG_STORE_MESSAGE_STAMPS_H_
