#ifndef LODEMIG_IMAP_SASL_H_
#define LODEMIG_IMAP_SASL_H_

#include <string>
#include <string_view>

namespace lodemig {

// The client's response of the PLAIN mechanism: the base64 of the
// authorization identity, NUL, the authentication identity, NUL and the
// password, on one line. An empty authorization identity asks to act as the
// authentication identity. None of the three may hold a NUL: the server
// could not tell where one ends.
std::string saslPlainResponse(std::string_view authorizationId, std::string_view authenticationId,
                              std::string_view password);

// The login name a pattern such as "USER*ADMIN" gives: every "USER" replaced
// by `user` (the account) and every "ADMIN" by `admin` (the administrator),
// left to right, the inserted names never searched again.
std::string loginNameFromForm(std::string_view form, std::string_view user, std::string_view admin);

}  // namespace lodemig

#endif  // LODEMIG_IMAP_SASL_H_
