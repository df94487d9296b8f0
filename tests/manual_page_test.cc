// The manual pages next to the programs' own usage texts: every option a
// usage text lists has its entry in the page's OPTIONS section, and the
// section documents no option the program does not take, so that the two
// cannot drift apart when an option is added.

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run_options.h"
#include "target/target_options.h"
#include "tests/temp_dir.h"

namespace lodemig::testing {
namespace {

using Names = std::set<std::string>;

// The page as written, before the build fills in its version and paths.
std::string readPage(const std::string& name) {
  return readFile(std::string(LODEMIG_SOURCE_DIR) + "/man/" + name + ".1.in");
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// Every ".SH" title of the page, in order.
std::vector<std::string> sectionTitles(const std::string& page) {
  std::vector<std::string> titles;
  for (const std::string& line : splitLines(page)) {
    if (line.rfind(".SH ", 0) == 0) {
      titles.push_back(line.substr(4));
    }
  }
  return titles;
}

// The option a tag line names: its first word once the macro, the font
// changes and the quotes are gone, with roff's "\-" read as "-".
std::string tagOption(const std::string& tagLine) {
  std::string text = tagLine;
  if (!text.empty() && text[0] == '.') {
    const std::size_t space = text.find(' ');
    text = space == std::string::npos ? std::string() : text.substr(space + 1);
  }
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "\\f") == 0 && i + 2 < text.size()) {
      i += 2;
    } else if (text.compare(i, 2, "\\-") == 0) {
      plain += '-';
      ++i;
    } else if (text[i] != '"') {
      plain += text[i];
    }
  }
  return plain.substr(0, plain.find(' '));
}

// The tag of every .TP item between ".SH OPTIONS" and the next section.
Names pageOptions(const std::string& page) {
  Names names;
  const std::vector<std::string> lines = splitLines(page);
  bool inOptions = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(".SH", 0) == 0) {
      inOptions = lines[i] == ".SH OPTIONS";
    } else if (inOptions && lines[i] == ".TP" && i + 1 < lines.size()) {
      names.insert(tagOption(lines[i + 1]));
    }
  }
  return names;
}

// The first word of every usage line that starts with blanks and a dash;
// the lines that go on an option's text start with blanks and a letter.
Names usageOptions(const std::string& usage) {
  Names names;
  for (const std::string& line : splitLines(usage)) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start != 0 && start != std::string::npos && line[start] == '-') {
      const std::size_t end = line.find(' ', start);
      names.insert(line.substr(start, end == std::string::npos ? end : end - start));
    }
  }
  return names;
}

std::string lodemigUsage() {
  std::ostringstream out;
  printUsage(out);
  return out.str();
}

std::string joined(const Names& names) {
  std::string text;
  for (const std::string& name : names) {
    text += " " + name;
  }
  return text;
}

class ManualPageTest : public ::testing::Test {
 protected:
  // `accepted` lists what the program takes although its usage text does
  // not show it; the page may document those too.
  void expectSameOptions(const std::string& page, const std::string& usage, const Names& accepted) {
    const Names documented = pageOptions(readPage(page));
    const Names listed = usageOptions(usage);
    // A reading that finds nothing would let every page pass.
    ASSERT_GT(listed.size(), 15u);
    Names undocumented;
    for (const std::string& name : listed) {
      if (documented.count(name) == 0) {
        undocumented.insert(name);
      }
    }
    EXPECT_TRUE(undocumented.empty())
        << "man/" << page << ".1.in has no OPTIONS entry for" << joined(undocumented);
    Names unknown;
    for (const std::string& name : documented) {
      if (listed.count(name) == 0 && accepted.count(name) == 0) {
        unknown.insert(name);
      }
    }
    EXPECT_TRUE(unknown.empty()) << "man/" << page << ".1.in documents options the usage text"
                                 << " does not list:" << joined(unknown);
  }
};

TEST_F(ManualPageTest, LodemigPageDocumentsTheUsageTextsOptions) {
  // -disableCrLfFixing keeps out of the usage text, whose bytes are pinned.
  expectSameOptions("lodemig", lodemigUsage(), {"-disableCrLfFixing"});
}

TEST_F(ManualPageTest, TargetPageDocumentsTheHelpTextsOptions) {
  expectSameOptions("lodemig-target", target::targetUsage(), {});
}

TEST_F(ManualPageTest, PagesHaveTheSectionsAdminsLookFor) {
  const std::vector<std::string> expected = {"NAME",        "SYNOPSIS", "DESCRIPTION", "OPTIONS",
                                             "EXIT STATUS", "FILES",    "EXAMPLES",    "SEE ALSO"};
  for (const char* page : {"lodemig", "lodemig-target"}) {
    EXPECT_EQ(sectionTitles(readPage(page)), expected) << page;
  }
}

TEST_F(ManualPageTest, TagsAreReadThroughMacrosFontsAndQuotes) {
  const struct {
    const char* line;
    const char* option;
  } cases[] = {{".B \\-migrate", "-migrate"},
               {".BI \\-path \" PATH\"", "-path"},
               {".BR \\-\\-version \" [\" \\fIV\\fR ]", "--version"},
               {"\\fB\\-\\-store\\fR \\fIDIR\\fR", "--store"},
               {".B", ""}};
  for (const auto& c : cases) {
    EXPECT_EQ(tagOption(c.line), c.option) << c.line;
  }
}

}  // namespace
}  // namespace lodemig::testing
