#ifndef LODEMIG_DAV_MIME_BODY_H_
#define LODEMIG_DAV_MIME_BODY_H_

#include <string>
#include <string_view>
#include <vector>

namespace lodemig {

// Finds in `message` (header, blank line, body; any line ends) the first
// body whose Content-Type is one of `types` (lower-case, "text/calendar"):
// the message's own or a part of a multipart body (also nested, and inside
// an attached message, to a bounded depth), searched in order. Its bytes are
// decoded from base64 or quoted-printable as its Content-Transfer-Encoding
// says; the charset is kept as it is. A message without any Content-Type
// whose body starts with `signature` ("BEGIN:VCALENDAR", any case) counts
// too: some writers leave the header out. Returns "" and sets `body`, or
// why not: "no text/calendar part" (the first of `types`), "its base64 is
// broken".
std::string findMimeBody(std::string_view message, const std::vector<std::string>& types,
                         std::string_view signature, std::string& body);

// Decodes quoted-printable: "=XX" becomes its byte, "=" at a line's end
// joins the lines, anything else (a "=" not followed by two hex digits
// included) is kept.
std::string decodeQuotedPrintable(std::string_view text);

}  // namespace lodemig

#endif  // LODEMIG_DAV_MIME_BODY_H_
