#include "enhance/EnhancedReceiver.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>

#include "core/Conversions.h"
#include "core/ReceiverSettings.h"
#include "enhance/WaveletShrink.h"
#include "tx/Transmitter.h"

namespace nbtv {

namespace {

constexpr double twoPi = 2.0 * std::numbers::pi;
constexpr double slotLength = 256.0;
// The column phase is searched on a coarse grid, then by halving the step down to this.
constexpr double searchGrid = 32.0;
constexpr double finestStep = 0.25;
constexpr double coarseStep = 32.0; // the grid searches with one round of the fit
// Every few segments the column phase is compared with its neighbours half a sample away and
// moved to the parabola's minimum: it follows what remains of a rate error.
constexpr int trackEvery = 8;
constexpr double trackStep = 0.5;
// A segment that fits this much worse than usual has lost the column phase (samples dropped):
// it is searched again there.
constexpr double lostFactor = 4.0;
// A rate (transmitter samples per sample) or tuning (bins) this far from the ones the column
// phase was found with calls for a new search.
constexpr double retunedRate = 2e-4;
constexpr double retunedBins = 0.05;
// Noise of a deviation per noise of the samples: 0.566 / (amplitude x sqrt(256)).
constexpr double deviationNoise = 0.566 / 16.0;
constexpr double sampleScale = 1.0 / 32768.0;

} // namespace

std::vector<int> fittedCarrierBins(const ReceiverProfile& profile) {
    std::vector<int> bins = profile.carriers.lineBins;
    bins.push_back(profile.carriers.pilotBin);
    if (profile.carriers.secondPilotBin > 0) {
        bins.push_back(profile.carriers.secondPilotBin);
    }
    if (profile.carriers.topCopyBin > 0) {
        bins.push_back(profile.carriers.topCopyBin);
    }
    return bins;
}

namespace {

int lineIndexOfBin(const ReceiverProfile& profile, int bin) {
    const auto& lines = profile.carriers.lineBins;
    const auto it = std::find(lines.begin(), lines.end(), bin);
    return it == lines.end() ? -1 : static_cast<int>(it - lines.begin());
}

// The display level of a deviation (bins): the ordinary path's mapping of D = sin(2 pi e);
// a deviation never fitted shows white, as a silent carrier does there.
std::uint8_t displayLevel(double deviation, int brightness, int contrast) {
    if (!std::isfinite(deviation)) {
        return 255;
    }
    const double d = std::sin(twoPi * deviation);
    const double level = std::clamp((100.0 + contrast) * d + brightness + 20.0, 0.0, 255.0);
    return static_cast<std::uint8_t>(roundHalfEven(level));
}

} // namespace

EnhancedReceiver::EnhancedReceiver(const ReceiverProfile& profile)
    : profile_(profile), bins_(fittedCarrierBins(profile)),
      lineCarriers_(static_cast<int>(profile.carriers.lineBins.size())), fit_(bins_) {
    const int frameSlots = profile.fieldsPerFrame * profile.pictureColumns;
    ringSlots_ = 4 * frameSlots + 2 * segmentSlots;
    reset();
}

void EnhancedReceiver::reset() {
    samples_.clear();
    tau_.clear();
    theta_.clear();
    nextTau_ = 0.0;
    nextTheta_ = 0.0;
    lastRate_ = 1.0;
    locked_ = false;
    columnPhase_ = 0.0;
    nextSlot_ = 0;
    firstSegment_ = true;
    segmentsSinceTrack_ = 0;
    typicalResidual_ = 0.0;
    residualCount_ = 0;
    fruitlessSearches_ = 0;
    const auto ring = static_cast<std::size_t>(ringSlots_);
    const auto lines = static_cast<std::size_t>(lineCarriers_);
    ringSlot_.assign(ring, std::numeric_limits<std::int64_t>::min());
    ringDeviation_.assign(ring * lines, 0.0);
    ringNoise_.assign(ring * lines, 0.0);
    fittedEnd_ = std::numeric_limits<std::int64_t>::min();
    framed_ = false;
    boundaryVote_ = 0;
    frameEnd_ = 0;
    orderedEnd_ = 0;
    frontEnd_.reset();
    searchedRate_ = 0.0;
    searchedTuning_ = 0.0;
    trackInterval_ = trackEvery;
    lastMove_ = 0.0;
    pending_.clear();
    ready_.clear();
}

void EnhancedReceiver::addSamples(std::span<const std::int16_t> samples, double sampleRateOffset,
                                  float fineTuneHz) {
    // Transmitter samples per captured sample, and the common phase of a tuning offset that the
    // fine tune says the signal has (per transmitter sample it is -fineTune / fs cycles).
    const double rate = 1.0 / (1.0 - sampleRateOffset);
    const double thetaStep = -static_cast<double>(fineTuneHz) * rate / profile_.sampleRate;
    samples_.reserve(samples_.size() + samples.size());
    for (std::int16_t s : samples) {
        samples_.push_back(static_cast<float>(s * sampleScale));
        tau_.push_back(nextTau_);
        theta_.push_back(nextTheta_);
        nextTau_ += rate;
        nextTheta_ += thetaStep;
    }
    lastRate_ = rate;
    processReady(false);
    completeFrames(false);
}

void EnhancedReceiver::frameCompleted(const ReceiverSettings& settings, int frameOffset) {
    // A frame the ordinary path completes at offset 0 ended receiverFrameLead samples before the
    // block's end; each column of offset left moves the end a third of a slot later.
    const double behind = receiverFrameLead - frameOffset * slotLength / 3.0;
    PendingFrame frame;
    frame.tauEnd = nextTau_ - behind * lastRate_;
    const bool colour = settings.colourMode != 0 || !profile_.hasMonochrome;
    frame.fields = colour ? profile_.fieldsPerFrame : 1;
    frame.brightness = settings.brightness;
    frame.contrast = settings.contrast;
    pending_.push_back(frame);
    completeFrames(false);
}

void EnhancedReceiver::finish() {
    processReady(true);
    completeFrames(true);
}

std::vector<EnhancedPicture> EnhancedReceiver::takePictures() {
    std::vector<EnhancedPicture> out;
    out.swap(ready_);
    return out;
}

std::int64_t EnhancedReceiver::slotOf(double tau) const {
    return floorToInt((columnPhase_ + tau) / slotLength);
}

std::int64_t EnhancedReceiver::newestSlot() const {
    return tau_.empty() ? std::numeric_limits<std::int64_t>::min() : slotOf(tau_.back());
}

std::vector<SlotSpan> EnhancedReceiver::spansFor(double phase, std::int64_t firstSlot,
                                                 int slotCount, std::size_t& firstSample,
                                                 std::size_t& sampleCount) const {
    auto sampleAt = [&](std::int64_t slot) {
        const double tau = slotLength * static_cast<double>(slot) - phase;
        return static_cast<std::size_t>(std::lower_bound(tau_.begin(), tau_.end(), tau) -
                                        tau_.begin());
    };
    std::vector<SlotSpan> spans(static_cast<std::size_t>(slotCount));
    firstSample = sampleAt(firstSlot);
    std::size_t start = firstSample;
    for (int j = 0; j < slotCount; ++j) {
        const std::size_t end = sampleAt(firstSlot + j + 1);
        SlotSpan& span = spans[static_cast<std::size_t>(j)];
        span.first = static_cast<int>(start - firstSample);
        span.count = static_cast<int>(end - start);
        span.du = 1.0 / slotLength;
        if (span.count > 0) {
            span.u0 = (phase + tau_[start]) / slotLength - static_cast<double>(firstSlot + j);
            span.theta0 = theta_[start];
            if (start + 1 < tau_.size()) {
                span.du = (tau_[start + 1] - tau_[start]) / slotLength;
                span.dtheta = theta_[start + 1] - theta_[start];
            }
        }
        start = end;
    }
    sampleCount = start - firstSample;
    return spans;
}

double EnhancedReceiver::fitSegment(double phase, std::int64_t firstSlot, int slotCount,
                                    int iterations) {
    std::size_t first = 0;
    std::size_t count = 0;
    const std::vector<SlotSpan> spans = spansFor(phase, firstSlot, slotCount, first, count);
    const int margin = slotCount > 4 * marginSlots ? marginSlots : 0;
    fit_.setResidualSlots(margin, slotCount - margin);
    fit_.fit(std::span<const float>(samples_.data() + first, count), spans, iterations);
    return count == 0 ? 0.0 : fit_.meanSquaredResidual();
}

// Mean squared residual of fits over `slotCount` slots from `firstSlot`, with the column phase
// `phase`, in segments.
double EnhancedReceiver::searchResidual(double phase, std::int64_t firstSlot, int slotCount,
                                        int iterations) {
    double sum = 0.0;
    int parts = 0;
    for (int done = 0; done < slotCount; done += segmentSlots) {
        const int length = std::min(segmentSlots, slotCount - done);
        sum += fitSegment(phase, firstSlot + done, length, iterations);
        ++parts;
    }
    return parts == 0 ? 0.0 : sum / parts;
}

// Finds the column phase that fits the slots best: a coarse grid, then halving steps. Slots
// are numbered with the current phase; the new phase is taken nearest to it, so numbering
// continues across a search.
void EnhancedReceiver::acquire(std::int64_t firstSlot, int slotCount) {
    const double old = columnPhase_;
    double best = old;
    double bestResidual = std::numeric_limits<double>::infinity();
    for (double candidate = 0.0; candidate < slotLength; candidate += searchGrid) {
        const double phase = candidate + slotLength * std::round((old - candidate) / slotLength);
        const double residual = searchResidual(phase, firstSlot, slotCount, 1);
        if (residual < bestResidual) {
            bestResidual = residual;
            best = phase;
        }
    }
    for (double step = searchGrid / 2.0; step >= finestStep; step /= 2.0) {
        const double centre = best;
        // Far from the best phase one round of the fit ranks candidates as well as two.
        const int iterations = step >= coarseStep ? 1 : 2;
        if (step * 2.0 >= coarseStep && step < coarseStep) {
            bestResidual = searchResidual(centre, firstSlot, slotCount, iterations);
        }
        for (double phase : {centre - step, centre + step}) {
            const double residual = searchResidual(phase, firstSlot, slotCount, iterations);
            if (residual < bestResidual) {
                bestResidual = residual;
                best = phase;
            }
        }
    }
    columnPhase_ = best;
    locked_ = true;
    searchedRate_ = rateNow();
    searchedTuning_ = tuningNow();
}

// Transmitter samples per captured sample, and tuning phase per captured sample, at the newest
// sample.
double EnhancedReceiver::rateNow() const {
    return tau_.size() < 2 ? 1.0 : tau_.back() - tau_[tau_.size() - 2];
}

double EnhancedReceiver::tuningNow() const {
    return theta_.size() < 2 ? 0.0 : theta_.back() - theta_[theta_.size() - 2];
}

// Moves the column phase to the minimum of a parabola through the residuals half a sample
// either side of it.
double EnhancedReceiver::track(std::int64_t firstSlot, double here) {
    const double below = fitSegment(columnPhase_ - trackStep, firstSlot, segmentSlots);
    const double above = fitSegment(columnPhase_ + trackStep, firstSlot, segmentSlots);
    const double curvature = below - 2.0 * here + above;
    if (!(curvature > 0.0)) {
        return 0.0;
    }
    const double move =
        std::clamp(0.5 * trackStep * (below - above) / curvature, -trackStep, trackStep);
    columnPhase_ += move;
    return move;
}

void EnhancedReceiver::storeSegment(std::int64_t firstSlot, int from, int to) {
    const auto lines = static_cast<std::size_t>(lineCarriers_);
    const double carriers = static_cast<double>(bins_.size());
    const double sampleNoise =
        std::sqrt(fit_.meanSquaredResidual() / std::max(1.0 - carriers / slotLength, 0.1));
    for (int j = from; j < to; ++j) {
        const std::int64_t slot = firstSlot + j;
        const auto index =
            static_cast<std::size_t>(((slot % ringSlots_) + ringSlots_) % ringSlots_);
        ringSlot_[index] = slot;
        for (std::size_t k = 0; k < lines; ++k) {
            const int carrier = static_cast<int>(k);
            ringDeviation_[index * lines + k] = fit_.deviation(carrier, j);
            const double amplitude = std::abs(fit_.amplitude(carrier));
            ringNoise_[index * lines + k] =
                amplitude > 0.0 ? deviationNoise * sampleNoise / amplitude : 0.0;
        }
    }
    fittedEnd_ = firstSlot + to;
}

void EnhancedReceiver::processReady(bool atEnd) {
    if (!locked_) {
        if (tau_.empty()) {
            return;
        }
        // Slots counted with the phase at 0; a search may move them by up to one.
        const std::int64_t first = slotOf(tau_.front()) + 1;
        const int available = static_cast<int>(newestSlot() - first) - 1;
        if (available >= acquisitionSlots) {
            acquire(first, acquisitionSlots);
        } else if (atEnd && available >= marginSlots) {
            acquire(first, available);
        } else {
            return;
        }
        nextSlot_ = slotOf(tau_.front());
        firstSegment_ = true;
    }
    while (true) {
        const std::int64_t newest = newestSlot();
        int slotCount = segmentSlots;
        if (newest < nextSlot_ + segmentSlots) {
            if (!atEnd) {
                return;
            }
            slotCount = static_cast<int>(newest - nextSlot_ + 1);
            if (slotCount < 2) {
                return;
            }
        }
        const bool last = slotCount < segmentSlots;
        if (!last && (std::abs(rateNow() - searchedRate_) > retunedRate ||
                      std::abs(tuningNow() - searchedTuning_) * slotLength > retunedBins)) {
            // The phase was found with a tuning far from today's (an automatic tuning that was
            // still finding its way): the fit then was poor and the phase may be too.
            acquire(nextSlot_, slotCount);
        }
        double residual = fitSegment(columnPhase_, nextSlot_, slotCount);
        bool usual = residualCount_ < 3 || residual <= lostFactor * typicalResidual_;
        if (!usual && !last) {
            // Lost: search here. A segment that straddles the loss fits badly with any phase;
            // the next one then searches again. Conditions that simply got worse (noise)
            // become the new usual after a second search that does not help.
            const double before = columnPhase_;
            acquire(nextSlot_, slotCount);
            residual = fitSegment(columnPhase_, nextSlot_, slotCount);
            usual = residual <= lostFactor * typicalResidual_;
            if (!usual && ++fruitlessSearches_ >= 2) {
                residualCount_ = 0;
                usual = true;
            } else if (!usual) {
                // The phase found in a segment that straddles a loss means nothing: keep the
                // old one for the part before it.
                columnPhase_ = before;
                residual = fitSegment(columnPhase_, nextSlot_, slotCount);
            }
        }
        if (usual && !firstSegment_) { // the first starts part-way into a column
            fruitlessSearches_ = 0;
            typicalResidual_ =
                residualCount_ == 0 ? residual : 0.8 * typicalResidual_ + 0.2 * residual;
            ++residualCount_;
        }
        const int from = firstSegment_ ? 0 : marginSlots;
        const int to = last ? slotCount : slotCount - marginSlots;
        storeSegment(nextSlot_, from, to);
        firstSegment_ = false;
        if (++segmentsSinceTrack_ >= trackInterval_ && !last) {
            // A phase that keeps moving one way (what remains of a rate error) is followed every
            // segment; moves to and fro are noise.
            segmentsSinceTrack_ = 0;
            const double move = track(nextSlot_, residual);
            const bool drifting = std::abs(move) > 0.4 * trackStep && move * lastMove_ > 0.0;
            trackInterval_ = drifting ? 1 : std::min(2 * trackInterval_, trackEvery);
            lastMove_ = move;
        }
        nextSlot_ = fittedEnd_ - marginSlots;
        trimHistory();
        if (last) {
            return;
        }
    }
}

// Drops the samples before the next segment (with a slot to spare for phase corrections).
void EnhancedReceiver::trimHistory() {
    const double keepFrom = slotLength * static_cast<double>(nextSlot_ - 1) - columnPhase_;
    const auto drop = static_cast<std::size_t>(
        std::lower_bound(tau_.begin(), tau_.end(), keepFrom) - tau_.begin());
    if (drop == 0 || drop < samples_.size() / 2) {
        return; // erase in large steps only
    }
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(drop));
    tau_.erase(tau_.begin(), tau_.begin() + static_cast<std::ptrdiff_t>(drop));
    theta_.erase(theta_.begin(), theta_.begin() + static_cast<std::ptrdiff_t>(drop));
}

