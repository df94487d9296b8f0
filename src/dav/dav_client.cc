#include "dav/dav_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <set>
#include <utility>

#include "dav/dav_http.h"
#include "dav/dav_url.h"
#include "dav/dav_xml.h"
#include "imap/sasl.h"

namespace lodemig {
namespace {

constexpr int kMaxRedirects = 5;
constexpr int kMaxPathTries = 100;

// One <response> of a 207 answer: its href resolved, and the properties
// its successful propstats hold.
struct Response {
  DavUrl url;
  XmlElement props;
};

bool isSuccess(const std::string& statusLine) {
  const std::size_t space = statusLine.find(' ');
  return space != std::string::npos && statusLine.compare(space + 1, 1, "2") == 0;
}

// The value of a content line named `name` ("UID:x", "UID;X-P=\"a:b\":x");
// false for a line of another name.
bool propertyValue(const std::string& line, std::string_view name, std::string& value) {
  if (line.size() <= name.size() || !startsWithNoCase(line, name) ||
      (line[name.size()] != ':' && line[name.size()] != ';')) {
    return false;
  }
  bool quoted = false;
  for (std::size_t i = name.size(); i < line.size(); ++i) {
    quoted = line[i] == '"' ? !quoted : quoted;
    if (line[i] == ':' && !quoted) {
      value = line.substr(i + 1);
      return true;
    }
  }
  return false;
}

// The UID of an iCalendar or vCard text: its first UID line, unfolded,
// outside an alarm (whose own UID names the alarm, not the item).
std::string uidOf(const std::string& data) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < data.size();) {
    std::size_t end = data.find('\n', at);
    end = end == std::string::npos ? data.size() : end;
    std::string piece = data.substr(at, end - at);
    if (!piece.empty() && piece.back() == '\r') {
      piece.pop_back();
    }
    if (!lines.empty() && !piece.empty() && (piece[0] == ' ' || piece[0] == '\t')) {
      lines.back() += piece.substr(1);
    } else {
      lines.push_back(std::move(piece));
    }
    at = end + 1;
  }
  int alarms = 0;
  std::string value;
  for (const std::string& line : lines) {
    if (propertyValue(line, "begin", value) || propertyValue(line, "end", value)) {
      const bool alarm = startsWithNoCase(value, "valarm");
      alarms += alarm ? (startsWithNoCase(line, "begin") ? 1 : -1) : 0;
    } else if (alarms == 0 && propertyValue(line, "uid", value)) {
      return value;
    }
  }
  return std::string();
}

// The home a principal's answer names; the principal itself when it names
// none (a server that keeps collections right there).
DavUrl homeSet(const std::vector<Response>& answer, const char* ns, const char* name,
               const DavUrl& principal) {
  for (const Response& response : answer) {
    const XmlElement* set = response.props.child(ns, name);
    const XmlElement* href = set != nullptr ? set->child(kDavNs, "href") : nullptr;
    DavUrl home;
    if (href != nullptr && resolveHref(response.url, trimmed(href->text), home)) {
      return home;
    }
  }
  return principal;
}

std::string propfindBody(const std::string& props) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:propfind xmlns:D=\"DAV:\" xmlns:C=\"" +
         std::string(kCalDavNs) + "\" xmlns:A=\"" + kCardDavNs + "\"><D:prop>" + props +
         "</D:prop></D:propfind>";
}

}  // namespace

struct DavClient::Session {
  DavSettings settings;
  std::string login;
  std::string password;
  DavUrl server;
  std::unique_ptr<HttpSession> http;
  bool discovered = false;
  DavUrl calendarHome;
  DavUrl addressBookHome;

  HttpAnswer perform(const std::string& method, const DavUrl& url, const std::string& depth,
                     const std::string& body, const std::vector<std::string>& extra = {},
                     const std::string& type = "application/xml; charset=utf-8") {
    return http->perform(method, url.text(), depth, type, body, extra);
  }
  [[noreturn]] void fail(const std::string& method, const DavUrl& url,
                         const HttpAnswer& answer) const {
    failHttp(method, url.text(), answer);
  }
  std::vector<Response> multistatus(const std::string& method, const DavUrl& url,
                                    const HttpAnswer& answer) const;
  std::vector<Response> propfind(const DavUrl& url, const std::string& depth,
                                 const std::string& props);
  DavUrl principal(DavUrl url, bool wellKnown);
  const DavUrl& home(DavKind kind) const {
    return kind == DavKind::Calendar ? calendarHome : addressBookHome;
  }
  std::vector<DavCollection> collectionsOf(const DavUrl& home, std::set<std::string>* taken);
  DavUrl at(DavKind kind, const std::string& path) const {
    DavUrl url = home(kind);
    url.path = path;
    return url;
  }
};

