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

// Vectors of eight doubles: plain IEEE operations lane by lane, the same results as one at a
// time, however wide the registers that hold them.
using Eight = double __attribute__((vector_size(64), aligned(8), may_alias));
#define NBTV_EIGHT(p) (*reinterpret_cast<Eight*>(p))
#define NBTV_CEIGHT(p) (*reinterpret_cast<const Eight*>(p))

// dst[c] -= f(l) src(l)[c] for l < count, over `vectors` vectors of eight columns from c0 and
// then `tail` single columns, all side by side in one pass over l, so that the subtractions of
// one entry do not wait on each other; each entry loses the products in the order of l (the
// same as an entry at a time).
template <int vectors, class Factor, class Source>
inline void subtractRun(double* __restrict dst, std::size_t c0, std::size_t tail, std::size_t count,
                        Factor factor, Source source) {
    using Plain = double __attribute__((vector_size(64)));
    Plain a{}, b{}, c{}, d{};
    double* __restrict at = dst + c0;
    if constexpr (vectors > 0) {
        a = NBTV_CEIGHT(at);
    }
    if constexpr (vectors > 1) {
        b = NBTV_CEIGHT(at + 8);
    }
    if constexpr (vectors > 2) {
        c = NBTV_CEIGHT(at + 16);
    }
    if constexpr (vectors > 3) {
        d = NBTV_CEIGHT(at + 24);
    }
    double* __restrict rest = at + 8 * vectors;
    for (std::size_t l = 0; l < count; ++l) {
        const double f = factor(l);
        const double* s = source(l) + c0;
        if constexpr (vectors > 0) {
            a -= f * NBTV_CEIGHT(s);
        }
        if constexpr (vectors > 1) {
            b -= f * NBTV_CEIGHT(s + 8);
        }
        if constexpr (vectors > 2) {
            c -= f * NBTV_CEIGHT(s + 16);
        }
        if constexpr (vectors > 3) {
            d -= f * NBTV_CEIGHT(s + 24);
        }
        const double* sr = s + 8 * vectors;
        for (std::size_t k = 0; k < tail; ++k) {
            rest[k] -= f * sr[k];
        }
    }
    if constexpr (vectors > 0) {
        NBTV_EIGHT(at) = a;
    }
    if constexpr (vectors > 1) {
        NBTV_EIGHT(at + 8) = b;
    }
    if constexpr (vectors > 2) {
        NBTV_EIGHT(at + 16) = c;
    }
    if constexpr (vectors > 3) {
        NBTV_EIGHT(at + 24) = d;
    }
}

// dst[c] -= sum over l of f(l) src(l)[c] for c < width, in runs of up to four vectors.
template <class Factor, class Source>
inline void subtractProducts(double* __restrict dst, std::size_t width, std::size_t count,
                             Factor factor, Source source) {
    std::size_t c0 = 0;
    for (; c0 + 32 <= width; c0 += 32) {
        subtractRun<4>(dst, c0, 0, count, factor, source);
    }
    const std::size_t rest = width - c0;
    const std::size_t tail = rest % 8;
    switch (rest / 8) {
    case 3:
        subtractRun<3>(dst, c0, tail, count, factor, source);
        break;
    case 2:
        subtractRun<2>(dst, c0, tail, count, factor, source);
        break;
    case 1:
        subtractRun<1>(dst, c0, tail, count, factor, source);
        break;
    default:
        if (tail > 0) {
            subtractRun<0>(dst, c0, tail, count, factor, source);
        }
        break;
    }
}

} // namespace

NBTV_VECTOR_CLONES void forwardSubstitute(const double* factor, int n, double* b, int columns) {
    const auto width = static_cast<std::size_t>(columns);
    if (width == 1) {
        // Column by column: once b[l] is final it is taken from every entry below, so that
        // the entries lose their products side by side, each in the order of l as row by row.
        for (int l = 0; l < n; ++l) {
            b[l] = b[l] * (1.0 / factor[at(l, l, n)]);
            const double bl = b[l];
            for (int i = l + 1; i < n; ++i) {
                b[i] -= factor[at(i, l, n)] * bl;
            }
        }
        return;
    }
    // Each entry loses the same products in the same order as row by row.
    for (int i = 0; i < n; ++i) {
        double* rowI = &b[static_cast<std::size_t>(i) * width];
        subtractProducts(
            rowI, width, static_cast<std::size_t>(i),
            [&](std::size_t l) { return factor[at(i, static_cast<int>(l), n)]; },
            [&](std::size_t l) { return &b[l * width]; });
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
            // m -= W^T W (lower triangle) a row at a time, each entry losing the products in
            // the order of l.
            for (std::size_t i = 0; i < kv; ++i) {
                subtractProducts(
                    &m[i * kv], i + 1, kv, [&](std::size_t l) { return w[l * kv + i]; },
                    [&](std::size_t l) { return &w[l * kv]; });
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
            // Four rows side by side, each summed in the order of c.
            std::size_t i = 0;
            for (; i + 4 <= kv; i += 4) {
                const double* w0 = &w[i * kv];
                double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
                for (std::size_t c = 0; c < kv; ++c) {
                    s0 += w0[c] * next[c];
                    s1 += w0[kv + c] * next[c];
                    s2 += w0[2 * kv + c] * next[c];
                    s3 += w0[3 * kv + c] * next[c];
                }
                x[i] -= s0;
                x[i + 1] -= s1;
                x[i + 2] -= s2;
                x[i + 3] -= s3;
            }
            for (; i < kv; ++i) {
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
