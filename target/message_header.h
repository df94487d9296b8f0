#ifndef LODEMIG_TARGET_MESSAGE_HEADER_H_
#define LODEMIG_TARGET_MESSAGE_HEADER_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace lodemig::target {

// How much of a message's start the server keeps, when it keeps no files, to
// find its Message-ID: headers longer than this are rare and lose nothing but
// the field.
constexpr std::size_t kHeaderScanLimit = 64 * 1024;

// The Message-ID field of the header at the start of `message` (up to the
// first empty line) as it stands there: the first line whose name is
// Message-ID in any letter case, with its continuation lines and line ends.
// A field cut off by the end of `message` ends with CR LF added. Empty when
// the header has none.
std::string messageIdField(std::string_view message);

}  // namespace lodemig::target

#endif  // LODEMIG_TARGET_MESSAGE_HEADER_H_
