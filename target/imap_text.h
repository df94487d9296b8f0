#ifndef LODEMIG_TARGET_IMAP_TEXT_H_
#define LODEMIG_TARGET_IMAP_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

namespace lodemig::target {

// The text forms the stand-in's answers share: quoted strings, folder names
// and flag lists as they stand on the wire.

// `text` as a quoted string, with '"' and '\' escaped.
std::string quoted(std::string_view text);

// The folder name as an atom when it can be one, quoted otherwise.
std::string mailboxText(std::string_view name);

// `text` with ASCII letters in upper case.
std::string upperCopy(std::string_view text);

// The space-separated words of a flag list's text, empty words dropped. The
// views point into `text`.
std::vector<std::string_view> flagWords(std::string_view text);

// The words joined by single spaces.
std::string joinWords(const std::vector<std::string_view>& words);

// The flags with \Flagged (in any letter case) dropped when they have it and
// added when not, so that a stored message's flags surely differ from the
// ones sent.
std::string toggledFlagged(std::string_view flags);

}  // namespace lodemig::target

#endif  // LODEMIG_TARGET_IMAP_TEXT_H_