std::vector<Response> DavClient::Session::multistatus(const std::string& method, const DavUrl& url,
                                                      const HttpAnswer& answer) const {
  if (answer.status != 207) {
    fail(method, url, answer);
  }
  XmlElement root;
  try {
    root = parseXml(answer.body);
  } catch (const XmlException& e) {
    throw DavException(method + " " + url.text() + ": " + e.what(), answer.status);
  }
  if (root.ns != kDavNs || root.name != "multistatus") {
    throw DavException(method + " " + url.text() + ": the answer is not a DAV multistatus",
                       answer.status);
  }
  std::vector<Response> responses;
  for (const XmlElement* response : root.all(kDavNs, "response")) {
    const XmlElement* href = response->child(kDavNs, "href");
    Response parsed;
    if (href == nullptr || !resolveHref(url, trimmed(href->text), parsed.url)) {
      continue;
    }
    for (const XmlElement* propstat : response->all(kDavNs, "propstat")) {
      const XmlElement* status = propstat->child(kDavNs, "status");
      const XmlElement* prop = propstat->child(kDavNs, "prop");
      if (prop != nullptr && (status == nullptr || isSuccess(trimmed(status->text)))) {
        parsed.props.children.insert(parsed.props.children.end(), prop->children.begin(),
                                     prop->children.end());
      }
    }
    responses.push_back(std::move(parsed));
  }
  return responses;
}

std::vector<Response> DavClient::Session::propfind(const DavUrl& url, const std::string& depth,
                                                   const std::string& props) {
  const HttpAnswer answer = perform("PROPFIND", url, depth, propfindBody(props));
  return multistatus("PROPFIND", url, answer);
}

// The principal the URL names for the login, after at most a few redirects
// that stay on the host and never leave TLS. A server without principals:
// the URL itself.
DavUrl DavClient::Session::principal(DavUrl url, bool wellKnown) {
  const std::string props = "<D:current-user-principal/>";
  for (int redirects = 0;; ++redirects) {
    const HttpAnswer answer = perform("PROPFIND", url, "0", propfindBody(props));
    if (answer.status >= 300 && answer.status < 400 && !answer.location.empty()) {
      DavUrl next;
      if (redirects == kMaxRedirects || !resolveHref(url, answer.location, next) ||
          next.host != url.host || (url.scheme == "https" && next.scheme != "https")) {
        throw DavException(
            "PROPFIND " + url.text() + ": redirect to " + answer.location + " not followed",
            answer.status);
      }
      url = next;
      continue;
    }
    if (wellKnown && answer.status != 207 && answer.status != 401) {
      // No well-known redirect: try the server's root instead.
      DavUrl root = server;
      root.path = "/";
      return principal(root, false);
    }
    for (const Response& response : multistatus("PROPFIND", url, answer)) {
      const XmlElement* found = response.props.child(kDavNs, "current-user-principal");
      const XmlElement* href = found != nullptr ? found->child(kDavNs, "href") : nullptr;
      DavUrl resolved;
      if (href != nullptr && resolveHref(url, trimmed(href->text), resolved)) {
        return resolved;
      }
    }
    return url;
  }
}

DavClient::DavClient(const DavSettings& settings, const std::string& user,
                     const std::string& password)
    : session_(std::make_unique<Session>()) {
  Session& s = *session_;
  s.settings = settings;
  s.login = settings.loginForm.empty()
                ? user
                : loginNameFromForm(settings.loginForm, user, settings.admin);
  s.password = settings.loginForm.empty() ? password : settings.adminPassword;
  if (!parseDavUrl(settings.url, s.server)) {
    throw DavException("not an http:// or https:// URL: " + settings.url, 0);
  }
  s.calendarHome = s.addressBookHome = s.server;
  s.http = std::make_unique<HttpSession>(settings, s.login, s.password);
}

DavClient::~DavClient() = default;

const std::string& DavClient::login() const {
  return session_->login;
}

