#include "tuning/PilotSwing.h"

#include "tuning/Median.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numbers>

namespace nbtv {

namespace {

// A static crash in the window: the quiet frequency's magnitude above this many times its usual
// (noise alone, whose magnitude is Rayleigh, reaches it a few times in a million) and above this
// share of the pilot's (whose phase a crash that strong turns by a tenth of a radian). The usual
// follows by this share of the difference a step.
constexpr double quietSpread = 4.0;
constexpr double quietShare = 0.1;
constexpr double quietFollowing = 1.0 / 16.0;
// The pilot is deep in a fade below this share of its usual power, which follows by this share
// of the difference a step (about a second).
constexpr double fadeShare = 1.0 / 20.0;
constexpr double levelFollowing = 1.0 / 64.0;

// A value further from the group's fit than this many times the median distance is a crash's.
constexpr double outlierSpread = 6.0;

// Solves the 4 x 4 system m x = b in place (Gaussian elimination with partial pivoting); false
// when it is singular.
bool solve4(double m[4][4], double b[4]) {
    for (int c = 0; c < 4; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 4; ++r) {
            if (std::abs(m[r][c]) > std::abs(m[pivot][c])) {
                pivot = r;
            }
        }
        if (!(std::abs(m[pivot][c]) > 1e-300)) {
            return false;
        }
        std::swap(m[c], m[pivot]);
        std::swap(b[c], b[pivot]);
        for (int r = c + 1; r < 4; ++r) {
            const double f = m[r][c] / m[c][c];
            for (int k = c; k < 4; ++k) {
                m[r][k] -= f * m[c][k];
            }
            b[r] -= f * b[c];
        }
    }
    for (int c = 3; c >= 0; --c) {
        for (int k = c + 1; k < 4; ++k) {
            b[c] -= m[c][k] * b[k];
        }
        b[c] /= m[c][c];
    }
    return true;
}

} // namespace

