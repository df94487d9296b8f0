#ifndef LODEMIG_IMAP_MAILBOX_NAME_H_
#define LODEMIG_IMAP_MAILBOX_NAME_H_

#include <string>
#include <string_view>

namespace lodemig {

// Mailbox names in IMAP's modified UTF-7, the form a server without UTF-8
// support expects and sends: printable ASCII (0x20-0x7e) stands for itself,
// except "&", written "&-"; every run of other characters is written "&",
// the modified base64 (the alphabet with "," for "/", no padding) of its
// UTF-16BE, and "-".

// Replaces `out` with the modified UTF-7 form of `utf8`. False, with `out`
// unspecified, when `utf8` is not strict UTF-8 (utils/utf8.h).
bool encodeModifiedUtf7(std::string_view utf8, std::string& out);

// Replaces `utf8` with the name `text` stands for. Strict, so that a name
// has one spelling only: false, with `utf8` unspecified, for a byte outside
// printable ASCII (a name sent as UTF-8 is not for this function), a shift
// without its "-", a byte outside the modified base64 alphabet, leftover
// bits that are not zero or make up a whole base64 character, an unpaired
// surrogate, a printable ASCII character in base64, and a shift right after
// the end of another ("&-" for "&" may follow one).
bool decodeModifiedUtf7(std::string_view text, std::string& utf8);

}  // namespace lodemig

#endif  // LODEMIG_IMAP_MAILBOX_NAME_H_
