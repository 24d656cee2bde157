#include "core/Fourier.h"

#include <cmath>
#include <numbers>
#include <utility>

namespace nbtv {

void fftInPlace(std::vector<double>& re, std::vector<double>& im) {
    const std::size_t n = re.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; (j & bit) != 0; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const double angle = -2.0 * std::numbers::pi / static_cast<double>(len);
        const double wr = std::cos(angle);
        const double wi = std::sin(angle);
        for (std::size_t start = 0; start < n; start += len) {
            double cr = 1.0;
            double ci = 0.0;
            for (std::size_t k = 0; k < len / 2; ++k) {
                const std::size_t u = start + k;
                const std::size_t v = u + len / 2;
                const double tr = re[v] * cr - im[v] * ci;
                const double ti = re[v] * ci + im[v] * cr;
                re[v] = re[u] - tr;
                im[v] = im[u] - ti;
                re[u] += tr;
                im[u] += ti;
                const double nr = cr * wr - ci * wi;
                ci = cr * wi + ci * wr;
                cr = nr;
            }
        }
    }
}

} // namespace nbtv
