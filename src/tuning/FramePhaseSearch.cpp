#include "tuning/FramePhaseSearch.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "profiles/ReceiverProfile.h"

namespace nbtv {

namespace {

std::size_t idx(long i) {
    return static_cast<std::size_t>(i);
}

long wrap(long v, long m) {
    const long r = v % m;
    return r < 0 ? r + m : r;
}

float clampValue(float v) {
    if (std::isnan(v)) {
        return 0.0f;
    }
    return std::clamp(v, -1.0f, 1.0f);
}

int componentPosition(const ReceiverProfile& profile, ColourComponent c) {
    for (std::size_t i = 0; i < profile.transmitFieldOrder.size(); ++i) {
        if (profile.transmitFieldOrder[i] == c) {
            return static_cast<int>(i);
        }
    }
    return 0;
}

} // namespace

void FramePhaseSearch::start(const ReceiverProfile& profile, bool mono, long columnsNeeded) {
    profile_ = &profile;
    active_ = true;
    mono_ = mono;
    needed_ = columnsNeeded;
    columns_ = 0;
    fieldWidth_ = profile.fieldWidth;
    period_ = mono ? profile.fieldWidth : profile.frameColumns();
    bins_ = profile.carriers.lineBins;
    recent_.assign(6, std::vector<float>(bins_.size(), 0.0f));
    fold_.assign(idx(fieldWidth_), 0.0);
    frameSum_.assign(idx(period_) * bins_.size(), 0.0);
    frameCount_.assign(idx(period_), 0);
}

void FramePhaseSearch::addBlock(const DemodulatedBlock& values, long firstColumn) {
    if (!active_) {
        return;
    }
    for (int step = 1; step <= 3; ++step) {
        for (int pass = 0; pass < analysisPasses; ++pass) {
            addColumn(values.d[pass][step], firstColumn + 3 * (step - 1) + pass);
        }
    }
}

void FramePhaseSearch::addColumn(const float* bins, long t) {
    std::vector<float>& v = recent_[idx(wrap(t, 6))];
    const std::size_t phase = idx(wrap(t, period_));
    for (std::size_t k = 0; k < bins_.size(); ++k) {
        v[k] = clampValue(bins[bins_[k]]);
        frameSum_[phase * bins_.size() + k] += v[k];
    }
    ++frameCount_[phase];
    ++columns_;
    if (columns_ < 6) {
        return;
    }
    // The step at column tau = t - 2: the mean of tau..tau+2 against that of tau-3..tau-1.
    const long tau = t - 2;
    double j = 0.0;
    for (std::size_t k = 0; k < bins_.size(); ++k) {
        double after = 0.0;
        double before = 0.0;
        for (long i = 0; i < 3; ++i) {
            after += recent_[idx(wrap(tau + i, 6))][k];
            before += recent_[idx(wrap(tau - 3 + i, 6))][k];
        }
        const double step = (after - before) / 3.0;
        j += step * step;
    }
    fold_[idx(wrap(tau, fieldWidth_))] += j;
}

FramePhaseResult FramePhaseSearch::result() const {
    FramePhaseResult out;
    if (profile_ == nullptr || columns_ < 6) {
        return out;
    }
    constexpr double weights[5] = {1.0, 2.0, 3.0, 2.0, 1.0};
    double best = -1.0;
    double total = 0.0;
    for (long c = 0; c < fieldWidth_; ++c) {
        double s = 0.0;
        for (long j = -2; j <= 2; ++j) {
            s += weights[j + 2] * fold_[idx(wrap(c + j, fieldWidth_))];
        }
        total += s;
        if (s > best) {
            best = s;
            out.boundary = static_cast<int>(c);
        }
    }
    const double mean = total / fieldWidth_;
    out.boundaryContrast = mean > 0.0 ? best / mean : 0.0;
    out.found = mean > 0.0;
    double margin = 0.0;
    const int first = mono_ ? 0 : firstField(out.boundary, margin);
    out.colourMargin = margin;
    out.frameStart =
        static_cast<int>(wrap(out.boundary + static_cast<long>(first) * fieldWidth_, period_));
    return out;
}

int FramePhaseSearch::firstField(int boundary, double& margin) const {
    const int fields = profile_->fieldsPerFrame;
    const std::size_t nb = bins_.size();
    // Mean picture of each field (columns from the boundary on), [field][x * bins + k].
    std::vector<std::vector<double>> mean(idx(fields), std::vector<double>(idx(fieldWidth_) * nb));
    for (int f = 0; f < fields; ++f) {
        for (long x = 0; x < fieldWidth_; ++x) {
            const std::size_t phase =
                idx(wrap(boundary + static_cast<long>(f) * fieldWidth_ + x, period_));
            const int n = std::max(frameCount_[phase], 1);
            for (std::size_t k = 0; k < nb; ++k) {
                mean[idx(f)][idx(x) * nb + k] = frameSum_[phase * nb + k] / n;
            }
        }
    }
    if (profile_->pictureScheme == PictureScheme::Rggb) {
        // Energy of the difference between the two carriers of every pair.
        std::vector<double> energy(idx(fields), 0.0);
        for (int f = 0; f < fields; ++f) {
            for (std::size_t k = 0; k + 1 < nb; ++k) {
                if (bins_[k] % 2 != 0 || bins_[k + 1] != bins_[k] + 1) {
                    continue;
                }
                for (long x = 0; x < fieldWidth_; ++x) {
                    const double d =
                        mean[idx(f)][idx(x) * nb + k + 1] - mean[idx(f)][idx(x) * nb + k];
                    energy[idx(f)] += d * d;
                }
            }
        }
        const int redBlue = energy[1] > energy[0] ? 1 : 0;
        const double sum = energy[0] + energy[1];
        margin = sum > 0.0 ? std::abs(energy[1] - energy[0]) / sum : 0.0;
        return redBlue; // the red/blue field begins the frame
    }
    if (fields != 3) {
        return 0;
    }
    auto correlation = [&](int a, int b) {
        const std::vector<double>& x = mean[idx(a)];
        const std::vector<double>& y = mean[idx(b)];
        double mx = 0.0;
        double my = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            mx += x[i];
            my += y[i];
        }
        mx /= static_cast<double>(x.size());
        my /= static_cast<double>(y.size());
        double sxy = 0.0;
        double sxx = 0.0;
        double syy = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            sxy += (x[i] - mx) * (y[i] - my);
            sxx += (x[i] - mx) * (x[i] - mx);
            syy += (y[i] - my) * (y[i] - my);
        }
        return sxx > 0.0 && syy > 0.0 ? sxy / std::sqrt(sxx * syy) : 0.0;
    };
    const double c01 = correlation(0, 1);
    const double c12 = correlation(1, 2);
    const double c20 = correlation(2, 0);
    const double score[3] = {c01 + c20, c01 + c12, c12 + c20};
    int green = 0;
    for (int f = 1; f < 3; ++f) {
        if (score[f] > score[green]) {
            green = f;
        }
    }
    double second = -INFINITY;
    for (int f = 0; f < 3; ++f) {
        if (f != green) {
            second = std::max(second, score[f]);
        }
    }
    margin = score[green] - second;
    const int red = (green + 2) % 3; // red goes on air just before green
    const int redPosition = componentPosition(*profile_, ColourComponent::Red);
    return ((red - redPosition) % 3 + 3) % 3;
}

} // namespace nbtv
