#include "enhance/EnhancedPicture.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <vector>

#include "core/Conversions.h"
#include "enhance/SlotRing.h"
#include "enhance/StillFrames.h"
#include "enhance/WaveletShrink.h"
#include "picture/DisplayLevel.h"

namespace nbtv {

namespace {

constexpr double twoPi = 2.0 * std::numbers::pi;
// A frame's enhanced picture is judged against the ordinary one: their disagreement smoothed
// along the lines over this many columns (which the ordinary path's blur leaves alone), against
// the ordinary path's own noise (its picture's second differences along the lines, where its
// blur has left little of the picture) with a floor in squared levels. Up to `agreeingShare`
// the fit held; from there to `failingShare` the picture blends toward the ordinary one, down to
// `failedWeight` (chosen on the training photographs).
constexpr int agreementWidth = 5;
constexpr double ordinaryNoiseFloor = 16.0;
constexpr double agreeingShare = 0.6;
constexpr double failingShare = 1.0;
constexpr double failedWeight = 0.5;
// Only a fit whose own noise (the mean deviation noise, bins) stands above `quietFit` may be
// judged so, fully from `noisyFit` (a clean channel leaves about 0.0003, white noise at an SNR
// of 20 dB about 0.02, a fade the model does not follow 0.04 to 0.12).
constexpr double quietFit = 0.01;
constexpr double noisyFit = 0.03;
// A column the fit failed in takes the frame before's where the picture stands still: its
// neighbours within `stillReach` columns differ between the frames by no more than `stillNoise`
// times their noise and `stillFloor` bins (about a level) on average.
constexpr int stillReach = 12;
constexpr int stillCompared = 2; // neighbours held in both frames, at least
constexpr int earlierFrames = 3; // a crash may have spoiled the frames before in the same place
constexpr double stillNoise = 3.0;
constexpr double stillFloor = 0.002;
// The knots a crash bent stay bent, less and less, up to `spoiledReach` columns beyond those the
// fit distrusts: each column takes the frame before's as far as the least trusted column within
// that reach is distrusted, and a column the fit itself trusted only where the neighbours agree
// within their noise alone (the damage there is a level or two, about what a moving picture
// changes from one frame to the next). Chosen on the training photographs, still and panning.
constexpr int spoiledReach = 8;
// The ordinary picture is a fallback only while its own tuning holds: the fine tune in use off
// by what moves a mid-grey level by `tunedLevels` leaves it whole, by `detunedLevels` not at all
// (a drifting radio received with the settings fixed, which the fit follows from the pilots;
// chosen on the training photographs).
constexpr double tunedLevels = 8.0;
constexpr double detunedLevels = 24.0;

// The line index of each bin from 0 to beyond the top line's, -1 where no line is carried.
std::vector<int> lineIndexOfBins(const ReceiverProfile& profile) {
    const auto& lines = profile.carriers.lineBins;
    const int top = lines.empty() ? 0 : *std::max_element(lines.begin(), lines.end());
    std::vector<int> index(static_cast<std::size_t>(top) + 4, -1);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] >= 0) {
            index[static_cast<std::size_t>(lines[i])] = static_cast<int>(i);
        }
    }
    return index;
}

// The display level of a deviation (bins): the ordinary path's mapping of D = sin(2 pi e);
// a deviation never fitted shows white, as a silent carrier does there.
std::uint8_t levelOfDeviation(double deviation, int brightness, int contrast) {
    if (!std::isfinite(deviation)) {
        return 255;
    }
    const double d = std::sin(twoPi * deviation);
    const double level = std::clamp(displayLevel(d, brightness, contrast), 0.0, 255.0);
    return static_cast<std::uint8_t>(roundHalfEven(level));
}

// The display levels of every field's line carriers, [field][carrier][on-air column], and
// whether every column was fitted.
struct FieldLevels {
    std::vector<std::uint8_t> levels;
    std::vector<double> trust; // [field][on-air column]
    std::size_t carriers = 0;
    std::size_t columns = 0;
    bool complete = true;
    double noise = 0.0;     // the fit's mean deviation noise (bins) over the frame
    double tuneError = 0.0; // how far the fine tune in use was off, mean over the frame (bins)

    std::uint8_t at(int field, int carrier, std::size_t column) const {
        return levels[(static_cast<std::size_t>(field) * carriers +
                       static_cast<std::size_t>(carrier)) *
                          columns +
                      column];
    }
    double trustAt(int field, std::size_t column) const {
        return trust[static_cast<std::size_t>(field) * columns + column];
    }
};

