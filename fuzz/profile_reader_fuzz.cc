// The profile reader: the values of several keys read in one pass equal the values of separate
// reads, whatever the file holds.
#include "files/profile_reader.h"
#include "fuzz_support.h"

using namespace llupdate;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes = fuzz::Bytes(data, size);
  auto fs = NewMemoryFileSystem();
  fuzz::WriteFile(*fs, "p.ini", bytes);

  // The names to ask for: sections and keys the text itself holds (a few), and ones it lacks.
  std::vector<std::string> sections = {"", "Description", "nirgends"};
  std::vector<std::string> keys = {"FileVersion", "fehlt"};
  size_t start = 0;
  for (int line = 0; line < 64 && start < bytes.size(); ++line) {
    size_t end = bytes.find_first_of("\r\n", start);
    if (end == std::string::npos) end = bytes.size();
    std::string text = bytes.substr(start, end - start);
    size_t close = text.rfind(']');
    if (!text.empty() && text[0] == '[' && close != std::string::npos && sections.size() < 6) {
      sections.push_back(text.substr(1, close - 1));
    } else if (size_t equals = text.find('='); equals != std::string::npos && keys.size() < 5) {
      keys.push_back(text.substr(0, equals));
    }
    start = end + 1;
  }
  std::vector<files::ProfileQuery> queries;
  for (const std::string& section : sections) {
    for (const std::string& key : keys) queries.push_back({section, key, "vorgabe"});
  }
  std::vector<std::string> together = files::ReadProfileValues(*fs, "p.ini", queries);
  FUZZ_CHECK(together.size() == queries.size());
  for (size_t i = 0; i < queries.size(); ++i) {
    std::vector<std::string> alone = files::ReadProfileValues(*fs, "p.ini", {queries[i]});
    FUZZ_CHECK(alone.size() == 1 && alone[0] == together[i]);
    FUZZ_CHECK(together[i].size() <= 4 * files::kProfileValueLimit);
  }
  return 0;
}