void DavClient::discover() {
  Session& s = *session_;
  if (s.discovered) {
    return;
  }
  const bool bare = s.server.path.empty() || s.server.path == "/";
  DavUrl start = s.server;
  if (bare) {
    start.path = "/.well-known/caldav";
  }
  const DavUrl calendarPrincipal = s.principal(start, bare);
  DavUrl cardPrincipal = calendarPrincipal;
  if (bare) {
    start.path = "/.well-known/carddav";
    cardPrincipal = s.principal(start, true);
  }
  const std::string props = "<C:calendar-home-set/><A:addressbook-home-set/>";
  const std::vector<Response> calendarAnswer = s.propfind(calendarPrincipal, "0", props);
  const std::vector<Response> cardAnswer = cardPrincipal.text() == calendarPrincipal.text()
                                               ? calendarAnswer
                                               : s.propfind(cardPrincipal, "0", props);
  s.calendarHome = homeSet(calendarAnswer, kCalDavNs, "calendar-home-set", calendarPrincipal);
  s.addressBookHome = homeSet(cardAnswer, kCardDavNs, "addressbook-home-set", cardPrincipal);
  for (DavUrl* home : {&s.calendarHome, &s.addressBookHome}) {
    if (home->path.empty() || home->path.back() != '/') {
      home->path += "/";
    }
  }
  s.discovered = true;
}

// The calendars and address books right under `home`; every path taken
// there, whatever it holds, into *taken (decoded, without a trailing "/").
std::vector<DavCollection> DavClient::Session::collectionsOf(const DavUrl& home,
                                                             std::set<std::string>* taken) {
  std::vector<DavCollection> found;
  const std::string homePath = comparablePath(home.path);
  for (const Response& response : propfind(home, "1", "<D:resourcetype/><D:displayname/>")) {
    const std::string path = comparablePath(response.url.path);
    if (taken != nullptr) {
      taken->insert(path);
    }
    const XmlElement* type = response.props.child(kDavNs, "resourcetype");
    if (type == nullptr || path == homePath) {
      continue;
    }
    DavCollection collection;
    if (type->child(kCalDavNs, "calendar") != nullptr) {
      collection.kind = DavKind::Calendar;
    } else if (type->child(kCardDavNs, "addressbook") != nullptr) {
      collection.kind = DavKind::AddressBook;
    } else {
      continue;
    }
    collection.href = response.url.path;
    if (collection.href.empty() || collection.href.back() != '/') {
      collection.href += "/";
    }
    const XmlElement* name = response.props.child(kDavNs, "displayname");
    collection.displayName = name != nullptr ? name->text : std::string();
    found.push_back(std::move(collection));
  }
  return found;
}

std::vector<DavCollection> DavClient::collections() {
  discover();
  Session& s = *session_;
  std::vector<DavCollection> all = s.collectionsOf(s.calendarHome, nullptr);
  if (s.addressBookHome.text() != s.calendarHome.text()) {
    for (DavCollection& collection : s.collectionsOf(s.addressBookHome, nullptr)) {
      if (collection.kind == DavKind::AddressBook) {
        all.push_back(std::move(collection));
      }
    }
  }
  return all;
}

namespace {

std::string makeBody(const std::string& name, DavKind kind,
                     const std::vector<std::string>& components) {
  std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  if (kind == DavKind::AddressBook) {
    return body + "<D:mkcol xmlns:D=\"DAV:\" xmlns:A=\"" + kCardDavNs +
           "\"><D:set><D:prop><D:resourcetype><D:collection/><A:addressbook/></D:resourcetype>"
           "<D:displayname>" +
           xmlEscape(name) + "</D:displayname></D:prop></D:set></D:mkcol>";
  }
  body += "<C:mkcalendar xmlns:D=\"DAV:\" xmlns:C=\"" + std::string(kCalDavNs) +
          "\"><D:set><D:prop><D:displayname>" + xmlEscape(name) + "</D:displayname>";
  if (!components.empty()) {
    body += "<C:supported-calendar-component-set>";
    for (const std::string& component : components) {
      body += "<C:comp name=\"" + xmlEscape(component) + "\"/>";
    }
    body += "</C:supported-calendar-component-set>";
  }
  return body + "</D:prop></D:set></C:mkcalendar>";
}

}  // namespace