// Where a column of a frame takes an earlier frame's instead, and how far.
struct EarlierColumn {
    double weight = 0.0;
    std::int64_t back = 0; // slots back: a whole number of frames
};

// How far each column of the frame from slot `start` ([field][on-air column]) takes the same
// column of an earlier frame instead (the frame before, or one before that where crashes
// spoiled the nearer ones or came near them there): as far as the fit failed there (a static
// crash) and held in the earlier frame, where the picture stands still around it (the slots
// either side that held in both frames agree within their noise). Moving pictures keep their
// own columns.
std::vector<EarlierColumn> earlierFrameWeights(const SlotRing& ring, std::int64_t start,
                                               int columns, int fields) {
    const std::int64_t frameSlots = static_cast<std::int64_t>(fields) * columns;
    std::vector<EarlierColumn> weights(static_cast<std::size_t>(frameSlots));
    auto held = [&](std::int64_t slot) { return ring.holds(slot) && ring.trust(slot) >= 1.0; };
    // Whether the picture stands still around `slot` between its frame and `back` slots before.
    // Where crashes in both frames spoiled the nearest neighbours, the comparison reaches
    // further, up to a field's columns either side.
    auto still = [&](std::int64_t slot, std::int64_t back, double floor) {
        double difference = 0.0;
        double noise = 0.0;
        int compared = 0;
        auto compare = [&](std::int64_t s) {
            if (!held(s) || !held(s - back)) {
                return;
            }
            for (std::size_t k = 0; k < ring.lines(); ++k) {
                difference += std::abs(ring.deviation(s, k) - ring.deviation(s - back, k));
                noise += ring.noise(s, k) + ring.noise(s - back, k);
            }
            ++compared;
        };
        // Neighbours in time: across a field's end they are the next field's columns.
        for (int d = 1; d <= stillReach || (compared < stillCompared && d <= columns); ++d) {
            compare(slot - d);
            compare(slot + d);
        }
        const double count = static_cast<double>(compared) * static_cast<double>(ring.lines());
        return compared >= stillCompared && difference <= stillNoise * noise + floor * count;
    };
    // The least trust within `spoiledReach` of `slot`: whether a crash may have bent it.
    auto reachTrust = [&](std::int64_t slot) {
        double trust = ring.trust(slot);
        for (int d = -spoiledReach; d <= spoiledReach; ++d) {
            if (ring.holds(slot + d)) {
                trust = std::min(trust, ring.trust(slot + d));
            }
        }
        return trust;
    };
    for (int field = 0; field < fields; ++field) {
        for (int i = 0; i < columns; ++i) {
            const std::int64_t slot = start + field * columns + i;
            if (!ring.holds(slot)) {
                continue;
            }
            const double trust = reachTrust(slot);
            if (trust >= 1.0) {
                continue;
            }
            // Of the earlier frames that held there as well, the one no crash came near; a frame
            // further back only while the picture stood still since.
            EarlierColumn& best = weights[static_cast<std::size_t>(field * columns + i)];
            double bestReach = 0.0;
            const double floor = ring.trust(slot) < 1.0 ? stillFloor : 0.0;
            for (int frames = 1; frames <= earlierFrames; ++frames) {
                const std::int64_t back = frames * frameSlots;
                if (!still(slot, back, floor)) {
                    break;
                }
                const std::int64_t before = slot - back;
                const double weight = ring.holds(before) && ring.trust(before) > trust
                                          ? (1.0 - trust) * ring.trust(before)
                                          : 0.0;
                const double reach = weight > 0.0 ? reachTrust(before) : 0.0;
                if (weight > best.weight ||
                    (weight > 0.0 && weight == best.weight && reach > bestReach)) {
                    best = {weight, back};
                    bestReach = reach;
                }
                if (best.weight >= 1.0 - trust && bestReach >= 1.0) {
                    break; // the earlier frame held there fully, far from any crash
                }
            }
        }
    }
    return weights;
}