void EnhancedReceiver::completeFrames(bool atEnd) {
    while (!pending_.empty()) {
        const PendingFrame& frame = pending_.front();
        if (!locked_ && !atEnd) {
            return;
        }
        if (!frontEnd_) {
            // The columns just after the frame are needed to place its end.
            const std::int64_t ordinary = roundHalfEven((columnPhase_ + frame.tauEnd) / slotLength);
            if (!atEnd && fittedEnd_ < ordinary + 4) {
                return;
            }
            frontEnd_ = frameEndSlot(frame);
        }
        if (!atEnd && fittedEnd_ < *frontEnd_ + 1) {
            return;
        }
        ready_.push_back(compose(frame, *frontEnd_));
        pending_.pop_front();
        frontEnd_.reset();
    }
}

// The end slot of the next frame: a whole frame after the last, unless the ordinary path's
// framing jumped (by whole blocks, three slots or more) since, which the enhanced frames follow.
// The ordinary framing is only as good as a block, and a rate corrected late leaves it a slot or
// so off: the column where fields meet shows it, and the frames move there when two frames in
// a row agree.
std::int64_t EnhancedReceiver::frameEndSlot(const PendingFrame& frame) {
    const std::int64_t ordinary = roundHalfEven((columnPhase_ + frame.tauEnd) / slotLength);
    const std::int64_t advance =
        static_cast<std::int64_t>(profile_.fieldsPerFrame) * profile_.pictureColumns;
    if (!framed_) {
        framed_ = true;
        frameEnd_ = ordinary;
        boundaryVote_ = 0;
    } else {
        const std::int64_t jump = ordinary - (orderedEnd_ + advance);
        frameEnd_ += advance + (std::abs(jump) >= 2 ? jump : 0);
    }
    orderedEnd_ = ordinary;

    double here = boundaryContrast(frameEnd_);
    int best = 0;
    double bestContrast = here;
    for (int shift : {-1, 1}) {
        const double contrast = boundaryContrast(frameEnd_ + shift);
        if (contrast > bestContrast) {
            bestContrast = contrast;
            best = shift;
        }
    }
    if (best != 0 && bestContrast > 1.5 * here) {
        if (best == boundaryVote_) {
            frameEnd_ += best;
            boundaryVote_ = 0;
        } else {
            boundaryVote_ = best;
        }
    } else {
        boundaryVote_ = 0;
    }
    return frameEnd_;
}

