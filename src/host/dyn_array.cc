// The default DynArray. The rows are kept in chunks of a few thousand; a chunk holds each cell as
// eight bytes (where its value lies) and one byte (its kind), and the texts of its cells one after
// the other in one buffer. So a table of millions of lines (a large project held as lines) costs
// little more than its text, grows without copying what it holds, searches run through contiguous
// memory, and inserting a row moves only the cells of one chunk.
#include <algorithm>
#include <cstring>
#include <vector>

#include "host/objects.h"

namespace llupdate::host {
namespace {

constexpr size_t kChunkRows = 4096;

using Kind = Variant::Kind;

struct Ref {
  uint32_t at = 0;      // offset of the text (or double) in the chunk's buffer; bool / int32 value
  uint32_t length = 0;  // length of the text
};

struct Chunk {
  std::string buffer;
  std::vector<Ref> refs;
  std::vector<Kind> kinds;
  size_t garbage = 0;  // bytes of the buffer that no cell uses any more

  size_t cells() const { return refs.size(); }

  std::string_view Text(size_t i) const { return {buffer.data() + refs[i].at, refs[i].length}; }

  Variant Get(size_t i) const {
    switch (kinds[i]) {
      case Kind::kEmpty:
        return Variant();
      case Kind::kBool:
        return Variant(refs[i].at != 0);
      case Kind::kInt32:
        return Variant(static_cast<int32_t>(refs[i].at));
      case Kind::kDouble: {
        double d;
        std::memcpy(&d, buffer.data() + refs[i].at, sizeof d);
        return Variant(d);
      }
      case Kind::kString:
        return Variant(std::string(Text(i)));
    }
    return Variant();
  }

  uint32_t Store(std::string_view bytes) {
    if (buffer.size() + bytes.size() > UINT32_MAX) {
      throw platform::Error(platform::kOutOfMemory, "DynArray");
    }
    uint32_t at = static_cast<uint32_t>(buffer.size());
    buffer.append(bytes);
    return at;
  }

  void Set(size_t i, const Variant& value) {
    if (kinds[i] == Kind::kString) garbage += refs[i].length;
    if (kinds[i] == Kind::kDouble) garbage += sizeof(double);
    kinds[i] = value.kind();
    Ref& ref = refs[i];
    ref = Ref();
    switch (value.kind()) {
      case Kind::kEmpty:
        break;
      case Kind::kBool:
        ref.at = value.AsBool() ? 1 : 0;
        break;
      case Kind::kInt32:
        ref.at = static_cast<uint32_t>(value.AsInt32());
        break;
      case Kind::kDouble: {
        double d = value.AsDouble();
        ref.at = Store(std::string_view(reinterpret_cast<const char*>(&d), sizeof d));
        break;
      }
      case Kind::kString:
        ref.at = Store(value.AsString());
        ref.length = static_cast<uint32_t>(value.AsString().size());
        break;
    }
    if (garbage > 4096 && garbage > buffer.size() / 2) Compact();
  }

  bool Equals(size_t i, const Variant& value) const {
    if (kinds[i] != value.kind()) return false;
    switch (value.kind()) {
      case Kind::kString:
        return Text(i) == value.AsString();
      case Kind::kEmpty:
        return true;
      default:
        return Get(i) == value;
    }
  }

  // Copies the texts still in use into a new buffer.
  void Compact() {
    std::string fresh;
    fresh.reserve(buffer.size() - garbage);
    for (size_t i = 0; i < refs.size(); ++i) {
      size_t length = kinds[i] == Kind::kString   ? refs[i].length
                      : kinds[i] == Kind::kDouble ? sizeof(double)
                                                  : 0;
      if (length == 0 && kinds[i] != Kind::kString) continue;
      uint32_t at = static_cast<uint32_t>(fresh.size());
      fresh.append(buffer, refs[i].at, length);
      refs[i].at = at;
    }
    buffer.swap(fresh);
    garbage = 0;
  }
};

class MemoryDynArray : public DynArray {
 public:
  void Dimension(int32_t first_row, int32_t last_row, int32_t first_column,
                 int32_t last_column) override {
    if (first_row != 0 || first_column != 0 || last_row < -1 || last_column < 0) {
      throw platform::Error(platform::kSubscriptOutOfRange, "DynArray.Dimension");
    }
    columns_ = static_cast<size_t>(last_column) + 1;
    chunks_.clear();
    starts_.assign(1, 0);
    Append(static_cast<size_t>(int64_t{last_row} + 1));
  }

