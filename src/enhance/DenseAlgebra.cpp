#include "enhance/DenseAlgebra.h"

#include "core/VectorRegisters.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace nbtv {

namespace {

inline std::size_t at(int row, int column, int n) {
    return static_cast<std::size_t>(row) * static_cast<std::size_t>(n) +
           static_cast<std::size_t>(column);
}

// Column by column (right-looking): once column l is final, it is taken from every entry below
// and to the right of it. Each entry sees the same products subtracted in the same order as in
// the row-by-row form, so the factor is the same bit for bit, but the inner loop runs along rows.
[[gnu::always_inline]] inline void choleskyWith(double* a, int n, double ridge) {
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

// Vectors of two, four or eight doubles: plain IEEE operations lane by lane, the same results
// as one at a time, however wide the registers that hold them. Each kernel below is built for
// the widest that the processor holds in one register.
using Two = double __attribute__((vector_size(16)));
using Four = double __attribute__((vector_size(32)));
using Eight = double __attribute__((vector_size(64)));

// dst[c] -= f(l) src(l)[c] for l < count, over `vectors` vectors of lanes from c0 side by side
// in one pass over l, so that the subtractions of one entry do not wait on each other, and then
// `tail` single columns; each entry loses the products in the order of l (the same as an entry
// at a time).
template <class V, int vectors, class Factor, class Source>
[[gnu::always_inline]] inline void subtractRun(double* __restrict dst, std::size_t c0,
                                               std::size_t tail, std::size_t count, Factor factor,
                                               Source source) {
    constexpr std::size_t lanes = sizeof(V) / sizeof(double);
    V a{}, b{}, c{}, d{};
    double* __restrict at = dst + c0;
    if constexpr (vectors > 0) {
        std::memcpy(&a, at, sizeof a);
    }
    if constexpr (vectors > 1) {
        std::memcpy(&b, at + lanes, sizeof b);
    }
    if constexpr (vectors > 2) {
        std::memcpy(&c, at + 2 * lanes, sizeof c);
    }
    if constexpr (vectors > 3) {
        std::memcpy(&d, at + 3 * lanes, sizeof d);
    }
    double* __restrict rest = at + lanes * vectors;
    for (std::size_t l = 0; l < count; ++l) {
        const double f = factor(l);
        const double* s = source(l) + c0;
        V v;
        if constexpr (vectors > 0) {
            std::memcpy(&v, s, sizeof v);
            a -= f * v;
        }
        if constexpr (vectors > 1) {
            std::memcpy(&v, s + lanes, sizeof v);
            b -= f * v;
        }
        if constexpr (vectors > 2) {
            std::memcpy(&v, s + 2 * lanes, sizeof v);
            c -= f * v;
        }
        if constexpr (vectors > 3) {
            std::memcpy(&v, s + 3 * lanes, sizeof v);
            d -= f * v;
        }
    }
    // The tail's entries in registers too, two at a time: through memory each subtraction would
    // wait for the store of the one before.
    std::size_t k = 0;
    for (; k + 2 <= tail; k += 2) {
        double t0 = rest[k];
        double t1 = rest[k + 1];
        for (std::size_t l = 0; l < count; ++l) {
            const double f = factor(l);
            const double* sr = source(l) + c0 + lanes * vectors + k;
            t0 -= f * sr[0];
            t1 -= f * sr[1];
        }
        rest[k] = t0;
        rest[k + 1] = t1;
    }
    if (k < tail) {
        double t0 = rest[k];
        for (std::size_t l = 0; l < count; ++l) {
            t0 -= factor(l) * source(l)[c0 + lanes * vectors + k];
        }
        rest[k] = t0;
    }
    if constexpr (vectors > 0) {
        std::memcpy(at, &a, sizeof a);
    }
    if constexpr (vectors > 1) {
        std::memcpy(at + lanes, &b, sizeof b);
    }
    if constexpr (vectors > 2) {
        std::memcpy(at + 2 * lanes, &c, sizeof c);
    }
    if constexpr (vectors > 3) {
        std::memcpy(at + 3 * lanes, &d, sizeof d);
    }
}

// dst[c] -= sum over l of f(l) src(l)[c] for c < width, in runs of up to four vectors.
template <class V, class Factor, class Source>
[[gnu::always_inline]] inline void subtractProducts(double* __restrict dst, std::size_t width,
                                                    std::size_t count, Factor factor,
                                                    Source source) {
    constexpr std::size_t lanes = sizeof(V) / sizeof(double);
    std::size_t c0 = 0;
    for (; c0 + 4 * lanes <= width; c0 += 4 * lanes) {
        subtractRun<V, 4>(dst, c0, 0, count, factor, source);
    }
    const std::size_t rest = width - c0;
    const std::size_t tail = rest % lanes;
    switch (rest / lanes) {
    case 3:
        subtractRun<V, 3>(dst, c0, tail, count, factor, source);
        break;
    case 2:
        subtractRun<V, 2>(dst, c0, tail, count, factor, source);
        break;
    case 1:
        subtractRun<V, 1>(dst, c0, tail, count, factor, source);
        break;
    default:
        if (tail > 0) {
            subtractRun<V, 0>(dst, c0, tail, count, factor, source);
        }
        break;
    }
}

template <class V>
[[gnu::always_inline]] inline void forwardWith(const double* factor, int n, double* b,
                                               int columns) {
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
        subtractProducts<V>(
            rowI, width, static_cast<std::size_t>(i),
            [&](std::size_t l) { return factor[at(i, static_cast<int>(l), n)]; },
            [&](std::size_t l) { return &b[l * width]; });
        const double inverse = 1.0 / factor[at(i, i, n)];
        for (std::size_t c = 0; c < width; ++c) {
            rowI[c] *= inverse;
        }
    }
}

[[gnu::always_inline]] inline void backWith(const double* factor, int n, double* b, int columns) {
    const auto width = static_cast<std::size_t>(columns);
    if (width == 1) {
        // The entry's sum in a register, in the same order of l.
        for (int i = n - 1; i >= 0; --i) {
            double sum = b[i];
            for (int l = i + 1; l < n; ++l) {
                sum -= factor[at(l, i, n)] * b[l];
            }
            b[i] = sum * (1.0 / factor[at(i, i, n)]);
        }
        return;
    }
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

// With M = L L^T the factor of a diagonal block and W = L^-1 C its coupling seen through it,
// the next block loses C^T M^-1 C = W^T W and its right-hand side W^T (L^-1 y); on the way back
// x = L^-T (L^-1 y - W x_next). Only lower triangles of the diagonal blocks are used.
template <class V>
[[gnu::always_inline]] inline void
blockTridiagonalWith(double* diagonal, const double* coupling, double* rhs, int k, int blocks,
                     std::vector<double>& factors, std::vector<double>& elimination) {
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
                subtractProducts<V>(
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
        choleskyWith(factor, k, ridge);
        if (j + 1 < blocks) {
            double* w = &elimination[static_cast<std::size_t>(j) * kk];
            std::copy_n(&coupling[static_cast<std::size_t>(j) * kk], kk, w);
            forwardWith<V>(factor, k, w, k);
        }
        forwardWith<V>(factor, k, y, 1);
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
        backWith(&factors[static_cast<std::size_t>(j) * kk], k, x, 1);
    }
}

// The kernels for one register width, each compiled for the processor that holds its vector in
// one register (`Eight` for AVX-512, `Four` for AVX2). A vector wider than the registers is
// split by the compiler through the stack, several times slower.
struct Kernels {
    void (*cholesky)(double*, int, double);
    void (*forward)(const double*, int, double*, int);
    void (*back)(const double*, int, double*, int);
    void (*blockTridiagonal)(double*, const double*, double*, int, int, std::vector<double>&,
                             std::vector<double>&);
};

#define NBTV_DENSE_KERNELS(name, target, V)                                                        \
    target void name##Cholesky(double* a, int n, double ridge) {                                   \
        choleskyWith(a, n, ridge);                                                                 \
    }                                                                                              \
    target void name##Forward(const double* f, int n, double* b, int columns) {                    \
        forwardWith<V>(f, n, b, columns);                                                          \
    }                                                                                              \
    target void name##Back(const double* f, int n, double* b, int columns) {                       \
        backWith(f, n, b, columns);                                                                \
    }                                                                                              \
    target void name##BlockTridiagonal(double* d, const double* c, double* r, int k, int blocks,   \
                                       std::vector<double>& f, std::vector<double>& e) {           \
        blockTridiagonalWith<V>(d, c, r, k, blocks, f, e);                                         \
    }                                                                                              \
    constexpr Kernels name{name##Cholesky, name##Forward, name##Back, name##BlockTridiagonal};

NBTV_DENSE_KERNELS(plain, , Two)
#if defined(__x86_64__) && defined(__GNUC__)
NBTV_DENSE_KERNELS(avx2, [[gnu::target("avx2")]], Four)
NBTV_DENSE_KERNELS(avx512, [[gnu::target("avx512f")]], Eight)
#endif
#undef NBTV_DENSE_KERNELS

const Kernels& kernelsOf(AlgebraWidth width) {
    switch (width) {
#if defined(__x86_64__) && defined(__GNUC__)
    case AlgebraWidth::Eight:
        return avx512;
    case AlgebraWidth::Four:
        return avx2;
#else
    case AlgebraWidth::Eight:
    case AlgebraWidth::Four:
#endif
    case AlgebraWidth::Two:
        break;
    }
    return plain;
}

} // namespace

