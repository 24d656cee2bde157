#include "tuning/FramePhaseSearch.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>

#include "core/Conversions.h"
#include "profiles/ReceiverProfile.h"
#include "tuning/Median.h"

namespace nbtv {

namespace {

std::size_t idx(long i) {
    return static_cast<std::size_t>(i);
}

long wrap(long v, long m) {
    const long r = v % m;
    return r < 0 ? r + m : r;
}

long circularDistance(long a, long b, long m) {
    const long d = wrap(a - b, m);
    return std::min(d, m - d);
}

float clampValue(float v) {
    if (std::isnan(v)) {
        return 0.0f;
    }
    return std::clamp(v, -1.0f, 1.0f);
}

void subtractMedian(std::vector<double>& v) {
    const double m = median(v);
    for (double& x : v) {
        x -= m;
    }
}

int componentPosition(const ReceiverProfile& profile, ColourComponent c) {
    for (std::size_t i = 0; i < profile.transmitFieldOrder.size(); ++i) {
        if (profile.transmitFieldOrder[i] == c) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

// A line's step at a column: the mean of the three columns from the next on against that of
// the three before the previous (the discriminator spreads a step over about six columns, so
// the columns either side of it are left out).
constexpr long stepColumns = 3;
constexpr long stepGap = 1;
// How far (columns) a line's larger step may lie and still take the line's vote: two pixels in
// colour, three in monochrome (where the seam has no colour to stand out by).
constexpr long voteReachColour = 6;
constexpr long voteReachMono = 9;
// A line's vote counts fully once its largest step is well above this many times the noise.
constexpr double noiseAllowance = 4.0;
// Columns at each end of a field left out of the colour prior (they mix two fields).
constexpr long fieldMargin = 4;
// The least strength of colour (in line values, about five levels) a pixel is weighed against.
constexpr double minimumColour = 0.02;
// A swing this far above the noise of the fold's means gives its phase to well within a column
// (the fitted swing of noise alone is a tenth of it).
constexpr double minimumSwingStrength = 1.0;
// nbtv96rggb: a square wave weaker than this (log ratio) leaves the red/blue field a guess (the
// weakest on the training photographs was twice as strong, and right).
constexpr double alternationGuess = 0.03;

// (1, 2, 3, 2, 1) / 9 over the column phases, circularly.
std::vector<double> smoothed(const std::vector<double>& v) {
    constexpr double weights[5] = {1.0, 2.0, 3.0, 2.0, 1.0};
    const long n = static_cast<long>(v.size());
    std::vector<double> out(v.size(), 0.0);
    for (long t = 0; t < n; ++t) {
        double s = 0.0;
        for (long j = -2; j <= 2; ++j) {
            s += weights[j + 2] * v[idx(wrap(t + j, n))];
        }
        out[idx(t)] = s / 9.0;
    }
    return out;
}

} // namespace

BoundaryWeights learnedBoundaryWeights(FrameKind kind) {
    switch (kind) {
    case monoFrame:
        return {0.0, 0.0, 0.3, clearBoundaryMargin};
    case rgbFrame:
        return {0.001, 0.0, 0.1, clearBoundaryMargin};
    case rggbFrame:
        return {0.0, 0.2, 0.2, clearBoundaryMargin};
    case frameKindCount:
        break;
    }
    return {};
}

const std::array<double, hueBins>& naturalHueLog() {
    // bench/FramePhaseStudy.cpp --conditions learn prints these from the training photographs.
    static const std::array<double, hueBins> table{
        -4.583, -3.954, -3.369, -3.297, -3.940, -5.085, -5.457, -5.540, -5.718,
        -5.779, -5.480, -5.332, -5.646, -5.956, -5.793, -5.457, -5.118, -3.192,
        -2.235, -1.971, -2.020, -2.172, -2.430, -2.986, -4.062, -4.155, -3.321,
        -3.217, -3.874, -4.920, -5.432, -5.774, -5.976, -6.097, -5.848, -5.173,
    };
    return table;
}

int hueBin(double r, double g, double b, double& strength) {
    const double u = (2.0 * r - g - b) / std::sqrt(6.0);
    const double v = (g - b) / std::sqrt(2.0);
    strength = std::hypot(u, v);
    const double angle = std::atan2(v, u);
    const int bin = floorToInt((angle + std::numbers::pi) / (2.0 * std::numbers::pi) * hueBins);
    return std::clamp(bin, 0, hueBins - 1);
}

void FramePhaseSearch::start(const ReceiverProfile& profile, bool mono) {
    profile_ = &profile;
    active_ = true;
    mono_ = mono;
    rggb_ = !mono && profile.pictureScheme == PictureScheme::Rggb;
    fieldWidth_ = profile.fieldWidth;
    period_ = mono ? profile.fieldWidth : profile.frameColumns();
    bins_ = profile.carriers.lineBins;
    pilots_ = profile.carriers.pilots();
    clear();
}

void FramePhaseSearch::clear() {
    sum_.assign(idx(period_) * bins_.size(), 0.0);
    squares_.assign(idx(period_) * bins_.size(), 0.0);
    count_.assign(idx(period_), 0);
    pilotSum_.assign(idx(period_), 0.0);
    columns_ = 0;
}

double FramePhaseSearch::frames() const {
    return period_ > 0 ? static_cast<double>(columns_) / period_ : 0.0;
}

void FramePhaseSearch::addBlock(const DemodulatedBlock& values, long firstColumn,
                                double shiftBins) {
    if (!active_) {
        return;
    }
    for (int step = 1; step <= 3; ++step) {
        for (int pass = 0; pass < analysisPasses; ++pass) {
            addColumn(values.d[pass][step], firstColumn + 3 * (step - 1) + pass, shiftBins);
        }
    }
}

void FramePhaseSearch::addColumn(const float* bins, long t, double shiftBins) {
    const std::size_t phase = idx(wrap(t, period_));
    // sin(asin v + turn), with the turn's cosine and sine taken once a column.
    const double turn = 2.0 * std::numbers::pi * shiftBins;
    const double c = std::cos(turn);
    const double s = std::sin(turn);
    auto turned = [&](int bin) {
        const double v = clampValue(bins[bin]);
        return turn == 0.0 ? v : std::clamp(v * c + std::sqrt(1.0 - v * v) * s, -1.0, 1.0);
    };
    for (std::size_t k = 0; k < bins_.size(); ++k) {
        const double v = turned(bins_[k]);
        sum_[phase * bins_.size() + k] += v;
        squares_[phase * bins_.size() + k] += v * v;
    }
    double pilot = 0.0;
    for (int bin : pilots_) {
        pilot += turned(bin);
    }
    pilotSum_[phase] += pilot / static_cast<double>(std::max<std::size_t>(pilots_.size(), 1));
    ++count_[phase];
    ++columns_;
}

std::vector<double> FramePhaseSearch::meanFold() const {
    std::vector<double> mean(sum_.size(), 0.0);
    const std::size_t nb = bins_.size();
    for (std::size_t t = 0; t < count_.size(); ++t) {
        const double n = std::max(count_[t], 1);
        for (std::size_t k = 0; k < nb; ++k) {
            mean[t * nb + k] = sum_[t * nb + k] / n;
        }
    }
    return mean;
}

double FramePhaseSearch::noiseVariance() const {
    // The spread of each value about its mean over the frames, for the mean itself.
    double spread = 0.0;
    double cells = 0.0;
    const std::size_t nb = bins_.size();
    for (std::size_t t = 0; t < count_.size(); ++t) {
        const double n = count_[t];
        if (n < 2.0) {
            continue;
        }
        for (std::size_t k = 0; k < nb; ++k) {
            const double s = sum_[t * nb + k];
            spread += std::max(squares_[t * nb + k] - s * s / n, 0.0) / (n - 1.0) / n;
            cells += 1.0;
        }
    }
    return cells > 0.0 ? spread / cells : 0.0;
}

FramePhaseSearch::Cues FramePhaseSearch::boundaryCues() const {
    Cues cues;
    if (profile_ == nullptr || period_ <= 0) {
        return cues;
    }
    const long P = period_;
    const long W = fieldWidth_;
    const long fields = P / W;
    const std::size_t nb = bins_.size();
    const std::vector<double> m = meanFold();
    auto at = [&](long t, std::size_t k) { return m[idx(wrap(t, P)) * nb + k]; };
    auto columnMean = [&](long from, std::size_t k) {
        double s = 0.0;
        for (long i = 0; i < stepColumns; ++i) {
            s += at(from + i, k);
        }
        return s / stepColumns;
    };
    // The noise variance of a step (two means of three columns; the discriminator's noise is
    // correlated over neighbouring columns, which this leaves out on purpose: it only sets how
    // far above the noise a step must be to count).
    const double stepNoise = 2.0 * noiseVariance() / stepColumns;

    // Per column phase c of a field and line k: the lines' steps in every field (energy), and
    // the part of them that differs between the fields (colour).
    std::vector<double> energy(idx(W) * nb, 0.0);
    std::vector<double> colour(idx(W) * nb, 0.0);
    std::vector<double> d(idx(fields));
    for (long c = 0; c < W; ++c) {
        for (std::size_t k = 0; k < nb; ++k) {
            double mean = 0.0;
            for (long f = 0; f < fields; ++f) {
                const long t = c + f * W;
                d[idx(f)] = columnMean(t + stepGap, k) - columnMean(t - stepGap - stepColumns, k);
                mean += d[idx(f)];
            }
            mean /= static_cast<double>(fields);
            double e = 0.0;
            double s = 0.0;
            for (long f = 0; f < fields; ++f) {
                e += d[idx(f)] * d[idx(f)];
                s += (d[idx(f)] - mean) * (d[idx(f)] - mean);
            }
            energy[idx(c) * nb + k] = e;
            colour[idx(c) * nb + k] = s;
        }
    }

    // The line vote: each line's step here over its largest within the reach, weighted by how
    // clearly that largest step stands above the noise.
    const long reach = mono_ ? voteReachMono : voteReachColour;
    const double allowance = noiseAllowance * static_cast<double>(fields) * stepNoise;
    std::vector<double> vote(idx(W), 0.0);
    for (long c = 0; c < W; ++c) {
        double here = 0.0;
        double weight = 0.0;
        for (std::size_t k = 0; k < nb; ++k) {
            double most = 0.0;
            for (long j = -reach; j <= reach; ++j) {
                most = std::max(most, energy[idx(wrap(c + j, W)) * nb + k]);
            }
            if (!(most > 0.0)) {
                continue;
            }
            const double w = most / (most + allowance);
            here += w * energy[idx(c) * nb + k] / most;
            weight += w;
        }
        vote[idx(c)] = weight > 0.0 ? here / weight : 0.0;
    }
    cues.vote = smoothed(vote);
    subtractMedian(cues.vote);

    // The robust count of the lines whose colour steps, against a typical line's colour step
    // (or the noise, in a grey picture).
    cues.colourStep.assign(idx(W), 0.0);
    if (fields > 1) {
        const double scale = std::max(
            {median(colour), noiseAllowance * static_cast<double>(fields - 1) * stepNoise, 1e-12});
        std::vector<double> count(idx(W), 0.0);
        for (long c = 0; c < W; ++c) {
            for (std::size_t k = 0; k < nb; ++k) {
                count[idx(c)] += std::log1p(colour[idx(c) * nb + k] / scale);
            }
        }
        cues.colourStep = smoothed(count);
        subtractMedian(cues.colourStep);
    }

    // The continuity: per field seam candidate, minus the correlation down the picture of the
    // profiles either side (each less its mean; the noise of the means keeps a flat profile's
    // correlation near zero), over the fields.
    std::vector<double> continuity(idx(W), 0.0);
    std::vector<double> left(nb);
    std::vector<double> right(nb);
    const double profileNoise = stepNoise * static_cast<double>(nb);
    for (long c = 0; c < W; ++c) {
        for (long f = 0; f < fields; ++f) {
            const long t = c + f * W;
            double meanLeft = 0.0;
            double meanRight = 0.0;
            for (std::size_t k = 0; k < nb; ++k) {
                left[k] = columnMean(t - stepGap - stepColumns, k);
                right[k] = columnMean(t + stepGap, k);
                meanLeft += left[k];
                meanRight += right[k];
            }
            meanLeft /= static_cast<double>(nb);
            meanRight /= static_cast<double>(nb);
            double lr = 0.0;
            double ll = 0.0;
            double rr = 0.0;
            for (std::size_t k = 0; k < nb; ++k) {
                const double a = left[k] - meanLeft;
                const double b = right[k] - meanRight;
                lr += a * b;
                ll += a * a;
                rr += b * b;
            }
            continuity[idx(c)] -= lr / std::sqrt((ll + profileNoise) * (rr + profileNoise));
        }
        continuity[idx(c)] /= static_cast<double>(fields);
    }
    cues.continuity = smoothed(continuity);
    subtractMedian(cues.continuity);

    cues.alternation.assign(idx(W), 0.0);
    if (rggb_) {
        const std::vector<double> swing = alternationSwing(m);
        double largest = 0.0;
        for (long c = 0; c < W; ++c) {
            largest = std::max(largest, std::abs(swing[idx(c)]));
        }
        for (long c = 0; c < W; ++c) {
            cues.alternation[idx(c)] = largest > 0.0 ? std::abs(swing[idx(c)]) / largest : 0.0;
        }
    }
    const Swing fit = pilotSwing();
    cues.swing = swingCue(fit, swingOffset_, static_cast<int>(W));
    cues.swingColumn = fit.column;
    cues.swingStrength = fit.strength;
    return cues;
}

namespace {

std::vector<double> scoresOf(const FramePhaseSearch::Cues& cues, const BoundaryWeights& weights) {
    std::vector<double> s(cues.vote.size(), 0.0);
    for (std::size_t c = 0; c < s.size(); ++c) {
        s[c] = cues.vote[c] + weights.colourStep * cues.colourStep[c] +
               weights.alternation * cues.alternation[c] + weights.continuity * cues.continuity[c] +
               weights.swing * cues.swing[c];
    }
    return s;
}

} // namespace

std::vector<double> FramePhaseSearch::boundaryScores(const BoundaryWeights& weights) const {
    return scoresOf(boundaryCues(), weights);
}

// Each carrier of the red/blue field shows a pair's mean of one colour, so that field is smooth
// from one carrier of a colour to the next of the same colour (two bins up) and steps between
// neighbours (another colour, or the same pair twice); the green field carries a line on every
// carrier and is smoothest between neighbours. Per start b: the log ratio of the lines' detail
// against their two neighbours to that against the lines two away, over the field from b, less
// the same over the field after it (positive: the red/blue field begins at b).
std::vector<double> FramePhaseSearch::alternationSwing(const std::vector<double>& m) const {
    const long P = period_;
    const long W = fieldWidth_;
    const std::size_t nb = bins_.size();
    std::vector<double> neighbours(idx(P), 0.0);
    std::vector<double> alike(idx(P), 0.0);
    for (long t = 0; t < P; ++t) {
        const double* v = &m[idx(t) * nb];
        for (std::size_t k = 2; k + 2 < nb; ++k) {
            const double a = v[k] - 0.5 * (v[k - 1] + v[k + 1]);
            const double b = v[k] - 0.5 * (v[k - 2] + v[k + 2]);
            neighbours[idx(t)] += a * a;
            alike[idx(t)] += b * b;
        }
    }
    std::vector<double> n(idx(2 * P) + 1, 0.0);
    std::vector<double> a(idx(2 * P) + 1, 0.0);
    for (long t = 0; t < 2 * P; ++t) {
        n[idx(t) + 1] = n[idx(t)] + neighbours[idx(wrap(t, P))];
        a[idx(t) + 1] = a[idx(t)] + alike[idx(wrap(t, P))];
    }
    auto ratio = [&](long from) {
        const double num = n[idx(from + W)] - n[idx(from)];
        const double den = a[idx(from + W)] - a[idx(from)];
        return std::log(std::max(num, 1e-300) / std::max(den, 1e-300));
    };
    std::vector<double> swing(idx(P), 0.0);
    for (long b = 0; b < P; ++b) {
        swing[idx(b)] = ratio(b) - ratio(b + W);
    }
    return swing;
}

int FramePhaseSearch::alternationStart(int boundary, double* strength) const {
    const std::vector<double> swing = alternationSwing(meanFold());
    const long b = wrap(boundary, period_);
    if (strength != nullptr) {
        *strength = std::abs(swing[idx(b)]);
    }
    return static_cast<int>(swing[idx(b)] >= 0.0 ? b : wrap(b + fieldWidth_, period_));
}

FramePhaseSearch::Swing FramePhaseSearch::pilotSwing() const {
    Swing out;
    // The swing has a whole number of cycles a field.
    const double cycles = std::round(static_cast<double>(period_) / out.period);
    if (period_ <= 0 || cycles < 1.0) {
        return out;
    }
    double re = 0.0;
    double im = 0.0;
    double n = 0.0;
    for (long t = 0; t < period_; ++t) {
        const int k = count_[idx(t)];
        if (k == 0) {
            continue;
        }
        const double v = pilotSum_[idx(t)] / k;
        const double a = 2.0 * std::numbers::pi * cycles * static_cast<double>(t) / period_;
        re += v * std::cos(a);
        im += v * std::sin(a);
        n += 1.0;
    }
    if (n < 1.0) {
        return out;
    }
    // v = A sin(a + phi): re = n A sin(phi) / 2, im = n A cos(phi) / 2.
    const double phi = std::atan2(re, im);
    const double amplitude = 2.0 * std::hypot(re, im) / n;
    double column = -phi / (2.0 * std::numbers::pi) * out.period;
    column = std::fmod(column, out.period);
    out.column = column < 0.0 ? column + out.period : column;
    out.strength = amplitude / std::sqrt(noiseVariance() + 1e-12);
    return out;
}

std::vector<double> FramePhaseSearch::swingCue(const Swing& swing, double offset, int width) {
    std::vector<double> cue(idx(std::max(width, 0)), 0.0);
    if (!(swing.strength >= minimumSwingStrength) || !(swing.period > 0.0)) {
        return cue;
    }
    for (int c = 0; c < width; ++c) {
        const double d =
            std::remainder(static_cast<double>(c) - swing.column - offset, swing.period);
        cue[idx(c)] = std::abs(d) <= 1.0 ? 1.0 : 0.0;
    }
    return cue;
}

std::vector<double> FramePhaseSearch::colourScores(int boundary) const {
    const long W = fieldWidth_;
    const long P = period_;
    if (profile_ == nullptr || mono_ || rggb_ || P / W != 3) {
        return {};
    }
    const std::size_t nb = bins_.size();
    const std::vector<double> m = meanFold();
    const std::array<double, hueBins>& prior = naturalHueLog();
    const int position[3] = {componentPosition(*profile_, ColourComponent::Red),
                             componentPosition(*profile_, ColourComponent::Green),
                             componentPosition(*profile_, ColourComponent::Blue)};
    // Every pixel weighs in with its strength of colour, over all pixels and a floor each (the
    // noise's, or a few levels): a grey picture, whose hues are those of the noise or of the
    // receiver's own small differences between the fields, leads by little whatever its hues.
    const double floor = std::max(minimumColour, std::sqrt(noiseVariance()));
    const double pixels = static_cast<double>((W - 2 * fieldMargin) * static_cast<long>(nb));
    std::vector<double> scores(3, 0.0);
    for (int h = 0; h < 3; ++h) {
        // The frame starts h fields after the boundary: the field that carries
        // transmitFieldOrder[i] begins at boundary + (h + i) W.
        double likelihood = 0.0;
        double weight = 0.0;
        for (long x = fieldMargin; x < W - fieldMargin; ++x) {
            std::size_t column[3];
            for (int c = 0; c < 3; ++c) {
                column[c] = idx(wrap(boundary + (h + position[c]) * W + x, P)) * nb;
            }
            for (std::size_t k = 0; k < nb; ++k) {
                double strength = 0.0;
                const int bin =
                    hueBin(m[column[0] + k], m[column[1] + k], m[column[2] + k], strength);
                likelihood += strength * prior[idx(bin)];
                weight += strength;
            }
        }
        scores[idx(h)] = likelihood / (weight + pixels * floor);
    }
    return scores;
}

namespace {

// The best column phase of a field's scores, and how far it leads the best a block or more away.
long bestPhase(const std::vector<double>& s, double& margin) {
    const long W = static_cast<long>(s.size());
    long best = 0;
    for (long c = 1; c < W; ++c) {
        if (s[idx(c)] > s[idx(best)]) {
            best = c;
        }
    }
    double rival = -INFINITY;
    for (long c = 0; c < W; ++c) {
        if (circularDistance(c, best, W) >= columnsPerBlock) {
            rival = std::max(rival, s[idx(c)]);
        }
    }
    margin = s[idx(best)] - rival;
    return best;
}

} // namespace

FramePhaseResult FramePhaseSearch::result(const BoundaryWeights& weights) const {
    FramePhaseResult out;
    if (profile_ == nullptr || columns_ < period_) {
        return out;
    }
    const Cues cues = boundaryCues();
    double margin = 0.0;
    const long best = bestPhase(scoresOf(cues, weights), margin);
    out.found = true;
    out.boundary = static_cast<int>(best);
    out.boundaryMargin = margin;
    if (weights.swing != 0.0) {
        BoundaryWeights alone = weights;
        alone.swing = 0.0;
        double clear = 0.0;
        const long seen = bestPhase(scoresOf(cues, alone), clear);
        if (clear >= clearBoundaryMargin && cues.swingStrength >= minimumSwingStrength) {
            double offset = std::fmod(static_cast<double>(seen) - cues.swingColumn, swingColumns);
            out.swingOffsetSeen = offset < 0.0 ? offset + swingColumns : offset;
        }
    }
    out.frameStart = out.boundary;
    if (rggb_) {
        double strength = 0.0;
        out.frameStart = alternationStart(out.boundary, &strength);
        out.colourMargin = strength;
        out.colourGuess = strength < alternationGuess;
        return out;
    }
    const std::vector<double> colours = colourScores(out.boundary);
    if (colours.size() != 3) {
        return out;
    }
    int first = 0;
    for (int h = 1; h < 3; ++h) {
        if (colours[idx(h)] > colours[idx(first)]) {
            first = h;
        }
    }
    double second = -INFINITY;
    for (int h = 0; h < 3; ++h) {
        if (h != first) {
            second = std::max(second, colours[idx(h)]);
        }
    }
    out.colourMargin = colours[idx(first)] - second;
    out.colourGuess = out.colourMargin < colourGuessMargin;
    out.frameStart = static_cast<int>(wrap(out.boundary + first * fieldWidth_, period_));
    return out;
}

} // namespace nbtv