DavCollection DavClient::ensureCollection(const std::string& name, DavKind kind,
                                          const std::vector<std::string>& components) {
  discover();
  Session& s = *session_;
  const DavUrl& home = s.home(kind);
  // XML cannot carry control characters, and servers keep line ends as
  // they please: the name is sent, and looked for, with "?" for each.
  std::string wanted = name;
  std::replace_if(
      wanted.begin(), wanted.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; },
      '?');
  std::set<std::string> taken;
  for (const DavCollection& collection : s.collectionsOf(home, &taken)) {
    if (collection.kind == kind && collection.displayName == wanted) {
      return collection;
    }
  }
  const std::string level = collectionPathLevel(name);
  const std::string method = kind == DavKind::Calendar ? "MKCALENDAR" : "MKCOL";
  for (int attempt = 1; attempt <= kMaxPathTries; ++attempt) {
    DavUrl url = home;
    url.path += level + (attempt == 1 ? "" : "-" + std::to_string(attempt)) + "/";
    if (taken.count(comparablePath(url.path)) != 0) {
      continue;
    }
    const HttpAnswer answer = s.perform(method, url, "", makeBody(wanted, kind, components));
    if (answer.status == 201) {
      return DavCollection{url.path, wanted, kind};
    }
    // Made by someone else since the listing: take the next path.
    if (answer.status != 405 && answer.body.find("resource-must-be-null") == std::string::npos) {
      s.fail(method, url, answer);
    }
  }
  throw DavException(method + " " + home.text() + ": no free path for the collection \"" + name +
                         "\" after " + std::to_string(kMaxPathTries) + " tries",
                     0);
}

DavPutResult DavClient::put(const DavCollection& collection, const DavItem& item, bool replace) {
  discover();
  Session& s = *session_;
  const DavUrl url = s.at(collection.kind, collection.href + percentEncode(item.name));
  const std::string type = collection.kind == DavKind::Calendar ? "text/calendar; charset=utf-8"
                                                                : "text/vcard; charset=utf-8";
  std::vector<std::string> extra;
  if (!replace) {
    extra.push_back("If-None-Match: *");
  }
  const HttpAnswer answer = s.perform("PUT", url, "", item.text, extra, type);
  if (answer.status == 412 && !replace) {
    return DavPutResult::Exists;
  }
  // Some servers answer 201 to a PUT over an existing resource too, so a
  // replacing PUT counts as such whatever success it gets.
  if (answer.status == 200 || answer.status == 201 || answer.status == 204) {
    return replace ? DavPutResult::Replaced : DavPutResult::Created;
  }
  s.fail("PUT", url, answer);
}

std::vector<DavResource> DavClient::list(const DavCollection& collection) {
  discover();
  Session& s = *session_;
  const DavUrl url = s.at(collection.kind, collection.href);
  std::vector<DavResource> found;
  for (const Response& response : s.propfind(url, "1", "<D:resourcetype/><D:getetag/>")) {
    const XmlElement* type = response.props.child(kDavNs, "resourcetype");
    if (comparablePath(response.url.path) == comparablePath(url.path) ||
        (type != nullptr && type->child(kDavNs, "collection") != nullptr)) {
      continue;
    }
    const XmlElement* etag = response.props.child(kDavNs, "getetag");
    found.push_back(
        {lastPathLevel(response.url.path), etag != nullptr ? trimmed(etag->text) : "", ""});
  }
  return found;
}

std::vector<DavResource> DavClient::resources(const DavCollection& collection) {
  discover();
  Session& s = *session_;
  const DavUrl url = s.at(collection.kind, collection.href);
  const bool calendar = collection.kind == DavKind::Calendar;
  const std::string body =
      std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n") +
      (calendar ? "<C:calendar-query xmlns:D=\"DAV:\" xmlns:C=\"" + std::string(kCalDavNs) +
                      "\"><D:prop><D:getetag/><C:calendar-data/></D:prop><C:filter>"
                      "<C:comp-filter name=\"VCALENDAR\"/></C:filter></C:calendar-query>"
                : "<A:addressbook-query xmlns:D=\"DAV:\" xmlns:A=\"" + std::string(kCardDavNs) +
                      "\"><D:prop><D:getetag/><A:address-data/></D:prop><A:filter/>"
                      "</A:addressbook-query>");
  const HttpAnswer answer = s.perform("REPORT", url, "1", body);
  std::vector<DavResource> found;
  for (const Response& response : s.multistatus("REPORT", url, answer)) {
    if (comparablePath(response.url.path) == comparablePath(url.path)) {
      continue;
    }
    const XmlElement* etag = response.props.child(kDavNs, "getetag");
    const XmlElement* data = response.props.child(calendar ? kCalDavNs : kCardDavNs,
                                                  calendar ? "calendar-data" : "address-data");
    found.push_back({lastPathLevel(response.url.path), etag != nullptr ? trimmed(etag->text) : "",
                     data != nullptr ? uidOf(data->text) : ""});
  }
  return found;
}

void initDavClients() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace lodemig