AlgebraWidth widestAlgebra() {
#if defined(__x86_64__) && defined(__GNUC__)
    switch (vectorRegisters()) {
    case VectorRegisters::Bits512:
        return AlgebraWidth::Eight;
    case VectorRegisters::Bits256:
        return AlgebraWidth::Four;
    case VectorRegisters::Bits128:
        break;
    }
#endif
    return AlgebraWidth::Two;
}

void choleskyInPlace(double* a, int n, double ridge) {
    kernelsOf(widestAlgebra()).cholesky(a, n, ridge);
}

void forwardSubstitute(const double* factor, int n, double* b, int columns) {
    kernelsOf(widestAlgebra()).forward(factor, n, b, columns);
}

void backSubstitute(const double* factor, int n, double* b, int columns) {
    kernelsOf(widestAlgebra()).back(factor, n, b, columns);
}

void choleskySolve(const double* factor, int n, double* b, int columns) {
    forwardSubstitute(factor, n, b, columns);
    backSubstitute(factor, n, b, columns);
}

void solveBlockTridiagonal(double* diagonal, const double* coupling, double* rhs, int k, int blocks,
                           std::vector<double>& factors, std::vector<double>& elimination,
                           AlgebraWidth width) {
    if (static_cast<int>(width) > static_cast<int>(widestAlgebra())) {
        width = widestAlgebra();
    }
    kernelsOf(width).blockTridiagonal(diagonal, coupling, rhs, k, blocks, factors, elimination);
}

} // namespace nbtv
