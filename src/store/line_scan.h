#ifndef LODEMIG_STORE_LINE_SCAN_H_
#define LODEMIG_STORE_LINE_SCAN_H_

namespace lodemig {

// Finds the first LF in [from, end) that a line-by-line walk of message text
// must look at: one not preceded by CR, one followed by the byte `lineStart`,
// or one that is the range's last byte. An LF at `begin` (whose preceding
// byte is not in the range) always counts; the byte before `from` is read when
// `from` > `begin`. Returns `end` when there is none. Every LF passed over is
// thus a CR LF followed, inside the range, by a byte other than `lineStart`;
// a negative `lineStart` matches no byte.
//
// Message text has CR LF line ends almost everywhere, so the walk skips whole
// blocks of lines here (16 or 32 bytes per step) instead of stopping at each.
const char* findNotableLineFeed(const char* begin, const char* from, const char* end,
                                int lineStart);

}  // namespace lodemig

#endif  // LODEMIG_STORE_LINE_SCAN_H_
