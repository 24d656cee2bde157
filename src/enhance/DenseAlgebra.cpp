#include "enhance/DenseAlgebra.h"

#include "enhance/VectorClones.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace nbtv {

namespace {

inline std::size_t at(int row, int column, int n) {
    return static_cast<std::size_t>(row) * static_cast<std::size_t>(n) +
           static_cast<std::size_t>(column);
}

} // namespace

// Column by column (right-looking): once column l is final, it is taken from every entry below
// and to the right of it. Each entry sees the same products subtracted in the same order as in
// the row-by-row form, so the factor is the same bit for bit, but the inner loop runs along rows.
NBTV_VECTOR_CLONES void choleskyInPlace(double* a, int n, double ridge) {
    double largest = 0.0;
    for (int i = 0; i < n; ++i) {
        largest = std::max(largest, std::abs(a[at(i, i, n)]));
    }
    const double floor = 1e-12 * largest + 1e-300;
    for (int i = 0; i < n; ++i) {
        a[at(i, i, n)] += ridge * std::abs(a[at(i, i, n)]) + floor;
    }
    std::vector<double> column(static_cast<std::size_t>(std::max(n, 0)));
    double* __restrict col = column.data();
    for (int l = 0; l < n; ++l) {
        const double sum = a[at(l, l, n)];
        const double pivot = sum > floor ? std::sqrt(sum) : std::sqrt(largest + 1.0) * 1e6;
        a[at(l, l, n)] = pivot;
        for (int i = l + 1; i < n; ++i) {
            a[at(i, l, n)] = a[at(i, l, n)] / pivot;
            col[i] = a[at(i, l, n)];
        }
        for (int i = l + 1; i < n; ++i) {
            double* __restrict rowI = &a[at(i, 0, n)];
            const double f = col[i];
            for (int c = l + 1; c <= i; ++c) {
                rowI[c] -= f * col[c];
            }
        }
    }
    for (int i = 0; i < n; ++i) {
        for (int j = i + 1; j < n; ++j) {
            a[at(i, j, n)] = 0.0;
        }
    }
}

namespace {

// Columns of a right-hand side worked on at once, held in registers as two vectors of four
// (plain IEEE operations lane by lane, the same results as one at a time).
constexpr std::size_t tile = 8;
using Four = double __attribute__((vector_size(32), aligned(8), may_alias));
#define NBTV_FOUR(p) (*reinterpret_cast<Four*>(p))
#define NBTV_CFOUR(p) (*reinterpret_cast<const Four*>(p))

} // namespace

NBTV_VECTOR_CLONES void forwardSubstitute(const double* factor, int n, double* b, int columns) {
    const auto width = static_cast<std::size_t>(columns);
    if (width == 1) {
        for (int i = 0; i < n; ++i) {
            double sum = b[i];
            for (int l = 0; l < i; ++l) {
                sum -= factor[at(i, l, n)] * b[l];
            }
            b[i] = sum * (1.0 / factor[at(i, i, n)]);
        }
        return;
    }
    // A tile of columns at a time: each entry loses the same products in the same order as
    // row by row over the whole width.
    for (std::size_t c0 = 0; c0 < width; c0 += tile) {
        const std::size_t w = std::min(tile, width - c0);
        for (int i = 0; i < n; ++i) {
            double* rowI = &b[static_cast<std::size_t>(i) * width + c0];
            const double inverse = 1.0 / factor[at(i, i, n)];
            if (w == tile) {
                Four low = NBTV_CFOUR(rowI);
                Four high = NBTV_CFOUR(rowI + 4);
                for (int l = 0; l < i; ++l) {
                    const double f = factor[at(i, l, n)];
                    const double* rowL = &b[static_cast<std::size_t>(l) * width + c0];
                    low -= f * NBTV_CFOUR(rowL);
                    high -= f * NBTV_CFOUR(rowL + 4);
                }
                NBTV_FOUR(rowI) = low * inverse;
                NBTV_FOUR(rowI + 4) = high * inverse;
            } else {
                for (int l = 0; l < i; ++l) {
                    const double f = factor[at(i, l, n)];
                    const double* rowL = &b[static_cast<std::size_t>(l) * width + c0];
                    for (std::size_t c = 0; c < w; ++c) {
                        rowI[c] -= f * rowL[c];
                    }
                }
                for (std::size_t c = 0; c < w; ++c) {
                    rowI[c] *= inverse;
                }
            }
        }
    }
}

