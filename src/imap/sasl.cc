#include "imap/sasl.h"

#include "imap/digest.h"

namespace lodemig {

std::string saslPlainResponse(std::string_view authorizationId, std::string_view authenticationId,
                              std::string_view password) {
  std::string message;
  message.reserve(authorizationId.size() + authenticationId.size() + password.size() + 2);
  message += authorizationId;
  message += '\0';
  message += authenticationId;
  message += '\0';
  message += password;
  return ostrel::crypto::base64Encode(message);
}

std::string loginNameFromForm(std::string_view form, std::string_view user,
                              std::string_view admin) {
  constexpr std::string_view kUser = "USER";
  constexpr std::string_view kAdmin = "ADMIN";
  std::string name;
  name.reserve(form.size() + user.size() + admin.size());
  std::size_t i = 0;
  while (i < form.size()) {
    if (form.compare(i, kUser.size(), kUser) == 0) {
      name += user;
      i += kUser.size();
    } else if (form.compare(i, kAdmin.size(), kAdmin) == 0) {
      name += admin;
      i += kAdmin.size();
    } else {
      name += form[i++];
    }
  }
  return name;
}

}  // namespace lodemig