  Variant GetValue(int32_t row, int32_t column) override {
    auto [chunk, cell] = Locate(row, column);
    return chunks_[chunk].Get(cell);
  }

  void SetValue(int32_t row, int32_t column, const Variant& value) override {
    auto [chunk, cell] = Locate(row, column);
    chunks_[chunk].Set(cell, value);
  }

  void AddRows(int32_t count) override {
    if (count < 0) throw platform::Error(platform::kSubscriptOutOfRange, "DynArray.AddRows");
    Append(static_cast<size_t>(count));
  }

  void InsertRows(int32_t row, int32_t count) override {
    if (row < 0 || static_cast<size_t>(row) > Rows() || count < 0) {
      throw platform::Error(platform::kSubscriptOutOfRange, "DynArray.InsertRows");
    }
    if (static_cast<size_t>(row) == Rows()) {
      Append(static_cast<size_t>(count));
      return;
    }
    size_t chunk = ChunkOf(static_cast<size_t>(row));
    auto offset =
        static_cast<std::ptrdiff_t>((static_cast<size_t>(row) - starts_[chunk]) * columns_);
    size_t cells = static_cast<size_t>(count) * columns_;
    Chunk& c = chunks_[chunk];
    c.refs.insert(c.refs.begin() + offset, cells, Ref());
    c.kinds.insert(c.kinds.begin() + offset, cells, Kind::kEmpty);
    for (size_t k = chunk + 1; k < starts_.size(); ++k) starts_[k] += static_cast<size_t>(count);
  }

  int32_t Find(int32_t start_row, int32_t column, const Variant& value, int32_t, int32_t,
               int32_t) override {
    if (column < 0 || static_cast<size_t>(column) >= columns_) {
      throw platform::Error(platform::kSubscriptOutOfRange, "DynArray.Find");
    }
    size_t row = start_row < 0 ? 0 : static_cast<size_t>(start_row);
    if (row >= Rows()) return -1;
    for (size_t chunk = ChunkOf(row); chunk < chunks_.size(); ++chunk) {
      const Chunk& c = chunks_[chunk];
      for (size_t r = row - starts_[chunk], n = c.cells() / columns_; r < n; ++r) {
        if (c.Equals(r * columns_ + static_cast<size_t>(column), value)) {
          return static_cast<int32_t>(starts_[chunk] + r);
        }
      }
      row = starts_[chunk + 1];
    }
    return -1;
  }

  int32_t Count(int32_t dimension) override {
    return static_cast<int32_t>(dimension == 2 ? columns_ : Rows());
  }

  int32_t UpperBound(int32_t dimension) override { return Count(dimension) - 1; }

 private:
  size_t Rows() const { return starts_.back(); }

  // The chunk that holds a row (row < Rows()).
  size_t ChunkOf(size_t row) const {
    return static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), row) -
                               starts_.begin()) -
           1;
  }

  void Append(size_t rows) {
    while (rows > 0) {
      if (chunks_.empty() || chunks_.back().cells() >= kChunkRows * columns_) {
        if (!chunks_.empty()) chunks_.back().buffer.shrink_to_fit();  // a full chunk grows no more
        chunks_.emplace_back();
        chunks_.back().refs.reserve(kChunkRows * columns_);
        chunks_.back().kinds.reserve(kChunkRows * columns_);
        starts_.push_back(starts_.back());
      }
      Chunk& last = chunks_.back();
      size_t take = std::min(rows, kChunkRows - last.cells() / columns_);
      last.refs.resize(last.refs.size() + take * columns_);
      last.kinds.resize(last.kinds.size() + take * columns_, Kind::kEmpty);
      starts_.back() += take;
      rows -= take;
    }
  }

  std::pair<size_t, size_t> Locate(int32_t row, int32_t column) const {
    if (row < 0 || static_cast<size_t>(row) >= Rows() || column < 0 ||
        static_cast<size_t>(column) >= columns_) {
      throw platform::Error(
          platform::kSubscriptOutOfRange,
          "DynArray(" + std::to_string(row) + ", " + std::to_string(column) + ")");
    }
    size_t chunk = ChunkOf(static_cast<size_t>(row));
    return {chunk,
            (static_cast<size_t>(row) - starts_[chunk]) * columns_ + static_cast<size_t>(column)};
  }

  size_t columns_ = 1;
  std::vector<Chunk> chunks_;
  std::vector<size_t> starts_ = {0};  // first row of each chunk, then the number of rows
};

}  // namespace

std::shared_ptr<DynArray> NewMemoryDynArray() { return std::make_shared<MemoryDynArray>(); }

}  // namespace llupdate::host
