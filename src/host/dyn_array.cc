#include <vector>

#include "host/objects.h"

namespace llupdate::host {
namespace {

class MemoryDynArray : public DynArray {
 public:
  void Dimension(int32_t first_row, int32_t last_row, int32_t first_column,
                 int32_t last_column) override {
    if (first_row != 0 || first_column != 0 || last_row < -1 || last_column < 0) {
      throw platform::Error(platform::kSubscriptOutOfRange, "DynArray.Dimension");
    }
    columns_ = last_column + 1;
    rows_.assign(static_cast<size_t>(last_row + 1), std::vector<Variant>(columns_));
  }

  Variant GetValue(int32_t row, int32_t column) override { return Cell(row, column); }

  void SetValue(int32_t row, int32_t column, const Variant& value) override {
    Cell(row, column) = value;
  }

  void AddRows(int32_t count) override {
    if (count < 0) throw platform::Error(platform::kSubscriptOutOfRange, "DynArray.AddRows");
    rows_.resize(rows_.size() + static_cast<size_t>(count), std::vector<Variant>(columns_));
  }

  void InsertRows(int32_t row, int32_t count) override {
    if (row < 0 || static_cast<size_t>(row) > rows_.size() || count < 0) {
      throw platform::Error(platform::kSubscriptOutOfRange, "DynArray.InsertRows");
    }
    rows_.insert(rows_.begin() + row, static_cast<size_t>(count), std::vector<Variant>(columns_));
  }

  int32_t Find(int32_t start_row, int32_t column, const Variant& value, int32_t, int32_t,
               int32_t) override {
    if (column < 0 || column >= columns_) {
      throw platform::Error(platform::kSubscriptOutOfRange, "DynArray.Find");
    }
    for (size_t r = start_row < 0 ? 0 : static_cast<size_t>(start_row); r < rows_.size(); ++r) {
      if (rows_[r][static_cast<size_t>(column)] == value) return static_cast<int32_t>(r);
    }
    return -1;
  }

  int32_t Count(int32_t dimension) override {
    return dimension == 2 ? columns_ : static_cast<int32_t>(rows_.size());
  }

  int32_t UpperBound(int32_t dimension) override { return Count(dimension) - 1; }

 private:
  Variant& Cell(int32_t row, int32_t column) {
    if (row < 0 || static_cast<size_t>(row) >= rows_.size() || column < 0 || column >= columns_) {
      throw platform::Error(
          platform::kSubscriptOutOfRange,
          "DynArray(" + std::to_string(row) + ", " + std::to_string(column) + ")");
    }
    return rows_[static_cast<size_t>(row)][static_cast<size_t>(column)];
  }

  int32_t columns_ = 0;
  std::vector<std::vector<Variant>> rows_;
};

}  // namespace

std::shared_ptr<DynArray> NewMemoryDynArray() { return std::make_shared<MemoryDynArray>(); }

}  // namespace llupdate::host
