#include "dav/dav_http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "dav/dav_xml.h"
#include "utils/ascii.h"

namespace lodemig {
namespace {

constexpr std::size_t kMaxExcerpt = 200;

#ifdef LODEMIG_VERSION
constexpr char kUserAgent[] = "lodemig/" LODEMIG_VERSION;
#else
constexpr char kUserAgent[] = "lodemig";
#endif

size_t onBody(char* data, size_t size, size_t count, void* target) {
  auto* answer = static_cast<HttpAnswer*>(target);
  if (answer->body.size() + size * count > kMaxXmlSize) {
    answer->tooLarge = true;
    return 0;
  }
  answer->body.append(data, size * count);
  return size * count;
}

// Every status line starts a new answer (a 100 Continue's headers come
// before the real one's).
size_t onHeader(char* data, size_t size, size_t count, void* target) {
  auto* answer = static_cast<HttpAnswer*>(target);
  const std::string_view line(data, size * count);
  if (startsWithNoCase(line, "http/")) {
    const std::size_t space = line.find(' ');
    const std::string rest = space == std::string_view::npos ? "" : trimmed(line.substr(space));
    answer->status = std::atol(rest.c_str());
    answer->reason =
        trimmed(rest.substr(std::min(rest.size(), rest.find_first_not_of("0123456789"))));
    answer->location.clear();
    answer->offersBasic = answer->offersDigest = false;
  } else if (startsWithNoCase(line, "location:")) {
    answer->location = trimmed(line.substr(9));
  } else if (startsWithNoCase(line, "www-authenticate:")) {
    const std::string scheme = trimmed(line.substr(17));
    answer->offersDigest |= startsWithNoCase(scheme, "digest");
    answer->offersBasic |= startsWithNoCase(scheme, "basic");
  }
  return size * count;
}

// A short, printable piece of an error answer's body: white space runs and
// control bytes as one space, other bytes beyond ASCII as "?".
std::string excerpt(const std::string& body) {
  std::string out;
  std::size_t at = 0;
  for (; at < body.size() && out.size() < kMaxExcerpt; ++at) {
    const auto c = static_cast<unsigned char>(body[at]);
    const char shown = c <= 0x20 || c == 0x7F ? ' ' : c >= 0x80 ? '?' : static_cast<char>(c);
    if (shown != ' ' || (!out.empty() && out.back() != ' ')) {
      out += shown;
    }
  }
  out = trimmed(out);
  return at < body.size() && !trimmed(body.substr(at)).empty() ? out + "..." : out;
}

}  // namespace

std::string trimmed(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
    ++begin;
  }
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
    --end;
  }
  return std::string(text.substr(begin, end - begin));
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return ostrel::utils::equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

HttpSession::HttpSession(const DavSettings& settings, const std::string& login,
                         const std::string& password)
    : error_(CURL_ERROR_SIZE, '\0') {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    throw DavException("cannot set up an HTTP client for " + settings.url, 0);
  }
  curl_ = curl;
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error_.data());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_USERNAME, login.c_str());
  curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, settings.timeoutSeconds);
  // A server that stops sending for the time-out ends the request; a long
  // answer that keeps coming does not.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, settings.timeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
  if (settings.insecure) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  } else if (!settings.caFile.empty()) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, settings.caFile.c_str());
  }
}

HttpSession::~HttpSession() {
  curl_easy_cleanup(static_cast<CURL*>(curl_));
}

HttpAnswer HttpSession::perform(const std::string& method, const std::string& url,
                                const std::string& depth, const std::string& contentType,
                                const std::string& body, const std::vector<std::string>& extra) {
  CURL* curl = static_cast<CURL*>(curl_);
  // A server that asks for Digest alone gets the request once more, with it.
  for (int attempt = 0;; ++attempt) {
    HttpAnswer answer;
    // No "Expect: 100-continue": some servers never answer it, and the body
    // would wait for curl's timer.
    std::vector<std::string> lines = {"Content-Type: " + contentType, "Expect:"};
    if (!depth.empty()) {
      lines.push_back("Depth: " + depth);
    }
    lines.insert(lines.end(), extra.begin(), extra.end());
    curl_slist* headers = nullptr;
    for (const std::string& line : lines) {
      headers = curl_slist_append(headers, line.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
    error_[0] = '\0';
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    if (answer.tooLarge) {
      throw DavException(
          method + " " + url + ": answer larger than " + std::to_string(kMaxXmlSize >> 20) + " MiB",
          answer.status);
    }
    if (code != CURLE_OK) {
      const std::string cause = error_[0] != '\0' ? error_.data() : curl_easy_strerror(code);
      throw DavException(method + " " + url + ": " + cause, 0);
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    if (answer.status == 401 && attempt == 0 && !digest_ && answer.offersDigest &&
        !answer.offersBasic) {
      digest_ = true;
      curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_DIGEST);
      continue;
    }
    return answer;
  }
}

void failHttp(const std::string& method, const std::string& url, const HttpAnswer& answer) {
  std::string message = method + " " + url + ": " + std::to_string(answer.status);
  if (!answer.reason.empty()) {
    message += " " + answer.reason;
  }
  const std::string piece = excerpt(answer.body);
  if (!piece.empty()) {
    message += " (" + piece + ")";
  }
  throw DavException(message, answer.status);
}

}  // namespace lodemig
