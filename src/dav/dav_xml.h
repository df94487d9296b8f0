#ifndef LODEMIG_DAV_DAV_XML_H_
#define LODEMIG_DAV_DAV_XML_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "utils/ql_exception.h"

namespace lodemig {

// The namespaces of the answers the DAV client reads.
inline constexpr char kDavNs[] = "DAV:";
inline constexpr char kCalDavNs[] = "urn:ietf:params:xml:ns:caldav";
inline constexpr char kCardDavNs[] = "urn:ietf:params:xml:ns:carddav";

// An XML document the reader refuses; what() says why and where (byte
// offset).
class XmlException : public QLException {
 public:
  using QLException::QLException;
};

// One element of a parsed document, its name resolved to its namespace (the
// prefix a server chose does not matter).
struct XmlElement {
  std::string ns;    // the namespace's URI; "" for none
  std::string name;  // the local name
  std::string text;  // the character data directly inside, entities and CDATA decoded
  std::vector<std::pair<std::string, std::string>> attributes;  // local name, value
  std::vector<XmlElement> children;

  // The first child named (wantedNs, wantedName); nullptr when none is.
  const XmlElement* child(std::string_view wantedNs, std::string_view wantedName) const;
  // Every child named (wantedNs, wantedName), in document order.
  std::vector<const XmlElement*> all(std::string_view wantedNs, std::string_view wantedName) const;
  // The value of the attribute `wanted`; "" when it is absent.
  std::string attribute(std::string_view wanted) const;
};

// Limits that keep a hostile answer from exhausting the process.
inline constexpr std::size_t kMaxXmlSize = 64u << 20;
inline constexpr int kMaxXmlDepth = 64;

// The root element of `text`, a whole document in UTF-8: namespaces (default
// and prefixed, scoped), the five named entities and numeric ones, CDATA,
// comments and processing instructions. Refuses (XmlException) a DOCTYPE (so
// no entity of a server's is ever expanded), documents over kMaxXmlSize or
// nested deeper than kMaxXmlDepth, undeclared prefixes, mismatched or
// missing end tags, and anything but one root element.
XmlElement parseXml(std::string_view text);

// `text` escaped for character data and attribute values (& < > " ');
// control characters XML cannot carry become "?".
std::string xmlEscape(std::string_view text);

}  // namespace lodemig

#endif  // LODEMIG_DAV_DAV_XML_H_
