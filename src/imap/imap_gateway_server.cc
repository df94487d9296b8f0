// What a standard IMAP server announces and how it names folders, learnt
// with as few round trips as the answers allow.

#include <string_view>

#include "imap/capabilities.h"
#include "imap/imap_gateway.h"
#include "imap/list_response.h"
#include "utils/ascii.h"

namespace lodemig {

GatewayResult ImapGateway::learnServer(ServerTraits& traits) {
  const GatewayResult result = learnCapabilities(traits);
  return result != kGatewayOk ? result : learnNames(traits, true, true, nullptr);
}

GatewayResult ImapGateway::learnCapabilities(ServerTraits& traits) {
  traits = ServerTraits();
  if (!connected_) {
    return kGatewayNotConnected;
  }
  // Servers that name their capabilities in the login's answer save the
  // question; the others are asked.
  std::vector<std::string> words = client_.capabilities();
  if (words.empty()) {
    try {
      ImapCommand& capability = startCommand("CAPABILITY");
      if (client_.execute(capability) == CommandStatus::Ok) {
        for (const std::string& line : capability.untaggedLines()) {
          const std::vector<std::string> found = capabilityWords(line);
          words.insert(words.end(), found.begin(), found.end());
        }
      }
    } catch (const ImapException& error) {
      return gatewayResultFor(error, kGatewayConnectionProblem);
    }
  }
  traits.literalPlus = hasCapability(words, "LITERAL+");
  traits.literalMinus = hasCapability(words, "LITERAL-");
  traits.uidPlus = hasCapability(words, "UIDPLUS");
  traits.specialUse = hasCapability(words, "SPECIAL-USE");
  traits.utf8Offered = hasCapability(words, "UTF8=ACCEPT");
  traits.multiAppend = hasCapability(words, "MULTIAPPEND");
  standardAppends_ = true;
  uidPlus_ = traits.uidPlus;
  traits_ = traits;
  return kGatewayOk;
}

GatewayResult ImapGateway::learnNames(ServerTraits& traits, bool enable, bool separator,
                                      std::vector<std::string>* folders) {
  if (!connected_) {
    return kGatewayNotConnected;
  }
  enable = enable && traits.utf8Offered;
  try {
    // Written one after the other before any answer is read: none of them
    // depends on another's answer, and the server takes them in order, so
    // the listings already see the names in UTF-8 when it is enabled.
    if (enable) {
      command_.start(client_.nextTag(), "ENABLE");
      command_.addAtom("UTF8=ACCEPT");
      client_.submit(command_);
    }
    if (separator) {
      second_.start(client_.nextTag(), "LIST");
      second_.addQuoted("");
      second_.addQuoted("");
      client_.submit(second_);
    }
    if (folders != nullptr) {
      third_.start(client_.nextTag(), "LIST");
      third_.addQuoted("");
      third_.addQuoted("*");
      client_.submit(third_);
    }
    if (enable && client_.waitFor(command_) == CommandStatus::Ok) {
      traits.utf8 = true;
    }
    if (separator && client_.waitFor(second_) == CommandStatus::Ok) {
      for (const std::string& response : second_.untaggedLines()) {
        ListEntry entry;
        if (parseListResponse(response, entry)) {
          traits.separator = entry.separator;
        }
      }
    }
    if (folders != nullptr && client_.waitFor(third_) == CommandStatus::Ok) {
      *folders = third_.untaggedLines();
    }
  } catch (const ImapException& error) {
    return gatewayResultFor(error, kGatewayConnectionProblem);
  }
  traits_.utf8 = traits.utf8;
  traits_.separator = traits.separator;
  return kGatewayOk;
}

GatewayResult ImapGateway::listSubscribed(std::vector<std::string>& names) {
  names.clear();
  if (!connected_) {
    return kGatewayNotConnected;
  }
  try {
    ImapCommand& command = startCommand("LSUB");
    command.addQuoted("");
    command.addQuoted("*");
    if (client_.execute(command) != CommandStatus::Ok) {
      return kGatewaySubscribeFailed;
    }
    for (const std::string& response : command.untaggedLines()) {
      if (!ostrel::utils::equalsIgnoreCase(std::string_view(response).substr(0, 7), "* LSUB ")) {
        continue;  // an unsolicited answer, such as a count
      }
      ListEntry entry;
      if (!parseListResponse(response, entry)) {
        // A name left out would pass for a folder not subscribed.
        client_.noteFailure("an LSUB answer cannot be read");
        names.clear();
        return kGatewaySubscribeFailed;
      }
      // Every folder the run fills can be selected: one marked \Noselect
      // here only stands above subscribed folders and is not one itself.
      if (!hasAttribute(entry, "\\Noselect")) {
        names.push_back(entry.name);
      }
    }
  } catch (const ImapException& error) {
    return gatewayResultFor(error, kGatewaySubscribeFailed);
  }
  return kGatewayOk;
}

}  // namespace lodemig
