// The stand-in of the List & Label control: it refuses what is no text project it could save
// without loss (a NUL byte in an 8-bit file, line ends that are LF alone, UTF-16 of odd length),
// leaving the file as it was, and a project it saved once it saves again byte for byte. It writes
// exactly when the save changes the bytes: a project in the current format is left alone.
#include "fuzz_support.h"
#include "host/list_label.h"
#include "text/encoding.h"

using namespace llupdate;

namespace {

// Counts the files opened for writing.
class WriteCounter : public ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    if (mode != OpenMode::kRead) ++writes;
    return ForwardingFileSystem::Open(path, mode);
  }
  int writes = 0;
};

// Opens and saves path; the error number, or 0.
int Resave(FileSystem& fs, const std::string& path) {
  int number = 0;
  try {
    auto control = host::NewProjectResaver();
    dynamic_cast<host::JobControl&>(*control).JoinJob(&fs, nullptr, nullptr);
    control->OpenProjectFile(1, path, 0);
    control->SaveProjectFile(path);
    control->CloseProjectFile();
  } catch (const Error& e) {
    number = e.number();
  }
  return number;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string form = fuzz::Bytes(data, size);
  auto fs = std::make_shared<WriteCounter>(fuzz::Database("a.lst", form));
  const std::string path = "db\\BerichteLL\\a.lst";

  size_t mark = 0;
  const text::Encoding encoding = text::DetectEncoding(form, &mark);
  const bool utf16 = encoding == text::Encoding::kUtf16Le || encoding == text::Encoding::kUtf16Be;
  const std::string body = form.substr(mark);
  const bool must_refuse =
      (encoding == text::Encoding::kAnsi && body.find('\0') != std::string::npos) ||
      (utf16 && body.size() % 2 != 0) ||
      (!utf16 && body.find('\n') != std::string::npos && body.find('\r') == std::string::npos);

  const int first = Resave(*fs, path);
  const std::string once = fuzz::ReadFile(*fs, path);
  if (must_refuse) FUZZ_CHECK(first == kNotATextProject);
  if (first != 0) {
    FUZZ_CHECK(first == kNotATextProject);
    FUZZ_CHECK(once == form);
    FUZZ_CHECK(fs->writes == 0);
  } else {
    FUZZ_CHECK((fs->writes > 0) == (once != form));
    fs->writes = 0;
    FUZZ_CHECK(Resave(*fs, path) == 0);
    FUZZ_CHECK(fuzz::ReadFile(*fs, path) == once);
    FUZZ_CHECK(fs->writes == 0);
  }
  // Nothing of its own is left beside the project.
  FUZZ_CHECK(fs->ListFiles("db\\BerichteLL").size() == 1);
  return 0;
}
