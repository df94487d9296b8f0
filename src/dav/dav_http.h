#ifndef LODEMIG_DAV_DAV_HTTP_H_
#define LODEMIG_DAV_DAV_HTTP_H_

#include <string>
#include <string_view>
#include <vector>

#include "dav/dav_client.h"

namespace lodemig {

// What the server answered to one request.
struct HttpAnswer {
  long status = 0;
  std::string reason;    // the status line's text ("" over HTTP/2)
  std::string body;      // at most kMaxXmlSize bytes
  std::string location;  // the Location header, "" without one
  bool offersDigest = false;
  bool offersBasic = false;
  bool tooLarge = false;
};

// One libcurl easy handle with the run's TLS rules and one login: its
// connection is kept between requests. Only http and https, no redirect
// followed by itself, Basic sent with the first request (Digest when a
// server asks for it alone). Not for several threads at once.
class HttpSession {
 public:
  // Throws DavException when libcurl cannot make a handle.
  HttpSession(const DavSettings& settings, const std::string& login, const std::string& password);
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // Sends `method` to `url` with `body` and the headers Content-Type,
  // Depth (unless ""), and `extra`; any HTTP answer is returned. Throws
  // DavException (status 0) when none came, naming method, URL and
  // libcurl's cause; also for an answer over kMaxXmlSize.
  HttpAnswer perform(const std::string& method, const std::string& url, const std::string& depth,
                     const std::string& contentType, const std::string& body,
                     const std::vector<std::string>& extra = {});

 private:
  void* curl_ = nullptr;
  std::vector<char> error_;
  bool digest_ = false;
};

// Throws the DavException of an unexpected answer: "METHOD URL: 403
// Forbidden (a short printable piece of the body)".
[[noreturn]] void failHttp(const std::string& method, const std::string& url,
                           const HttpAnswer& answer);

// `text` without leading and trailing white space.
std::string trimmed(std::string_view text);
// True when `text` starts with the lower-case `prefix`, in any case.
bool startsWithNoCase(std::string_view text, std::string_view prefix);

}  // namespace lodemig

#endif  // LODEMIG_DAV_DAV_HTTP_H_
