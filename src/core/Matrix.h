#pragma once
// A matrix indexed (column, row), both counted from 1, the column varying fastest in memory.

#include <cstddef>
#include <vector>

namespace nbtv {

template <class T>
class Matrix {
  public:
    Matrix() = default;
    Matrix(int columns, int rows)
        : columns_(columns), rows_(rows), data_(static_cast<std::size_t>(columns * rows), T{}) {}

    int columns() const { return columns_; }
    int rows() const { return rows_; }

    T& operator()(int column, int row) { return data_[index(column, row)]; }
    const T& operator()(int column, int row) const { return data_[index(column, row)]; }

    // Row r as a pointer to column 1.
    T* row(int r) { return &data_[index(1, r)]; }
    const T* row(int r) const { return &data_[index(1, r)]; }

    void fill(const T& value) { data_.assign(data_.size(), value); }

  private:
    std::size_t index(int column, int row) const {
        return static_cast<std::size_t>(row - 1) * static_cast<std::size_t>(columns_) +
               static_cast<std::size_t>(column - 1);
    }

    int columns_ = 0;
    int rows_ = 0;
    std::vector<T> data_;
};

} // namespace nbtv
