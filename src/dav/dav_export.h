#ifndef LODEMIG_DAV_DAV_EXPORT_H_
#define LODEMIG_DAV_DAV_EXPORT_H_

#include <memory>
#include <string>

#include "dav/dav_item.h"

namespace lodemig {

// -davExport DIR: the items of one folder written as one file, for servers
// without DAV access or an import by hand: DIR/<domain>/<account>/<folder>.ics
// (one VCALENDAR holding every item's components, each VTIMEZONE once) or
// .vcf (the VCARDs one after the other). The folder's path levels become
// directories; a level that is empty, "." or "..", or holds a character a
// file name cannot, is written safely: "%" for an empty level, "%2E" for
// "." and "%2E%2E" for "..", "%XX" for control bytes, '/', '\' and '%'
// itself (so two names never meet), a level over 200 bytes cut and ended by
// "~" and a digest. Files are written beside their name and renamed when
// whole (mode 0600), so an earlier run's file is replaced only by a whole
// one; directories are made (0700) as needed and never followed through a
// link. Items are streamed: only the time zones seen are kept in memory.
// Throws QLStoreException naming the file (or directory) and the cause.
class DavExport {
 public:
  explicit DavExport(std::string directory);
  ~DavExport();  // an unfinished file is removed
  DavExport(const DavExport&) = delete;
  DavExport& operator=(const DavExport&) = delete;

  // Starts the file of `folder` (the store's name, levels split by "/") of
  // account `user`@`domain`; a file begun and not ended is dropped. Throws
  // when a directory cannot be made or the file cannot be created.
  void beginFolder(const std::string& domain, const std::string& user, const std::string& folder,
                   DavKind kind);
  // Writes the item (a calendar item's components and its time zones not
  // written yet). Throws when it cannot be written or is no calendar.
  void add(const DavItem& item);
  // Writes the file whole and returns its path. A folder without items
  // writes no file (a VCALENDAR without a component is not valid) and
  // returns ""; a file an earlier run wrote for it is left as it was.
  std::string endFolder();

 private:
  struct Open;
  std::string directory_;
  std::unique_ptr<Open> open_;
};

}  // namespace lodemig

#endif  // LODEMIG_DAV_DAV_EXPORT_H_
