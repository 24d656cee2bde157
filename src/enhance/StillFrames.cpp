#include "enhance/StillFrames.h"

#include <algorithm>
#include <cmath>

#include "enhance/SlotRing.h"

namespace nbtv {

namespace {

// Up to this many frames make each column (the ring holds four).
constexpr int stillFrames = 4;
// Two frames agree at a place where their squared difference, against the variance of both
// (their noise, three times what a fade may add to it, and a floor: a clean fit's own scatter),
// averages no more than `stillNoise` (what noise alone gives, with a margin) and differ from
// `movingNoise` on, both over `stillColumns` columns and `stillLines` lines either side and,
// more strictly (many more places), over whole columns `wholeColumns` either side. A slot's
// variance counts from `minimumVariance` (a clean signal's), so that no frame outweighs the
// others by far where all are clean. Chosen on the training photographs, still and panning.
constexpr double fadeWeight = 3.0;
constexpr double stillFloor = 1e-4 * 1e-4;
constexpr std::size_t stillColumns = 2;
constexpr std::size_t stillLines = 1;
constexpr double stillNoise = 1.5;
constexpr double movingNoise = 3.0;
constexpr std::size_t wholeColumns = 1;
constexpr double stillColumnNoise = 1.2;
constexpr double movingColumnNoise = 1.8;
constexpr double minimumVariance = 3e-4 * 3e-4;

// How still a place is (1 to 0) from the mean of its squared differences.
double stillness(double mean, double still, double moving) {
    return std::clamp((moving - mean) / (moving - still), 0.0, 1.0);
}

// The mean of the non-negative `likeness` values over lines [k0, k1] and columns [i0, i1].
double meanLikeness(const std::vector<double>& likeness, std::size_t columns, std::size_t k0,
                    std::size_t k1, std::size_t i0, std::size_t i1) {
    double total = 0.0;
    int count = 0;
    for (std::size_t k = k0; k <= k1; ++k) {
        for (std::size_t i = i0; i <= i1; ++i) {
            const double l = likeness[k * columns + i];
            if (l >= 0.0) {
                total += l;
                ++count;
            }
        }
    }
    return count > 0 ? total / count : -1.0;
}

} // namespace

void combineStillFrames(const SlotRing& ring, std::int64_t first, std::int64_t frameSlots,
                        std::size_t columns, std::span<const std::uint8_t> held,
                        std::span<double> values, std::span<double> noises) {
    const std::size_t lines = ring.lines();
    const std::size_t cells = lines * columns;
    if (columns == 0 || lines == 0 || values.size() < cells || noises.size() < cells ||
        held.size() < cells) {
        return;
    }
    auto varianceOf = [](double noise, double fade) {
        return noise * noise + fadeWeight * fadeWeight * fade * fade;
    };
    // The weighted sums of the values, of the weights and of weight^2 noise^2.
    std::vector<double> sum(cells, 0.0);
    std::vector<double> weight(cells, 0.0);
    std::vector<double> spread(cells, 0.0);
    std::vector<double> variance(cells, 0.0);
    for (std::size_t k = 0; k < lines; ++k) {
        for (std::size_t i = 0; i < columns; ++i) {
            const std::size_t at = k * columns + i;
            if (!held[at]) {
                continue;
            }
            const std::int64_t slot = first + static_cast<std::int64_t>(i);
            variance[at] = varianceOf(noises[at], ring.fadeNoise(slot, k));
            const double precision = 1.0 / std::max(variance[at], minimumVariance);
            sum[at] = precision * values[at];
            weight[at] = precision;
            spread[at] = precision * precision * noises[at] * noises[at];
        }
    }
    // Each place's squared difference from the earlier frame against the variance of both, or
    // -1 where either is missing (or the earlier one was not fitted fully).
    std::vector<double> likeness(cells);
    std::vector<double> columnStill(columns);
    for (int back = 1; back < stillFrames; ++back) {
        const std::int64_t before = first - back * frameSlots;
        for (std::size_t k = 0; k < lines; ++k) {
            for (std::size_t i = 0; i < columns; ++i) {
                const std::size_t at = k * columns + i;
                const std::int64_t slot = before + static_cast<std::int64_t>(i);
                likeness[at] = -1.0;
                if (held[at] && ring.holds(slot) && ring.trust(slot) >= 1.0) {
                    const double d = ring.deviation(slot, k) - values[at];
                    likeness[at] =
                        d * d /
                        (variance[at] + varianceOf(ring.noise(slot, k), ring.fadeNoise(slot, k)) +
                         stillFloor);
                }
            }
        }
        for (std::size_t i = 0; i < columns; ++i) {
            const double mean = meanLikeness(likeness, columns, 0, lines - 1,
                                             i >= wholeColumns ? i - wholeColumns : 0,
                                             std::min(columns - 1, i + wholeColumns));
            columnStill[i] =
                mean >= 0.0 ? stillness(mean, stillColumnNoise, movingColumnNoise) : 0.0;
        }
        for (std::size_t k = 0; k < lines; ++k) {
            for (std::size_t i = 0; i < columns; ++i) {
                const std::size_t at = k * columns + i;
                if (likeness[at] < 0.0 || !(columnStill[i] > 0.0)) {
                    continue;
                }
                const double mean = meanLikeness(
                    likeness, columns, k >= stillLines ? k - stillLines : 0,
                    std::min(lines - 1, k + stillLines), i >= stillColumns ? i - stillColumns : 0,
                    std::min(columns - 1, i + stillColumns));
                const double still =
                    std::min(columnStill[i], stillness(mean, stillNoise, movingNoise));
                if (still > 0.0) {
                    const std::int64_t slot = before + static_cast<std::int64_t>(i);
                    const double n = ring.noise(slot, k);
                    const double precision =
                        still / std::max(varianceOf(n, ring.fadeNoise(slot, k)), minimumVariance);
                    sum[at] += precision * ring.deviation(slot, k);
                    weight[at] += precision;
                    spread[at] += precision * precision * n * n;
                }
            }
        }
    }
    for (std::size_t at = 0; at < cells; ++at) {
        if (held[at] && weight[at] > 0.0) {
            values[at] = sum[at] / weight[at];
            noises[at] = std::sqrt(spread[at]) / weight[at];
        }
    }
}

} // namespace nbtv
