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

NBTV_VECTOR_CLONES void choleskyInPlace(double* a, int n, double ridge) {
    double largest = 0.0;
    for (int i = 0; i < n; ++i) {
        largest = std::max(largest, std::abs(a[at(i, i, n)]));
    }
    const double floor = 1e-12 * largest + 1e-300;
    for (int i = 0; i < n; ++i) {
        a[at(i, i, n)] += ridge * std::abs(a[at(i, i, n)]) + floor;
    }
    for (int i = 0; i < n; ++i) {
        double* rowI = &a[at(i, 0, n)];
        for (int j = 0; j <= i; ++j) {
            const double* rowJ = &a[at(j, 0, n)];
            double sum = rowI[j];
            for (int l = 0; l < j; ++l) {
                sum -= rowI[l] * rowJ[l];
            }
            if (j < i) {
                rowI[j] = sum / rowJ[j];
            } else {
                rowI[i] = sum > floor ? std::sqrt(sum) : std::sqrt(largest + 1.0) * 1e6;
            }
        }
        for (int j = i + 1; j < n; ++j) {
            rowI[j] = 0.0;
        }
    }
}

NBTV_VECTOR_CLONES void forwardSubstitute(const double* factor, int n, double* b, int columns) {
    const auto width = static_cast<std::size_t>(columns);
    for (int i = 0; i < n; ++i) {
        double* rowI = &b[static_cast<std::size_t>(i) * width];
        for (int l = 0; l < i; ++l) {
            const double f = factor[at(i, l, n)];
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
            for (std::size_t l = 0; l < kv; ++l) {
                const double* wl = &w[l * kv];
                for (std::size_t i = 0; i < kv; ++i) {
                    const double f = wl[i];
                    double* mi = &m[i * kv];
                    for (std::size_t c = 0; c <= i; ++c) {
                        mi[c] -= f * wl[c];
                    }
                    y[i] -= f * v[l];
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
