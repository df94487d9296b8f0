#include "migration/folder_roles.h"

#include <fstream>
#include <unordered_set>

#include "utils/ascii.h"
#include "utils/utf8.h"

namespace lodemig {
namespace {

struct KnownName {
  const char* name;
  SpecialUse use;
};

// The names mail programs give these folders in their own language, and
// the names the store's users gave them by hand. Outbox is missing on
// purpose: it holds mail not sent yet.
constexpr KnownName kKnownNames[] = {
    // English
    {"Sent", SpecialUse::Sent},
    {"Sent Items", SpecialUse::Sent},
    {"Sent Messages", SpecialUse::Sent},
    {"Sent Mail", SpecialUse::Sent},
    {"Trash", SpecialUse::Trash},
    {"Deleted", SpecialUse::Trash},
    {"Deleted Items", SpecialUse::Trash},
    {"Deleted Messages", SpecialUse::Trash},
    {"Bin", SpecialUse::Trash},
    {"Drafts", SpecialUse::Drafts},
    {"Draft", SpecialUse::Drafts},
    {"Junk", SpecialUse::Junk},
    {"Junk E-mail", SpecialUse::Junk},
    {"Junk Email", SpecialUse::Junk},
    {"Spam", SpecialUse::Junk},
    {"Bulk Mail", SpecialUse::Junk},
    // German
    {"Gesendet", SpecialUse::Sent},
    {"Gesendete Objekte", SpecialUse::Sent},
    {"Gesendete Elemente", SpecialUse::Sent},
    {"Papierkorb", SpecialUse::Trash},
    {"Gelöschte Objekte", SpecialUse::Trash},
    {"Gelöschte Elemente", SpecialUse::Trash},
    {"Entwürfe", SpecialUse::Drafts},
    {"Junk-E-Mail", SpecialUse::Junk},
    // French; capitals often lose their accents.
    {"Envoyés", SpecialUse::Sent},
    {"Éléments envoyés", SpecialUse::Sent},
    {"Eléments envoyés", SpecialUse::Sent},
    {"Messages envoyés", SpecialUse::Sent},
    {"Corbeille", SpecialUse::Trash},
    {"Éléments supprimés", SpecialUse::Trash},
    {"Eléments supprimés", SpecialUse::Trash},
    {"Brouillons", SpecialUse::Drafts},
    {"Courrier indésirable", SpecialUse::Junk},
    {"Pourriel", SpecialUse::Junk},
    // Spanish (and Portuguese: Enviados)
    {"Enviados", SpecialUse::Sent},
    {"Elementos enviados", SpecialUse::Sent},
    {"Papelera", SpecialUse::Trash},
    {"Elementos eliminados", SpecialUse::Trash},
    {"Borradores", SpecialUse::Drafts},
    {"Correo no deseado", SpecialUse::Junk},
    // Italian
    {"Inviati", SpecialUse::Sent},
    {"Posta inviata", SpecialUse::Sent},
    {"Cestino", SpecialUse::Trash},
    {"Posta eliminata", SpecialUse::Trash},
    {"Bozze", SpecialUse::Drafts},
    {"Posta indesiderata", SpecialUse::Junk},
    // Dutch
    {"Verzonden", SpecialUse::Sent},
    {"Verzonden items", SpecialUse::Sent},
    {"Prullenbak", SpecialUse::Trash},
    {"Verwijderde items", SpecialUse::Trash},
    {"Concepten", SpecialUse::Drafts},
    {"Ongewenste e-mail", SpecialUse::Junk},
    // Portuguese, of Portugal and of Brazil
    {"Itens enviados", SpecialUse::Sent},
    {"Lixo", SpecialUse::Trash},
    {"Lixeira", SpecialUse::Trash},
    {"Itens excluídos", SpecialUse::Trash},
    {"Itens eliminados", SpecialUse::Trash},
    {"Rascunhos", SpecialUse::Drafts},
    {"Lixo eletrónico", SpecialUse::Junk},
    {"Lixo eletrônico", SpecialUse::Junk},
    // Swedish
    {"Skickat", SpecialUse::Sent},
    {"Skickade objekt", SpecialUse::Sent},
    {"Papperskorgen", SpecialUse::Trash},
    {"Borttagna objekt", SpecialUse::Trash},
    {"Utkast", SpecialUse::Drafts},
    {"Skräppost", SpecialUse::Junk},
    // Polish
    {"Wysłane", SpecialUse::Sent},
    {"Elementy wysłane", SpecialUse::Sent},
    {"Kosz", SpecialUse::Trash},
    {"Elementy usunięte", SpecialUse::Trash},
    {"Kopie robocze", SpecialUse::Drafts},
    {"Wersje robocze", SpecialUse::Drafts},
    {"Wiadomości-śmieci", SpecialUse::Junk},
    // Czech
    {"Odeslané", SpecialUse::Sent},
    {"Odeslaná pošta", SpecialUse::Sent},
    {"Koš", SpecialUse::Trash},
    {"Odstraněná pošta", SpecialUse::Trash},
    {"Koncepty", SpecialUse::Drafts},
    {"Nevyžádaná pošta", SpecialUse::Junk},
    // Russian
    {"Отправленные", SpecialUse::Sent},
    {"Корзина", SpecialUse::Trash},
    {"Удаленные", SpecialUse::Trash},
    {"Удалённые", SpecialUse::Trash},
    {"Черновики", SpecialUse::Drafts},
    {"Спам", SpecialUse::Junk},
    {"Нежелательная почта", SpecialUse::Junk},
};

// Lower case of the letters the names above use: ASCII, Latin-1, Latin
// Extended-A (where the pairs alternate, with a few odd ones out) and the
// basic Cyrillic alphabet. Every pair has the same UTF-8 length.
char32_t foldCase(char32_t c) {
  if (c < 0x80) {
    return static_cast<unsigned char>(ostrel::utils::lowerAscii(static_cast<char>(c)));
  }
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) {
    return c + 0x20;
  }
  if (c >= 0x100 && c <= 0x17F) {
    // Dotted and dotless I, kra, n preceded by apostrophe and long s have
    // no partner of the same kind.
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) {
      return c;
    }
    if (c == 0x178) {
      return 0xFF;
    }
    const bool oddIsUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    return (c % 2 == 1) == oddIsUpper ? c + 1 : c;
  }
  if (c >= 0x400 && c <= 0x40F) {
    return c + 0x50;
  }
  if (c >= 0x410 && c <= 0x42F) {
    return c + 0x20;
  }
  return c;
}

