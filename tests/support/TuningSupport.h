#pragma once
// Signals and pictures for the automatic-tuning tests: a natural-looking synthetic picture and
// a run of the receiver with the tuner watching every block.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "io/ImageFile.h"

#include "picture/PixelSurface.h"
#include "picture/RgbImage.h"
#include "profiles/ReceiverProfile.h"
#include "session/Receiver.h"
#include "tuning/AutoTuner.h"

namespace nbtv::test {

// Smooth colour gradients, a few soft blobs and some fine texture, the same for the same seed.
inline RgbImage syntheticPhoto(int width, int height, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    double base[3][3];
    for (auto& channel : base) {
        for (double& c : channel) {
            c = unit(rng);
        }
    }
    struct Blob {
        double x, y, radius, colour[3];
    };
    std::vector<Blob> blobs(6);
    for (Blob& b : blobs) {
        b.x = unit(rng) * width;
        b.y = unit(rng) * height;
        b.radius = (0.08 + 0.25 * unit(rng)) * width;
        for (double& c : b.colour) {
            c = unit(rng) * 2.0 - 1.0;
        }
    }
    std::normal_distribution<double> grain(0.0, 0.04);
    RgbImage image(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / width;
            const double v = static_cast<double>(y) / height;
            std::uint8_t* p = image.pixel(x, y);
            for (int c = 0; c < 3; ++c) {
                double level = 0.15 + 0.5 * base[c][0] + 0.3 * (base[c][1] - 0.5) * u +
                               0.3 * (base[c][2] - 0.5) * v;
                for (const Blob& b : blobs) {
                    const double r2 =
                        ((x - b.x) * (x - b.x) + (y - b.y) * (y - b.y)) / (b.radius * b.radius);
                    level += 0.35 * b.colour[c] * std::exp(-r2);
                }
                level += grain(rng) + 0.05 * std::sin(0.9 * x + 1.7 * y + c);
                p[c] = static_cast<std::uint8_t>(std::clamp(std::lround(255.0 * level), 0L, 255L));
            }
        }
    }
    return image;
}

struct TunedRun {
    std::vector<RgbImage> pictures;
    int blockLengthChanges = 0;
    int phaseMoves = 0;
    long blocks = 0;
};

// Runs the receiver over the signal in blocks of its current length, the tuner after each; a
// new block length takes effect with the next block, as a restarted capture's would. `watch`
// sees the receiver after every block, with the recorded samples consumed so far.
template <class Watch>
TunedRun runTuned(Receiver& receiver, AutoTuner& tuner, std::span<const std::int16_t> signal,
                  Watch watch) {
    TunedRun run;
    std::size_t at = 0;
    for (;;) {
        const std::size_t length = static_cast<std::size_t>(receiver.settings().blockLength);
        if (at + length > signal.size()) {
            break;
        }
        const std::span<const std::int16_t> block = signal.subspan(at, length);
        at += length;
        const bool frame = receiver.processBlock(block);
        const AutoTuneChange change = tuner.afterBlock(receiver.tunerAccess(), block);
        run.blockLengthChanges += change.blockLength ? 1 : 0;
        run.phaseMoves += change.framePhase ? 1 : 0;
        ++run.blocks;
        if (frame) {
            run.pictures.push_back(
                toRgbImage(receiver.pictureSurface(), receiver.profile().geometry.pictureCrop));
        }
        watch(receiver, at);
    }
    return run;
}

inline TunedRun runTuned(Receiver& receiver, AutoTuner& tuner,
                         std::span<const std::int16_t> signal) {
    return runTuned(receiver, tuner, signal, [](const Receiver&, std::size_t) {});
}

#ifdef NBTV_PHOTO_DIR
// The held-out half of the photographs of tests/data/photos (the frame-phase search was tuned
// on the other half), scaled to the program's picture, in the order of photos.tsv.
inline std::vector<RgbImage> heldOutPhotos(const ReceiverProfile& p) {
    const std::string dir = NBTV_PHOTO_DIR;
    std::ifstream list(dir + "/photos.tsv");
    std::vector<RgbImage> photos;
    std::string line;
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        std::string name;
        std::string half;
        std::getline(fields, name, '\t');
        std::getline(fields, half, '\t');
        if (name.empty() || name[0] == '#' || half != "held-out") {
            continue;
        }
        const std::string size = p.pictureColumns == 48 ? "48x48" : "96x72";
        RgbImage image;
        std::string error;
        EXPECT_TRUE(loadImageScaled(dir + "/" + size + "/" + name + ".png", p.pictureColumns,
                                    p.pictureLines, image, error))
            << error;
        photos.push_back(std::move(image));
    }
    return photos;
}

#endif

} // namespace nbtv::test
