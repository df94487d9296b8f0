#ifndef LODEMIG_DAV_DAV_CLIENT_H_
#define LODEMIG_DAV_DAV_CLIENT_H_

#include <memory>
#include <string>
#include <vector>

#include "dav/dav_item.h"
#include "utils/ql_exception.h"

namespace lodemig {

// How the run reaches its CalDAV/CardDAV server: what the command line says.
struct DavSettings {
  std::string url;  // -davServer: http:// or https://, with or without a path
  // -davLoginForm: the login name pattern ("USER*ADMIN"); with it every
  // account logs in with the administrator's password. "": the account's
  // own name (user@domain) and the password the migration knows for it.
  std::string loginForm;
  std::string admin;          // the administrator a login form names
  std::string adminPassword;  // the password used with a login form
  // TLS as for the IMAP connection: certificates checked against the
  // system's authorities or `caFile`; `insecure` checks nothing.
  std::string caFile;
  bool insecure = false;
  long timeoutSeconds = 180;
};

// A DAV request that failed: the server's status and text, or the
// transport's cause. `status` is 0 when no HTTP answer came (the server
// cannot be reached, TLS failed, a time-out).
class DavException : public QLException {
 public:
  DavException(const std::string& what, long status) : QLException(what), status_(status) {}
  long status() const { return status_; }

 private:
  long status_;
};

// A calendar or address-book collection of the account.
struct DavCollection {
  std::string href;         // the server's path of it, ending with "/"
  std::string displayName;  // "" when the server gave none
  DavKind kind = DavKind::Calendar;
};

// A resource of a collection as the server holds it.
struct DavResource {
  std::string name;  // the last level of its href, decoded
  std::string etag;
  std::string uid;  // from its calendar-data / address-data
};

// What a PUT did.
enum class DavPutResult {
  Created,   // the resource is new
  Exists,    // If-None-Match: * was refused (412): it is there already
  Replaced,  // an existing resource was written over (a changed item)
};

// One account's session with the DAV server, over libcurl (one easy handle,
// its connection reused). Every request that fails throws DavException
// whose text names the request, the URL and the cause ("PROPFIND
// https://h/dav/: 401 Unauthorized"). Not for several threads at once; each
// job has its own.
class DavClient {
 public:
  DavClient(const DavSettings& settings, const std::string& user, const std::string& password);
  ~DavClient();
  DavClient(const DavClient&) = delete;
  DavClient& operator=(const DavClient&) = delete;

  // The login name the client sends (user@domain, or the form's).
  const std::string& login() const;

  // Finds the account's calendar and address-book homes: the URL's
  // current-user-principal (or, when the URL has no path, the
  // /.well-known/caldav and /.well-known/carddav redirects first, RFC 6764),
  // then the principal's calendar-home-set and addressbook-home-set.
  // Called by the others when not yet done.
  void discover();
  // Every calendar and address-book collection of the account's homes.
  std::vector<DavCollection> collections();
  // The collection of `kind` whose display name is `name`, made where
  // missing under its home (MKCALENDAR with the component set, or an
  // extended MKCOL, RFC 4791 / 6352), at a path made from the name.
  // `components`: for a calendar, the component names it is made for
  // ("VEVENT", "VTODO" ...).
  DavCollection ensureCollection(const std::string& name, DavKind kind,
                                 const std::vector<std::string>& components);
  // Stores `item` as collection/item.name: with If-None-Match: * unless
  // `replace`, then over what is there.
  DavPutResult put(const DavCollection& collection, const DavItem& item, bool replace = false);
  // The resources the collection holds, names and ETags only (PROPFIND,
  // Depth 1): what a run asks before it stores a collection's items, so
  // that a re-run sends nothing the server has.
  std::vector<DavResource> list(const DavCollection& collection);
  // The same with their UIDs (a REPORT calendar-query / addressbook-query
  // asking for the data), for a verification.
  std::vector<DavResource> resources(const DavCollection& collection);

 private:
  struct Session;
  std::unique_ptr<Session> session_;
};

// libcurl's global set-up, once per process before any thread starts a
// client.
void initDavClients();

}  // namespace lodemig

#endif  // LODEMIG_DAV_DAV_CLIENT_H_