// True when `a` and `b` are the same UTF-8 text but for the case of the
// letters foldCase() knows. Text that is not UTF-8 equals nothing.
bool equalsFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  std::size_t i = 0;
  std::size_t j = 0;
  char32_t x = 0;
  char32_t y = 0;
  while (i < a.size()) {
    if (!ostrel::utils::nextCodePoint(a, i, x) || !ostrel::utils::nextCodePoint(b, j, y) ||
        foldCase(x) != foldCase(y)) {
      return false;
    }
  }
  return j == b.size();
}

bool isInbox(std::string_view name) {
  return ostrel::utils::equalsIgnoreCase(name, "INBOX");
}

std::string lineError(const std::string& path, std::size_t line, const std::string& what) {
  return "folder map " + path + ", line " + std::to_string(line) + ": " + what;
}

// The whole file into `content`, or as much as shows it is over the limit
// (one block past it at most). False when it cannot be opened or read.
bool readBounded(const std::string& path, std::string& content) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return false;
  }
  char block[65536];
  while (content.size() <= kMaxFolderMapBytes) {
    file.read(block, sizeof block);
    content.append(block, static_cast<std::size_t>(file.gcount()));
    if (file.bad()) {
      return false;
    }
    if (file.eof()) {
      return true;
    }
  }
  return true;
}

}  // namespace

