#ifndef LODEMIG_DAV_DAV_URL_H_
#define LODEMIG_DAV_DAV_URL_H_

#include <string>
#include <string_view>

namespace lodemig {

// An http:// or https:// URL split as the DAV client needs it. Any user
// name and password in it are dropped, so that no message can show them;
// a query and a fragment too.
struct DavUrl {
  std::string scheme;  // "http" or "https", lower case
  std::string host;    // as written ("[::1]" keeps its brackets), without the port
  std::string port;    // "" when the URL names none
  std::string path;    // from its first "/", "" when it has none

  // scheme://host[:port], without a "/".
  std::string origin() const;
  std::string text() const { return origin() + path; }
};

// `text` split; false when it is not an http:// or https:// URL with a host.
bool parseDavUrl(std::string_view text, DavUrl& url);

// Where `href` (an absolute URL, a path, or a path relative to `base`'s last
// "/") points, seen from `base`; false when it is an absolute URL of another
// scheme than http and https.
bool resolveHref(const DavUrl& base, std::string_view href, DavUrl& resolved);

// `text` with every byte but the unreserved ones (letters, digits, "-._~")
// as %XX: one path level.
std::string percentEncode(std::string_view text);
// `text` with %XX decoded; a "%" not followed by two hex digits stays.
std::string percentDecode(std::string_view text);

// A path, decoded, without its trailing "/": how two hrefs of the same
// resource compare, whichever way a server encoded them.
std::string comparablePath(std::string_view path);
// The last level of a path, decoded ("" for "/").
std::string lastPathLevel(std::string_view path);

// One path level made from a collection's display name: letters, digits and
// "-_." as they are, "/", "\" and "~" as "-" (servers that store collections
// as directories would nest, or take "~" for a backup), a leading "." as "_"
// (a hidden directory), every other byte percent-encoded; at most about 120
// bytes; "collection" for an empty name.
std::string collectionPathLevel(std::string_view displayName);

}  // namespace lodemig

#endif  // LODEMIG_DAV_DAV_URL_H_