NBTV_VECTOR_CLONES void backSubstitute(const double* factor, int n, double* b, int columns) {
    const auto width = static_cast<std::size_t>(columns);
    for (int i = n - 1; i >= 0; --i) {
        double* rowI = &b[static_cast<std::size_t>(i) * width];
        for (int l = i + 1; l < n; ++l) {
            const double f = factor[at(l, i, n)];
            const double* rowL = &b[static_cast<std::size_t>(l) * width];
            for (std::size_t c = 0; c < width; ++c) {
                rowI[c] -= f * rowL[c];
            }
        }
        const double inverse = 1.0 / factor[at(i, i, n)];
        for (std::size_t c = 0; c < width; ++c) {
            rowI[c] *= inverse;
        }
    }
}

void choleskySolve(const double* factor, int n, double* b, int columns) {
    forwardSubstitute(factor, n, b, columns);
    backSubstitute(factor, n, b, columns);
}

// With M = L L^T the factor of a diagonal block and W = L^-1 C its coupling seen through it,
// the next block loses C^T M^-1 C = W^T W and its right-hand side W^T (L^-1 y); on the way back
// x = L^-T (L^-1 y - W x_next). Only lower triangles of the diagonal blocks are used.
NBTV_VECTOR_CLONES void solveBlockTridiagonal(double* diagonal, const double* coupling, double* rhs,
                                              int k, int blocks, std::vector<double>& factors,
                                              std::vector<double>& elimination) {
    const auto kk = static_cast<std::size_t>(k) * static_cast<std::size_t>(k);
    const auto kv = static_cast<std::size_t>(k);
    factors.resize(static_cast<std::size_t>(blocks) * kk);
    elimination.resize(static_cast<std::size_t>(std::max(blocks - 1, 0)) * kk);
    // A relative ridge keeps nearly dependent knots (the ends of a segment) from running away.
    constexpr double ridge = 1e-7;
    for (int j = 0; j < blocks; ++j) {
        double* m = &diagonal[static_cast<std::size_t>(j) * kk];
        double* y = &rhs[static_cast<std::size_t>(j) * kv];
        if (j > 0) {
            const double* w = &elimination[static_cast<std::size_t>(j - 1) * kk];
            const double* v = &rhs[static_cast<std::size_t>(j - 1) * kv];
            // m -= W^T W (lower triangle) a tile of a row at a time, each entry losing the
            // products in the order of l.
            for (std::size_t i = 0; i < kv; ++i) {
                double* mi = &m[i * kv];
                for (std::size_t c0 = 0; c0 <= i; c0 += tile) {
                    const std::size_t width = std::min(tile, i + 1 - c0);
                    if (width == tile) {
                        Four low = NBTV_CFOUR(mi + c0);
                        Four high = NBTV_CFOUR(mi + c0 + 4);
                        for (std::size_t l = 0; l < kv; ++l) {
                            const double f = w[l * kv + i];
                            const double* wl = &w[l * kv + c0];
                            low -= f * NBTV_CFOUR(wl);
                            high -= f * NBTV_CFOUR(wl + 4);
                        }
                        NBTV_FOUR(mi + c0) = low;
                        NBTV_FOUR(mi + c0 + 4) = high;
                    } else {
                        for (std::size_t l = 0; l < kv; ++l) {
                            const double f = w[l * kv + i];
                            const double* wl = &w[l * kv + c0];
                            for (std::size_t c = 0; c < width; ++c) {
                                mi[c0 + c] -= f * wl[c];
                            }
                        }
                    }
                }
            }
            for (std::size_t l = 0; l < kv; ++l) {
                for (std::size_t i = 0; i < kv; ++i) {
                    y[i] -= w[l * kv + i] * v[l];
                }
            }
        }
        double* factor = &factors[static_cast<std::size_t>(j) * kk];
        std::copy_n(m, kk, factor);
        choleskyInPlace(factor, k, ridge);
        if (j + 1 < blocks) {
            double* w = &elimination[static_cast<std::size_t>(j) * kk];
            std::copy_n(&coupling[static_cast<std::size_t>(j) * kk], kk, w);
            forwardSubstitute(factor, k, w, k);
        }
        forwardSubstitute(factor, k, y, 1);
    }
    for (int j = blocks - 1; j >= 0; --j) {
        double* x = &rhs[static_cast<std::size_t>(j) * kv];
        if (j + 1 < blocks) {
            const double* w = &elimination[static_cast<std::size_t>(j) * kk];
            const double* next = &rhs[static_cast<std::size_t>(j + 1) * kv];
            for (std::size_t i = 0; i < kv; ++i) {
                double sum = 0.0;
                for (std::size_t c = 0; c < kv; ++c) {
                    sum += w[i * kv + c] * next[c];
                }
                x[i] -= sum;
            }
        }
        backSubstitute(&factors[static_cast<std::size_t>(j) * kk], k, x, 1);
    }
}

} // namespace nbtv