SpecialUse specialUseOfName(std::string_view storeFolderName) {
  if (storeFolderName.find('/') != std::string_view::npos) {
    return SpecialUse::None;
  }
  for (const KnownName& known : kKnownNames) {
    if (equalsFolded(storeFolderName, known.name)) {
      return known.use;
    }
  }
  return SpecialUse::None;
}

const char* specialUseAttribute(SpecialUse use) {
  switch (use) {
    case SpecialUse::Sent:
      return "\\Sent";
    case SpecialUse::Trash:
      return "\\Trash";
    case SpecialUse::Drafts:
      return "\\Drafts";
    case SpecialUse::Junk:
      return "\\Junk";
    case SpecialUse::None:
      break;
  }
  return "";
}

const char* specialUseWord(SpecialUse use) {
  switch (use) {
    case SpecialUse::Sent:
      return "sent";
    case SpecialUse::Trash:
      return "deleted";
    case SpecialUse::Drafts:
      return "drafts";
    case SpecialUse::Junk:
      return "junk";
    case SpecialUse::None:
      break;
  }
  return "";
}

namespace {

// What is wrong with a folder map line that is neither empty nor a comment;
// nullptr when it is a store name and a target name apart by one tab.
const char* mapLineProblem(std::string_view line) {
  if (!ostrel::utils::isValidUtf8(line)) {
    return "not UTF-8";
  }
  // A CR, LF or NUL would end the name early in an IMAP command, and no
  // folder is named with the other control characters.
  for (const char c : line) {
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) {
      return "control character in a name";
    }
  }
  const std::size_t tab = line.find('\t');
  if (tab == 0 || tab == std::string_view::npos || tab + 1 == line.size() ||
      line.find('\t', tab + 1) != std::string_view::npos) {
    return "expected store name<TAB>target name";
  }
  return nullptr;
}

}  // namespace

bool readFolderMap(const std::string& path, std::vector<FolderMapping>& mappings,
                   std::string& error) {
  mappings.clear();
  std::string content;
  if (!readBounded(path, content)) {
    error = "cannot read folder map " + path;
    return false;
  }
  if (content.size() > kMaxFolderMapBytes) {
    error = "folder map " + path + " is larger than " + std::to_string(kMaxFolderMapBytes >> 20) +
            " MiB";
    return false;
  }
  std::string_view rest(content);
  if (rest.substr(0, 3) == "\xEF\xBB\xBF") {
    rest.remove_prefix(3);
  }
  // Views into `content`, which does not change from here on; INBOX in any
  // case is entered as "INBOX".
  std::unordered_set<std::string_view> storeNames;
  std::size_t number = 0;
  while (!rest.empty()) {
    if (++number > kMaxFolderMapLines) {
      error =
          "folder map " + path + " has more than " + std::to_string(kMaxFolderMapLines) + " lines";
      return false;
    }
    const std::size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (line.find_first_not_of(" \t") == std::string_view::npos || line.front() == '#') {
      continue;
    }
    if (const char* problem = mapLineProblem(line); problem != nullptr) {
      error = lineError(path, number, problem);
      return false;
    }
    const std::size_t tab = line.find('\t');
    const std::string_view storeName = line.substr(0, tab);
    if (!storeNames.insert(isInbox(storeName) ? std::string_view("INBOX") : storeName).second) {
      error = lineError(path, number, "store name " + std::string(storeName) + " mapped twice");
      return false;
    }
    mappings.push_back({std::string(storeName), std::string(line.substr(tab + 1))});
  }
  return true;
}

const FolderMapping* findMapping(const std::vector<FolderMapping>& mappings,
                                 std::string_view storeName) {
  const bool inbox = isInbox(storeName);
  for (const FolderMapping& mapping : mappings) {
    if (inbox ? isInbox(mapping.storeName) : mapping.storeName == storeName) {
      return &mapping;
    }
  }
  return nullptr;
}

}  // namespace lodemig
