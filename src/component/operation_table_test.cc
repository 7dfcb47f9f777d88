#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "llupdate/operations.h"

namespace llupdate::component {
namespace {

// The Windows server's interface and the table list the same operations in the same order, each
// with as many arguments (the driver's connection aside): the server runs an operation by its
// place in the table.
TEST(OperationTableTest, TheIdlListsTheTableInItsOrder) {
  std::ifstream in(LLUPDATE_IDL);
  std::stringstream idl;
  idl << in.rdbuf();
  const std::string text = idl.str();
  const std::regex method(R"(\[id\(0x6003([0-9a-f]+)\)\] HRESULT (\w+)\(([^;]*)\);)");
  std::vector<std::string> names;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), method);
       it != std::sregex_iterator(); ++it) {
    const std::smatch& m = *it;
    EXPECT_EQ(std::stoul(m[1].str(), nullptr, 16), names.size()) << m[2];
    names.push_back(m[2]);
    const std::string arguments = m[3];
    const auto count = std::count(arguments.begin(), arguments.end(), '[') - 1;  // not the result
    const Operation* operation = FindOperation(m[2]);
    ASSERT_NE(operation, nullptr) << m[2];
    EXPECT_EQ(static_cast<size_t>(count),
              operation->parameters.size() + (operation->uses_settings ? 1 : 0))
        << m[2];
  }
  std::vector<std::string> table;
  for (const Operation& operation : Operations()) table.push_back(operation.name);
  EXPECT_EQ(names, table);

  // A friendly command has one name, a line and a help of its own.
  std::set<std::string> friendly;
  for (const Operation& operation : Operations()) {
    if (*operation.friendly == '\0') continue;
    EXPECT_TRUE(friendly.insert(operation.friendly).second) << operation.friendly;
    EXPECT_NE(*operation.friendly_summary, '\0') << operation.friendly;
    EXPECT_EQ(FriendlyHelp(operation).find('{'), std::string::npos) << operation.friendly;
  }

  // The driver's help names its steps and record, and is broken into lines between its words.
  const std::string help = FriendlyHelp(*FindOperation("Pruefe_Konvertiere_Formulare"));
  std::string joined;
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LE(line.size(), 88u) << line;
    joined += (joined.empty() ? "" : " ") + line;
  }
  EXPECT_NE(joined.find("every conversion step the database still needs: " + StepsInWords() +
                        ". Each step"),
            std::string::npos)
      << help;
  EXPECT_NE(joined.find("'llupdate setting -d DBPATH CheckReportLL LetzterWert [STEP]'"),
            std::string::npos)
      << help;
}

}  // namespace
}  // namespace llupdate::component