FieldLevels fieldLevels(const ReceiverProfile& profile, const SlotRing& ring, std::int64_t end,
                        const FrameLook& look, bool denoise) {
    const int columns = profile.pictureColumns;
    const std::int64_t start = end - static_cast<std::int64_t>(look.fields) * columns;
    FieldLevels out;
    out.carriers = ring.lines();
    out.columns = static_cast<std::size_t>(columns);
    out.levels.resize(static_cast<std::size_t>(look.fields) * out.carriers * out.columns);
    out.trust.assign(static_cast<std::size_t>(look.fields) * out.columns, 1.0);
    int tuned = 0;
    for (int field = 0; field < look.fields; ++field) {
        for (int i = 0; i < columns; ++i) {
            const std::int64_t slot = start + field * columns + i;
            if (ring.holds(slot)) {
                out.trust[static_cast<std::size_t>(field) * out.columns +
                          static_cast<std::size_t>(i)] = ring.trust(slot);
                out.tuneError += std::abs(ring.tuneError(slot));
                ++tuned;
            }
        }
    }
    out.tuneError = tuned > 0 ? out.tuneError / tuned : 0.0;
    const std::vector<EarlierColumn> earlier =
        earlierFrameWeights(ring, start, columns, look.fields);
    for (std::size_t i = 0; i < out.trust.size(); ++i) {
        out.trust[i] += earlier[i].weight;
    }
    const std::int64_t frameSlots = static_cast<std::int64_t>(look.fields) * columns;
    const std::size_t cells = out.carriers * out.columns;
    std::vector<double> values(cells);
    std::vector<double> noises(cells);
    std::vector<std::uint8_t> held(cells); // whether the ring holds each place
    std::vector<double> fitNoise(out.carriers);
    for (int field = 0; field < look.fields; ++field) {
        // This frame's columns, [carrier * columns + column].
        std::fill(fitNoise.begin(), fitNoise.end(), 0.0);
        for (std::size_t k = 0; k < out.carriers; ++k) {
            for (int i = 0; i < columns; ++i) {
                const std::int64_t slot = start + field * columns + i;
                const std::size_t at = k * out.columns + static_cast<std::size_t>(i);
                held[at] = ring.holds(slot) ? 1 : 0;
                if (held[at]) {
                    const EarlierColumn& e = earlier[static_cast<std::size_t>(field * columns + i)];
                    values[at] = e.weight > 0.0 ? (1.0 - e.weight) * ring.deviation(slot, k) +
                                                      e.weight * ring.deviation(slot - e.back, k)
                                                : ring.deviation(slot, k);
                    noises[at] = ring.noise(slot, k);
                    fitNoise[k] += noises[at];
                } else {
                    values[at] = std::numeric_limits<double>::quiet_NaN();
                    noises[at] = 0.0;
                }
            }
        }
        if (denoise) {
            combineStillFrames(ring, start + field * columns, frameSlots, out.columns, held, values,
                               noises);
        }
        for (std::size_t k = 0; k < out.carriers; ++k) {
            const std::span<double> line(&values[k * out.columns], out.columns);
            const std::span<const double> lineNoise(&noises[k * out.columns], out.columns);
            const bool complete =
                std::all_of(held.begin() + static_cast<std::ptrdiff_t>(k * out.columns),
                            held.begin() + static_cast<std::ptrdiff_t>((k + 1) * out.columns),
                            [](std::uint8_t h) { return h != 0; });
            if (denoise && complete) {
                shrinkField(line, lineNoise);
            }
            out.noise += fitNoise[k] / columns /
                         static_cast<double>(out.carriers * static_cast<std::size_t>(look.fields));
            out.complete = out.complete && complete;
            for (std::size_t i = 0; i < out.columns; ++i) {
                out.levels[(static_cast<std::size_t>(field) * out.carriers + k) * out.columns + i] =
                    levelOfDeviation(line[i], look.brightness, look.contrast);
            }
        }
    }
    return out;
}

// How far a frame's enhanced picture is kept over the ordinary picture `ordinary` (the same
// size) as a whole: 1 where the two agree within the ordinary path's noise.
double frameWeight(const RgbImage& enhanced, const RgbImage& ordinary, double fitNoise) {
    double disagreement = 0.0;
    double noise = 0.0;
    double count = 0.0;
    const int half = agreementWidth / 2;
    for (int y = 0; y < enhanced.height; ++y) {
        for (int x = half; x + half < enhanced.width; ++x) {
            for (std::size_t c = 0; c < 3; ++c) {
                double d = 0.0;
                for (int dx = -half; dx <= half; ++dx) {
                    d += static_cast<double>(enhanced.pixel(x + dx, y)[c]) -
                         ordinary.pixel(x + dx, y)[c];
                }
                d /= agreementWidth;
                const double second = static_cast<double>(ordinary.pixel(x - 1, y)[c]) -
                                      2.0 * ordinary.pixel(x, y)[c] + ordinary.pixel(x + 1, y)[c];
                disagreement += d * d;
                noise += second * second / 6.0;
                count += 1.0;
            }
        }
    }
    if (!(count > 0.0)) {
        return 1.0;
    }
    const double share = disagreement / std::max(noise / count, ordinaryNoiseFloor) / count;
    const double t = std::clamp((share - agreeingShare) / (failingShare - agreeingShare), 0.0, 1.0);
    const double noisy =
        fitNoise > quietFit
            ? std::clamp(std::log(fitNoise / quietFit) / std::log(noisyFit / quietFit), 0.0, 1.0)
            : 0.0;
    return 1.0 - t * noisy * (1.0 - failedWeight);
}

