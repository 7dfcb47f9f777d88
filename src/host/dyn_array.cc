// The default DynArray. The rows are kept in chunks of a few thousand, each chunk one vector of
// cells row after row: a table of millions of lines (a large project held as lines) grows without
// copying what it holds, searches run through contiguous memory, and inserting a row moves only
// the rows of one chunk.
#include <algorithm>
#include <vector>

#include "host/objects.h"

namespace llupdate::host {
namespace {

constexpr size_t kChunkRows = 4096;

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
    Append(static_cast<size_t>(last_row + 1));
  }

  Variant GetValue(int32_t row, int32_t column) override { return Cell(row, column); }

  void SetValue(int32_t row, int32_t column, const Variant& value) override {
    Cell(row, column) = value;
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
    size_t offset = (static_cast<size_t>(row) - starts_[chunk]) * columns_;
    std::vector<Variant>& cells = chunks_[chunk];
    cells.insert(cells.begin() + static_cast<std::ptrdiff_t>(offset),
                 static_cast<size_t>(count) * columns_, Variant());
    for (size_t c = chunk + 1; c < starts_.size(); ++c) starts_[c] += static_cast<size_t>(count);
  }

  int32_t Find(int32_t start_row, int32_t column, const Variant& value, int32_t, int32_t,
               int32_t) override {
    if (column < 0 || static_cast<size_t>(column) >= columns_) {
      throw platform::Error(platform::kSubscriptOutOfRange, "DynArray.Find");
    }
    size_t row = start_row < 0 ? 0 : static_cast<size_t>(start_row);
    if (row >= Rows()) return -1;
    for (size_t chunk = ChunkOf(row); chunk < chunks_.size(); ++chunk) {
      const std::vector<Variant>& cells = chunks_[chunk];
      for (size_t r = row - starts_[chunk], n = cells.size() / columns_; r < n; ++r) {
        if (cells[r * columns_ + static_cast<size_t>(column)] == value) {
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
      if (chunks_.empty() || chunks_.back().size() >= kChunkRows * columns_) {
        chunks_.emplace_back();
        chunks_.back().reserve(kChunkRows * columns_);
        starts_.push_back(starts_.back());
      }
      std::vector<Variant>& last = chunks_.back();
      size_t take = std::min(rows, kChunkRows - last.size() / columns_);
      last.resize(last.size() + take * columns_);
      starts_.back() += take;
      rows -= take;
    }
  }

  Variant& Cell(int32_t row, int32_t column) {
    if (row < 0 || static_cast<size_t>(row) >= Rows() || column < 0 ||
        static_cast<size_t>(column) >= columns_) {
      throw platform::Error(
          platform::kSubscriptOutOfRange,
          "DynArray(" + std::to_string(row) + ", " + std::to_string(column) + ")");
    }
    size_t chunk = ChunkOf(static_cast<size_t>(row));
    return chunks_[chunk][(static_cast<size_t>(row) - starts_[chunk]) * columns_ +
                          static_cast<size_t>(column)];
  }

  size_t columns_ = 1;
  std::vector<std::vector<Variant>> chunks_;
  std::vector<size_t> starts_ = {0};  // first row of each chunk, then the number of rows
};

}  // namespace

std::shared_ptr<DynArray> NewMemoryDynArray() { return std::make_shared<MemoryDynArray>(); }

}  // namespace llupdate::host