// The group's sinusoid at v0 as a phasor A - iB of A cos + B sin, fitted by least squares
// together with a constant and a slope (which take the pilot's mean frequency or offset). A
// static crash throws the pilot's phase about for as long as the window holds it: values that
// stand out from the fit by far more than the rest scatter are left out and the fit made again.
std::complex<double> PilotSwing::groupPhasor(const Group& g, double v0, double& keptWeight) {
    keptWeight = 0.0;
    const double twoPi = 2.0 * std::numbers::pi;
    const std::size_t n = g.time.size();
    const double t0 = g.time.front();
    const double span = g.time.back() - t0 > 0.0 ? g.time.back() - t0 : 1.0;
    std::vector<std::array<double, 4>> bases(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double angle = twoPi * std::fmod(v0 * g.time[i], 1.0);
        bases[i] = {1.0, (g.time[i] - t0) / span, std::cos(angle), std::sin(angle)};
    }
    std::vector<bool> kept(n, true);
    double x[4] = {};
    for (int round = 0; round < 2; ++round) {
        double m[4][4] = {};
        double b[4] = {};
        for (std::size_t i = 0; i < n; ++i) {
            if (!kept[i]) {
                continue;
            }
            const double w = g.weight[i];
            for (int r = 0; r < 4; ++r) {
                for (int c = 0; c < 4; ++c) {
                    m[r][c] += w * bases[i][r] * bases[i][c];
                }
                b[r] += w * bases[i][r] * g.value[i];
            }
        }
        if (!solve4(m, b)) {
            return {};
        }
        std::copy(b, b + 4, x);
        if (round == 1) {
            break;
        }
        std::vector<double> residual(n);
        for (std::size_t i = 0; i < n; ++i) {
            double model = 0.0;
            for (int r = 0; r < 4; ++r) {
                model += x[r] * bases[i][r];
            }
            residual[i] = std::abs(g.value[i] - model) * std::sqrt(g.weight[i]);
        }
        kept = withinSpread(residual, outlierSpread);
        if (kept.empty()) {
            break;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        keptWeight += kept.empty() || kept[i] ? g.weight[i] : 0.0;
    }
    return {x[2], -x[3]};
}

void PilotSwing::add(double time, double value, double weight) {
    if (!(weight > 0.0) || !std::isfinite(weight)) {
        return;
    }
    open_.time.push_back(time);
    open_.value.push_back(value);
    open_.weight.push_back(weight);
}

void PilotSwing::closeGroup() {
    // A static crash the quiet frequency missed raises the power where it hits: the weights only
    // take trust away where the pilot is weaker than usual, none weighs more than the group's
    // median.
    const double ceiling = median(open_.weight);
    for (double& w : open_.weight) {
        w = std::min(w, ceiling);
    }
    // A group shorter than three swings fits its sinusoid too loosely to be worth its weight.
    if (open_.time.size() >= 8 && open_.time.back() - open_.time.front() >= 3.0 * period) {
        groups_.push_back(std::move(open_));
        if (groups_.size() > maxGroups_) {
            groups_.pop_front();
        }
    }
    open_ = Group{};
}

void PilotSwing::clear() {
    groups_.clear();
    open_ = Group{};
}

double PilotSwing::span() const {
    if (groups_.empty()) {
        return 0.0;
    }
    return groups_.back().time.back() - groups_.front().time.front();
}

SwingEstimate PilotSwing::estimate(double rate) const {
    // A group's fit is exact only at the swing's own frequency: refine the reference once.
    const SwingEstimate first = estimateAt(rate);
    return first.valid ? estimateAt(first.rate) : first;
}

SwingEstimate PilotSwing::estimateAt(double rate) const {
    SwingEstimate out;
    out.groups = static_cast<int>(groups_.size());
    if (groups_.size() < 3) {
        return out;
    }
    const double v0 = rate / period;
    const double twoPi = 2.0 * std::numbers::pi;
    std::vector<double> phase;
    std::vector<double> weight;
    std::vector<double> when;
    double previous = 0.0;
    for (const Group& g : groups_) {
        double kept = 0.0;
        const std::complex<double> sum = groupPhasor(g, v0, kept);
        double centre = 0.0;
        double total = 0.0;
        for (std::size_t i = 0; i < g.time.size(); ++i) {
            centre += g.weight[i] * g.time[i];
            total += g.weight[i];
        }
        centre /= total;
        double p = std::arg(sum);
        if (!phase.empty()) {
            // Unwrap against the previous group's phase.
            p += twoPi * std::round((previous - p) / twoPi);
        }
        previous = p;
        phase.push_back(p);
        weight.push_back(std::norm(sum) * kept);
        when.push_back(centre);
    }
    // Weighted least-squares slope of phase against time; then again without the groups that
    // stand out from that line far beyond the rest (a crash that the group's own fit could not
    // leave out).
    std::vector<bool> kept(phase.size(), true);
    double slope = 0.0;
    double stt = 0.0;
    double residual = 0.0;
    double count = 0.0;
    for (int round = 0; round < 2; ++round) {
        double sw = 0.0;
        double st = 0.0;
        double sp = 0.0;
        for (std::size_t i = 0; i < phase.size(); ++i) {
            const double w = kept[i] ? weight[i] : 0.0;
            sw += w;
            st += w * when[i];
            sp += w * phase[i];
        }
        if (!(sw > 0.0)) {
            return out;
        }
        const double tMean = st / sw;
        const double pMean = sp / sw;
        stt = 0.0;
        double stp = 0.0;
        for (std::size_t i = 0; i < phase.size(); ++i) {
            const double w = kept[i] ? weight[i] : 0.0;
            stt += w * (when[i] - tMean) * (when[i] - tMean);
            stp += w * (when[i] - tMean) * (phase[i] - pMean);
        }
        if (!(stt > 0.0)) {
            return out;
        }
        slope = stp / stt;
        std::vector<double> distance(phase.size());
        residual = 0.0;
        count = 0.0;
        for (std::size_t i = 0; i < phase.size(); ++i) {
            const double r = phase[i] - pMean - slope * (when[i] - tMean);
            distance[i] = std::abs(r);
            if (kept[i]) {
                residual += weight[i] * r * r;
                count += 1.0;
            }
        }
        if (round == 1) {
            break;
        }
        kept = withinSpread(distance, outlierSpread);
        if (kept.empty()) {
            break;
        }
    }
    const double dof = count - 2.0;
    const double slopeError = std::sqrt(residual / (dof > 0.0 ? dof : 1.0) / stt);
    out.valid = std::isfinite(slope);
    out.rate = period * (v0 + slope / twoPi);
    out.standardError = period * slopeError / twoPi;
    return out;
}

} // namespace nbtv