// How far the ordinary picture may stand in for this one, from the ordinary path's tuning error
// (bins): the levels it moves at the steepest point of the mapping, 1 up to `tunedLevels`, 0
// from `detunedLevels`.
double ordinaryStandIn(double tuneError, int contrast) {
    // Levels a unit of D moves (brightness only shifts them); D = sin(2 pi e) is steepest at 0.
    const double gain = displayLevel(1.0, 0, contrast) - displayLevel(0.0, 0, contrast);
    const double levels = gain * twoPi * std::abs(tuneError);
    if (!std::isfinite(levels)) {
        return 0.0;
    }
    return std::clamp((detunedLevels - levels) / (detunedLevels - tunedLevels), 0.0, 1.0);
}

} // namespace

EnhancedPicture composeEnhancedPicture(const ReceiverProfile& profile, const SlotRing& ring,
                                       std::int64_t end, const FrameLook& look, bool denoise,
                                       const RgbImage* ordinary) {
    const int columns = profile.pictureColumns;
    const int lines = profile.pictureLines;
    const FieldLevels levels = fieldLevels(profile, ring, end, look, denoise);
    auto level = [&](int field, int carrier, int x) {
        // Columns go on air from the rightmost to the leftmost.
        return levels.at(field, carrier, static_cast<std::size_t>(columns - 1 - x));
    };
    // The ordinary picture may be drawn larger, a whole number of pixels a pixel: each of ours
    // takes the mean of its block.
    const int scaleX = ordinary != nullptr ? ordinary->width / columns : 0;
    const int scaleY = ordinary != nullptr ? ordinary->height / lines : 0;
    const double standIn = ordinaryStandIn(levels.tuneError, look.contrast);
    if (scaleX < 1 || scaleY < 1 || !(standIn > 0.0)) {
        ordinary = nullptr;
    }
    auto ordinaryAt = [&](int x, int y, int component) {
        double sum = 0.0;
        for (int dy = 0; dy < scaleY; ++dy) {
            for (int dx = 0; dx < scaleX; ++dx) {
                sum += ordinary->pixel(x * scaleX + dx,
                                       y * scaleY + dy)[static_cast<std::size_t>(component)];
            }
        }
        return sum / (scaleX * scaleY);
    };
    // A component of pixel (x, y) that came from `field`, blended toward the ordinary picture
    // as far as the fit failed there.
    auto blend = [&](std::uint8_t enhanced, int field, int x, int y, int component) {
        const double trust =
            1.0 -
            (1.0 - levels.trustAt(field, static_cast<std::size_t>(columns - 1 - x))) * standIn;
        if (ordinary == nullptr || trust >= 1.0) {
            return enhanced;
        }
        const double o = ordinaryAt(x, y, component);
        return static_cast<std::uint8_t>(
            roundHalfEven(std::clamp(trust * enhanced + (1.0 - trust) * o, 0.0, 255.0)));
    };

    // RGGB: the first field sends each pair of lines' red (on the pair's even bin, offset 0)
    // and blue (odd, offset 1) as the pair's mean, the second every line's green. A line's
    // colour is the colour less green (which varies slowly where the colour itself has detail)
    // plus its own green; the difference is interpolated between the pairs above and below, a
    // quarter of a pair either side of the pair's centre, so that the pair's mean stays what
    // was sent. A pair with a line missing keeps what was sent; at the top and the bottom the
    // slope comes from the one pair beside.
    const std::vector<int> lineOfBin = lineIndexOfBins(profile);
    auto lineIndexOfBin = [&](int bin) {
        return bin >= 0 && static_cast<std::size_t>(bin) < lineOfBin.size()
                   ? lineOfBin[static_cast<std::size_t>(bin)]
                   : -1;
    };
    struct PairMeans {
        double green = 0.0;
        double colour = 0.0;
        bool whole = false;
    };
    auto pairMeans = [&](int low, int offset, int x) {
        const int a = lineIndexOfBin(low);
        const int b = lineIndexOfBin(low + 1);
        PairMeans m;
        if (a >= 0 && b >= 0) {
            m.green = 0.5 * (level(1, a, x) + level(1, b, x));
            m.colour = level(0, offset == 0 ? a : b, x);
            m.whole = true;
        }
        return m;
    };
    auto rggbColour = [&](int bin, int offset, int x) {
        const int low = bin & ~1;
        const PairMeans here = pairMeans(low, offset, x);
        if (!here.whole) {
            return level(0, lineIndexOfBin(low + offset), x);
        }
        const PairMeans above = pairMeans(low + 2, offset, x);
        const PairMeans below = pairMeans(low - 2, offset, x);
        const double difference = here.colour - here.green;
        const double slope =
            above.whole && below.whole
                ? 0.5 * ((above.colour - above.green) - (below.colour - below.green))
            : above.whole ? (above.colour - above.green) - difference
            : below.whole ? difference - (below.colour - below.green)
                          : 0.0;
        // The pair's upper line is its odd bin.
        const double own = level(1, lineIndexOfBin(bin), x);
        const double value = own + difference + ((bin & 1) != 0 ? 0.25 : -0.25) * slope;
        return static_cast<std::uint8_t>(roundHalfEven(std::clamp(value, 0.0, 255.0)));
    };

    EnhancedPicture out;
    out.complete = levels.complete;
    RgbImage small;
    if (ordinary != nullptr) {
        small = RgbImage(columns, lines);
        for (int y = 0; y < lines; ++y) {
            for (int x = 0; x < columns; ++x) {
                for (int component = 0; component < 3; ++component) {
                    small.pixel(x, y)[component] = static_cast<std::uint8_t>(
                        roundHalfEven(std::clamp(ordinaryAt(x, y, component), 0.0, 255.0)));
                }
            }
        }
    }
    out.picture = RgbImage(columns, lines);
    for (int y = 0; y < lines; ++y) {
        const int carrier = lines - 1 - y; // the lowest bin carries the bottom line
        for (int x = 0; x < columns; ++x) {
            std::uint8_t* p = out.picture.pixel(x, y);
            if (look.fields == 1) {
                const std::uint8_t v = level(0, carrier, x);
                for (int component = 0; component < 3; ++component) {
                    p[component] = blend(v, 0, x, y, component);
                }
            } else if (profile.pictureScheme == PictureScheme::Rggb) {
                // The first field sends red on the even bin of each pair and blue on the odd
                // one; the second sends every line's green.
                const int bin = profile.carriers.lineBins[static_cast<std::size_t>(carrier)];
                p[0] = blend(rggbColour(bin, 0, x), 0, x, y, 0);
                p[1] = blend(level(1, carrier, x), 1, x, y, 1);
                p[2] = blend(rggbColour(bin, 1, x), 0, x, y, 2);
            } else {
                for (int field = 0; field < look.fields; ++field) {
                    const int component = static_cast<int>(
                        profile.transmitFieldOrder[static_cast<std::size_t>(field)]);
                    p[component] = blend(level(field, carrier, x), field, x, y, component);
                }
            }
        }
    }
    if (ordinary != nullptr && levels.complete) {
        const double weight = 1.0 - (1.0 - frameWeight(out.picture, small, levels.noise)) * standIn;
        if (weight < 1.0) {
            for (std::size_t i = 0; i < out.picture.rgb.size(); ++i) {
                out.picture.rgb[i] = static_cast<std::uint8_t>(roundHalfEven(std::clamp(
                    weight * out.picture.rgb[i] + (1.0 - weight) * small.rgb[i], 0.0, 255.0)));
            }
        }
    }
    return out;
}

void drawEnhancedSurface(const ReceiverProfile& profile, const RgbImage& picture,
                         PixelSurface& surface) {
    surface = PixelSurface(profile.surfaceWidth, profile.pictureSurfaceHeight);
    const PixelRect& crop = profile.geometry.pictureCrop;
    if (picture.width <= 0 || picture.height <= 0) {
        return;
    }
    const int scaleX = std::max(1, crop.width / picture.width);
    const int scaleY = std::max(1, crop.height / picture.height);
    for (int y = 0; y < crop.height && y / scaleY < picture.height; ++y) {
        const int sy = crop.y0 + y;
        if (sy < 0 || sy >= surface.height) {
            continue;
        }
        for (int x = 0; x < crop.width && x / scaleX < picture.width; ++x) {
            const int sx = crop.x0 + x;
            if (sx < 0 || sx >= surface.width) {
                continue;
            }
            const std::uint8_t* p = picture.pixel(x / scaleX, y / scaleY);
            surface.at(sx, sy) = rgbPixel(p[0], p[1], p[2]);
        }
    }
}

} // namespace nbtv
