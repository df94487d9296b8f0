// The gateway's calls about folders' UIDs: selecting and asking a folder's
// state, the fingerprints of its messages, and removing messages by UID.

#include <algorithm>

#include "imap/capabilities.h"
#include "imap/imap_gateway.h"

namespace lodemig {

GatewayResult ImapGateway::select(const std::string& name, std::int64_t* messageCount,
                                  FolderUidState* uids) {
  return selectFolder(name, messageCount, uids, nullptr);
}

GatewayResult ImapGateway::selectAndSubscribe(const std::string& name, std::int64_t* messageCount,
                                              FolderUidState* uids, GatewayResult* subscribed) {
  return selectFolder(name, messageCount, uids, subscribed);
}

GatewayResult ImapGateway::selectFolder(const std::string& name, std::int64_t* messageCount,
                                        FolderUidState* uids, GatewayResult* subscribed) {
  if (messageCount != nullptr) {
    *messageCount = -1;
  }
  if (uids != nullptr) {
    *uids = FolderUidState();
  }
  if (subscribed != nullptr) {
    *subscribed = kGatewayNotConnected;
  }
  if (!connected_) {
    return kGatewayNotConnected;
  }
  GatewayResult selected = kGatewaySelectFailed;
  try {
    ImapCommand& command = startCommand("SELECT");
    command.addQuoted(name);
    client_.submit(command);
    if (subscribed != nullptr) {
      // The server takes the two in order; neither depends on the other's
      // answer.
      second_.start(client_.nextTag(), "SUBSCRIBE");
      second_.addQuoted(name);
      client_.submit(second_);
    }
    if (client_.waitFor(command) == CommandStatus::Ok) {
      client_.setState(ClientState::Selected);
      // A count may change while the select runs; the last one is current.
      FolderUidState state;
      readSelectResponses(command.untaggedLines(), state);
      if (messageCount != nullptr) {
        *messageCount = state.messages;
      }
      if (uids != nullptr) {
        *uids = state;
      }
      selected = kGatewayOk;
    }
  } catch (const ImapException& error) {
    // Neither answer can come now.
    if (subscribed != nullptr) {
      *subscribed = gatewayResultFor(error, kGatewaySubscribeFailed);
    }
    return gatewayResultFor(error, kGatewaySelectFailed);
  }
  if (subscribed != nullptr) {
    try {
      *subscribed =
          client_.waitFor(second_) == CommandStatus::Ok ? kGatewayOk : kGatewaySubscribeFailed;
    } catch (const ImapException& error) {
      *subscribed = gatewayResultFor(error, kGatewaySubscribeFailed);
    }
  }
  return selected;
}

GatewayResult ImapGateway::status(const std::string& name, FolderUidState& state) {
  state = FolderUidState();
  if (!connected_) {
    return kGatewayNotConnected;
  }
  try {
    ImapCommand& command = startCommand("STATUS");
    command.addQuoted(name);
    command.addAtom("(MESSAGES UIDNEXT UIDVALIDITY)");
    if (client_.execute(command) != CommandStatus::Ok) {
      return kGatewaySelectFailed;
    }
    for (const std::string& response : command.untaggedLines()) {
      if (parseStatusResponse(response, state)) {
        return kGatewayOk;
      }
    }
    return kGatewaySelectFailed;
  } catch (const ImapException& error) {
    return gatewayResultFor(error, kGatewaySelectFailed);
  }
}

GatewayResult ImapGateway::fetchFingerprints(std::uint64_t fromUid,
                                             std::vector<MessageFingerprint>& fingerprints) {
  fingerprints.clear();
  if (!connected_) {
    return kGatewayNotConnected;
  }
  fromUid = std::max<std::uint64_t>(fromUid, 1);
  try {
    ImapCommand& command = startCommand("UID FETCH");
    command.addAtom(std::to_string(fromUid) + ":*");
    command.addAtom("(UID RFC822.SIZE INTERNALDATE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID)])");
    if (client_.execute(command) != CommandStatus::Ok) {
      return kGatewayFetchFailed;
    }
    for (const std::string& response : command.untaggedLines()) {
      MessageFingerprint fingerprint;
      if (parseFetchFingerprint(response, fingerprint)) {
        // "n:*" names the last message even when its UID is below n.
        if (fingerprint.uid >= fromUid) {
          fingerprints.push_back(std::move(fingerprint));
        }
      } else if (response.find(" FETCH ") != std::string::npos) {
        return kGatewayFetchFailed;  // a message's data that cannot be read
      }
    }
    std::sort(
        fingerprints.begin(), fingerprints.end(),
        [](const MessageFingerprint& a, const MessageFingerprint& b) { return a.uid < b.uid; });
    return kGatewayOk;
  } catch (const ImapException& error) {
    return gatewayResultFor(error, kGatewayFetchFailed);
  }
}

bool ImapGateway::uidPlus() {
  if (!connected_) {
    return false;
  }
  try {
    ImapCommand& command = startCommand("CAPABILITY");
    if (client_.execute(command) == CommandStatus::Ok) {
      uidPlus_ = offersCapability(command.untaggedLines(), "UIDPLUS");
    }
  } catch (const ImapException&) {
    // Not knowing the capability only means nothing is removed.
  }
  return uidPlus_;
}

GatewayResult ImapGateway::expungeUids(const std::vector<std::uint64_t>& uids) {
  if (!connected_) {
    return kGatewayNotConnected;
  }
  if (uids.empty()) {
    return kGatewayOk;
  }
  // A plain EXPUNGE would also take messages others flagged \Deleted.
  if (!uidPlus_) {
    return kGatewayExpungeFailed;
  }
  const std::string set = uidSetText(uids);
  try {
    ImapCommand& store = startCommand("UID STORE");
    store.addAtom(set);
    store.addAtom("+FLAGS.SILENT");
    store.addParenthesized("\\Deleted");
    if (client_.execute(store) != CommandStatus::Ok) {
      return kGatewayExpungeFailed;
    }
    ImapCommand& expunge = startCommand("UID EXPUNGE");
    expunge.addAtom(set);
    return client_.execute(expunge) == CommandStatus::Ok ? kGatewayOk : kGatewayExpungeFailed;
  } catch (const ImapException& error) {
    return gatewayResultFor(error, kGatewayExpungeFailed);
  }
}

GatewayResult ImapGateway::changeFlags(const std::vector<std::uint64_t>& uids, bool add,
                                       const std::string& flags) {
  if (!connected_) {
    return kGatewayNotConnected;
  }
  if (uids.empty()) {
    return kGatewayOk;
  }
  try {
    ImapCommand& store = startCommand("UID STORE");
    store.addAtom(uidSetText(uids));
    store.addAtom(add ? "+FLAGS.SILENT" : "-FLAGS.SILENT");
    store.addParenthesized(flags);
    return client_.execute(store) == CommandStatus::Ok ? kGatewayOk : kGatewayExpungeFailed;
  } catch (const ImapException& error) {
    return gatewayResultFor(error, kGatewayExpungeFailed);
  }
}

}  // namespace lodemig