namespace nbtv {

PilotPhase::PilotPhase(double quietCycles)
    : window_(windowLength), ring_(windowLength), quietCycles_(quietCycles),
      quietRing_(quietCycles > 0.0 ? windowLength : 0) {
    for (int n = 0; n < windowLength; ++n) {
        window_[static_cast<std::size_t>(n)] =
            0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (n + 0.5) / windowLength);
    }
}

bool PilotPhase::crashInWindow(long first, double pilot) {
    if (quietRing_.empty()) {
        return false;
    }
    std::complex<double> sum{};
    for (long j = 0; j < windowLength; ++j) {
        sum += window_[static_cast<std::size_t>(j)] *
               quietRing_[static_cast<std::size_t>((first + j) % windowLength)];
    }
    const double quiet = std::abs(sum);
    const bool crash = !(quiet <= std::max(quietSpread * quietLevel_, quietShare * pilot));
    if (!(quietLevel_ > 0.0)) {
        quietLevel_ = quiet;
    } else if (!crash) {
        quietLevel_ += quietFollowing * (quiet - quietLevel_);
    }
    return crash;
}

void PilotPhase::add(std::span<const std::int16_t> samples, double cycles, PilotSwing& out,
                     PilotSwing* steps) {
    const double twoPi = 2.0 * std::numbers::pi;
    for (std::int16_t s : samples) {
        ring_[static_cast<std::size_t>(count_ % windowLength)] =
            static_cast<double>(s) * std::polar(1.0, -twoPi * mixPhase_);
        mixPhase_ = std::fmod(mixPhase_ + cycles, 1.0);
        if (!quietRing_.empty()) {
            quietRing_[static_cast<std::size_t>(count_ % windowLength)] =
                static_cast<double>(s) * std::polar(1.0, -twoPi * quietPhase_);
            quietPhase_ = std::fmod(quietPhase_ + quietCycles_, 1.0);
        }
        ++count_;
        if (count_ < windowLength || count_ % step != 0) {
            continue;
        }
        std::complex<double> sum{};
        const long first = count_ - windowLength;
        for (long j = 0; j < windowLength; ++j) {
            sum += window_[static_cast<std::size_t>(j)] *
                   ring_[static_cast<std::size_t>((first + j) % windowLength)];
        }
        const bool crash = crashInWindow(first, std::abs(sum));
        const double power = std::norm(sum);
        if (started_) {
            // Deep in a fade the phase's step is the channel's, not the swing's: the phase goes
            // on at the frequency it had.
            const bool faded = !(power > fadeShare * pilotLevel_);
            const double turn = std::arg(sum * std::conj(previous_));
            unwrapped_ += faded ? lastTurn_ : turn;
            lastTurn_ = faded ? lastTurn_ : turn;
            if (!crash && !faded) {
                out.add(static_cast<double>(first) + 0.5 * (windowLength - 1), unwrapped_, power);
            }
            if (steps != nullptr && !crash && !previousCrash_) {
                steps->add(static_cast<double>(first) + 0.5 * (windowLength - 1 - step), turn,
                           std::sqrt(power * std::norm(previous_)));
            }
        } else {
            unwrapped_ = std::arg(sum);
        }
        if (!crash) {
            pilotLevel_ =
                pilotLevel_ > 0.0 ? pilotLevel_ + levelFollowing * (power - pilotLevel_) : power;
        }
        started_ = true;
        previous_ = sum;
        previousCrash_ = crash;
    }
}

} // namespace nbtv
