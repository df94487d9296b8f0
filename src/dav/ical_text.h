#ifndef LODEMIG_DAV_ICAL_TEXT_H_
#define LODEMIG_DAV_ICAL_TEXT_H_

#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The content lines iCalendar and vCard share ("NAME;PARAM=x:value", long
// lines folded by a line end and one space or tab), and the BEGIN/END
// objects they make. Read unfolded, kept as written.

namespace lodemig {

struct ContentLine {
  std::string written;     // its physical lines as written, each ending CR LF
  std::string unfolded;    // the physical lines joined, folds and line end removed
  std::size_t number = 0;  // where its first physical line is in the text, from 1
  std::string name;        // the property name, upper-case, without a "group." prefix
  std::size_t valueStart = std::string::npos;  // after the ':' ending the name and parameters

  bool hasValue() const { return valueStart != std::string::npos; }
  // The value; "" when the line has no ':'.
  std::string_view value() const;
  // The value of the first parameter `upperName` (quotes removed); "" when
  // there is none.
  std::string parameter(std::string_view upperName) const;
};

// `text` without the spaces and tabs around it.
std::string_view trimBlanks(std::string_view text);

// The content lines of `text`: line ends may be CR LF, LF or a lone CR;
// blank lines are left out. A line starting with a space or tab continues
// the one before (a first line starting so is a line of its own).
std::vector<ContentLine> contentLines(std::string_view text);

// A component inside a top-level object: from its BEGIN line to its END.
struct SubComponent {
  std::string type;                         // upper-case, "VEVENT"
  std::size_t begin = 0;                    // line index of BEGIN
  std::size_t end = 0;                      // line index of END
  std::size_t uidLine = std::string::npos;  // its own UID property
  std::string tzid;                         // its own TZID property (a VTIMEZONE's)
  std::set<std::string> tzidsUsed;          // TZID= parameters anywhere in it
};

// A top-level BEGIN:<type> ... END:<type> object.
struct TextObject {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::vector<std::size_t> properties;  // line indexes of its own properties
  std::vector<SubComponent> components;
  std::size_t uidLine = std::string::npos;      // its own UID property
  std::size_t versionLine = std::string::npos;  // its own VERSION property
};

// The objects of type `upperType` in `lines`, in order. Returns "" or why
// the text is not well formed: a line outside the objects, a line without
// ':', a BEGIN without END or an END that does not close the last BEGIN,
// nesting deeper than a sane bound, or no object at all.
std::string scanObjects(const std::vector<ContentLine>& lines, std::string_view upperType,
                        std::vector<TextObject>& objects);

}  // namespace lodemig

#endif  // LODEMIG_DAV_ICAL_TEXT_H_