// How much the line carriers change from one column to the next where a frame ending at `end`
// puts its field boundaries: the fields carry different colours (or, in mono, the picture's
// two edges meet there), so the true boundaries change most.
double EnhancedReceiver::boundaryContrast(std::int64_t end) const {
    const auto lines = static_cast<std::size_t>(lineCarriers_);
    double sum = 0.0;
    for (int f = 0; f <= profile_.fieldsPerFrame; ++f) {
        const std::int64_t after = end - static_cast<std::int64_t>(f) * profile_.pictureColumns;
        const std::size_t a = ringIndex(after);
        const std::size_t b = ringIndex(after - 1);
        if (ringSlot_[a] != after || ringSlot_[b] != after - 1) {
            continue;
        }
        for (std::size_t k = 0; k < lines; ++k) {
            const double d = ringDeviation_[a * lines + k] - ringDeviation_[b * lines + k];
            sum += d * d;
        }
    }
    return sum;
}

std::size_t EnhancedReceiver::ringIndex(std::int64_t slot) const {
    return static_cast<std::size_t>(((slot % ringSlots_) + ringSlots_) % ringSlots_);
}

EnhancedPicture EnhancedReceiver::compose(const PendingFrame& frame, std::int64_t end) {
    const int columns = profile_.pictureColumns;
    const int lines = profile_.pictureLines;
    const auto lineCount = static_cast<std::size_t>(lineCarriers_);
    const std::int64_t start = end - static_cast<std::int64_t>(frame.fields) * columns;

    // levels[field][carrier][on-air column]
    std::vector<std::uint8_t> levels(static_cast<std::size_t>(frame.fields) * lineCount *
                                     static_cast<std::size_t>(columns));
    std::vector<double> values(static_cast<std::size_t>(columns));
    bool everyColumn = true;
    for (int field = 0; field < frame.fields; ++field) {
        for (std::size_t k = 0; k < lineCount; ++k) {
            bool complete = true;
            double noise = 0.0;
            for (int i = 0; i < columns; ++i) {
                const std::int64_t slot = start + field * columns + i;
                const auto index =
                    static_cast<std::size_t>(((slot % ringSlots_) + ringSlots_) % ringSlots_);
                if (locked_ && ringSlot_[index] == slot) {
                    values[static_cast<std::size_t>(i)] = ringDeviation_[index * lineCount + k];
                    noise += ringNoise_[index * lineCount + k];
                } else {
                    values[static_cast<std::size_t>(i)] = std::numeric_limits<double>::quiet_NaN();
                    complete = false;
                }
            }
            if (denoise_ && complete) {
                shrinkField(values, noise / columns);
            }
            everyColumn = everyColumn && complete;
            for (int i = 0; i < columns; ++i) {
                levels[(static_cast<std::size_t>(field) * lineCount + k) *
                           static_cast<std::size_t>(columns) +
                       static_cast<std::size_t>(i)] =
                    displayLevel(values[static_cast<std::size_t>(i)], frame.brightness,
                                 frame.contrast);
            }
        }
    }
    auto level = [&](int field, int carrier, int x) {
        // Columns go on air from the rightmost to the leftmost.
        return levels[(static_cast<std::size_t>(field) * lineCount +
                       static_cast<std::size_t>(carrier)) *
                          static_cast<std::size_t>(columns) +
                      static_cast<std::size_t>(columns - 1 - x)];
    };

    EnhancedPicture out;
    out.complete = everyColumn;
    out.picture = RgbImage(columns, lines);
    for (int y = 0; y < lines; ++y) {
        const int carrier = lines - 1 - y; // the lowest bin carries the bottom line
        for (int x = 0; x < columns; ++x) {
            std::uint8_t* p = out.picture.pixel(x, y);
            if (frame.fields == 1) {
                p[0] = p[1] = p[2] = level(0, carrier, x);
            } else if (profile_.pictureScheme == PictureScheme::Rggb) {
                // The first field sends red on the even bin of each pair and blue on the odd
                // one; the second sends every line's green.
                const int bin = profile_.carriers.lineBins[static_cast<std::size_t>(carrier)];
                p[0] = level(0, lineIndexOfBin(profile_, bin & ~1), x);
                p[1] = level(1, carrier, x);
                p[2] = level(0, lineIndexOfBin(profile_, bin | 1), x);
            } else {
                for (int field = 0; field < frame.fields; ++field) {
                    const auto component = static_cast<std::size_t>(
                        profile_.transmitFieldOrder[static_cast<std::size_t>(field)]);
                    p[component] = level(field, carrier, x);
                }
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
