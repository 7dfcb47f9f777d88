#include "files/file_table.h"

#include "platform/error.h"

namespace llupdate::files {

using platform::Error;

int32_t FileTable::FreeFile() const {
  for (int32_t n = 1; n <= 255; ++n) {
    if (!IsOpen(n)) return n;
  }
  throw Error(platform::kTooManyFiles);
}

FileTable::Slot& FileTable::Use(int32_t number) {
  if (number < 1 || number > 255) throw Error(platform::kBadFileNumber);
  return slots_[static_cast<size_t>(number)];
}

void FileTable::OpenInput(int32_t number, platform::FileSystem& fs, const std::string& path) {
  Slot& slot = Use(number);
  if (slot.reader || slot.writer) throw Error(platform::kFileAlreadyOpen, path);
  slot.reader = std::make_unique<TextReader>(fs.Open(path, platform::OpenMode::kRead));
}

void FileTable::OpenOutput(int32_t number, platform::FileSystem& fs, const std::string& path,
                           Encoding encoding, platform::OpenMode mode) {
  Slot& slot = Use(number);
  if (slot.reader || slot.writer) throw Error(platform::kFileAlreadyOpen, path);
  slot.writer = std::make_unique<TextWriter>(fs.Open(path, mode), encoding);
}

TextReader& FileTable::Reader(int32_t number) {
  Slot& slot = Use(number);
  if (!slot.reader) throw Error(platform::kBadFileNumber);
  return *slot.reader;
}

TextWriter& FileTable::Writer(int32_t number) {
  Slot& slot = Use(number);
  if (!slot.writer) throw Error(platform::kBadFileNumber);
  return *slot.writer;
}

void FileTable::Close(int32_t number) {
  Slot& slot = Use(number);
  std::unique_ptr<TextReader> reader = std::move(slot.reader);
  std::unique_ptr<TextWriter> writer = std::move(slot.writer);
  if (reader) reader->Close();
  if (writer) writer->Close();
}

void FileTable::CloseQuietly(int32_t number) noexcept {
  try {
    Close(number);
  } catch (...) {
  }
}

bool FileTable::IsOpen(int32_t number) const {
  if (number < 1 || number > 255) return false;
  const Slot& slot = slots_[static_cast<size_t>(number)];
  return slot.reader || slot.writer;
}

int FileTable::OpenCount() const {
  int count = 0;
  for (int32_t n = 1; n <= 255; ++n) count += IsOpen(n) ? 1 : 0;
  return count;
}

}  // namespace llupdate::files
