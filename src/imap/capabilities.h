#ifndef LODEMIG_IMAP_CAPABILITIES_H_
#define LODEMIG_IMAP_CAPABILITIES_H_

#include <string>
#include <string_view>
#include <vector>

namespace lodemig {

// The capability words a response announces: those of an untagged
// "* CAPABILITY ..." response, or of a "[CAPABILITY ...]" response code as
// greetings and login answers carry. None for any other response. The line
// end, if any, is not part of the last word.
std::vector<std::string> capabilityWords(const std::string& response);

// True when one of `responses` announces `name`, matched without regard to
// case.
bool offersCapability(const std::vector<std::string>& responses, std::string_view name);

// True when `words` (capabilityWords()) hold `name`, matched without regard
// to case.
bool hasCapability(const std::vector<std::string>& words, std::string_view name);

// The response code of a tagged or untagged status response, in upper case:
// "AUTHENTICATIONFAILED" of "a NO [AUTHENTICATIONFAILED] ...". "" when the
// text after the status word does not start with "[".
std::string responseCode(std::string_view response);

}  // namespace lodemig

#endif  // LODEMIG_IMAP_CAPABILITIES_H_
