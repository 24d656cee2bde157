#include "tx/TestCard.h"

#include <array>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/Conversions.h"

namespace nbtv {

namespace {

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
};

constexpr Rgb black{0, 0, 0};
constexpr Rgb white{255, 255, 255};

void put(RgbImage& image, int x, int y, Rgb c) {
    std::uint8_t* p = image.pixel(x, y);
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
}

RgbImage makeBars(int width, int height) {
    static constexpr std::array<Rgb, 8> bars{{
        {255, 255, 255}, // white
        {255, 255, 0},   // yellow
        {0, 255, 255},   // cyan
        {0, 255, 0},     // green
        {255, 0, 255},   // magenta
        {255, 0, 0},     // red
        {0, 0, 255},     // blue
        {0, 0, 0},       // black
    }};
    RgbImage image(width, height);
    for (int x = 0; x < width; ++x) {
        // Integer division spreads the remainder so bar widths differ by at most one column.
        const int bar = x * static_cast<int>(bars.size()) / width;
        for (int y = 0; y < height; ++y) {
            put(image, x, y, bars[static_cast<std::size_t>(bar)]);
        }
    }
    return image;
}

RgbImage makeRamp(int width, int height) {
    RgbImage image(width, height);
    const int span = width > 1 ? width - 1 : 1;
    for (int x = 0; x < width; ++x) {
        const auto v = static_cast<std::uint8_t>(roundHalfEven(255.0 * x / span));
        for (int y = 0; y < height; ++y) {
            put(image, x, y, {v, v, v});
        }
    }
    return image;
}

// Three bands, top to bottom: one-pixel vertical stripes beside one-pixel horizontal stripes
// (the finest detail each way), a checkerboard beside a diagonal edge (resolution in both
// directions at once, and staircase artefacts), and a row of saturated colour patches whose
// edges show how well the colour fields line up.
RgbImage makeDetail(int width, int height) {
    static constexpr std::array<Rgb, 6> patches{{
        {255, 0, 0},
        {0, 255, 0},
        {0, 0, 255},
        {0, 255, 255},
        {255, 0, 255},
        {255, 255, 0},
    }};
    RgbImage image(width, height);
    const int band1 = height / 3;
    const int band2 = 2 * height / 3;
    const int half = width / 2;
    const int shorter = width < height ? width : height;
    const int cell = shorter / 24 > 1 ? shorter / 24 : 1;
    const int edgeWidth = width - half;
    const int edgeHeight = band2 - band1;

    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            Rgb c = black;
            if (y < band1) {
                const bool on = x < half ? x % 2 == 0 : y % 2 == 0;
                c = on ? white : black;
            } else if (y < band2) {
                const int v = y - band1;
                if (x < half) {
                    c = (x / cell + v / cell) % 2 == 0 ? white : black;
                } else {
                    // White above the diagonal from the band's top-left to its bottom-right,
                    // compared at pixel centres in integers.
                    const int u = x - half;
                    c = (2 * u + 1) * edgeHeight > (2 * v + 1) * edgeWidth ? white : black;
                }
            } else {
                const int patch = x * static_cast<int>(patches.size()) / width;
                c = patches[static_cast<std::size_t>(patch)];
            }
            put(image, x, y, c);
        }
    }
    return image;
}

} // namespace

RgbImage makeTestCard(TestCardKind kind, int width, int height) {
    // The picture's byte count is an int, so its size is capped there.
    if (width < 1 || height < 1 ||
        static_cast<long long>(width) * height * 3 > std::numeric_limits<int>::max()) {
        throw std::invalid_argument("test card size " + std::to_string(width) + " x " +
                                    std::to_string(height) + " is not positive or too large");
    }
    switch (kind) {
    case TestCardKind::Bars:
        return makeBars(width, height);
    case TestCardKind::Ramp:
        return makeRamp(width, height);
    case TestCardKind::Detail:
        return makeDetail(width, height);
    }
    throw std::invalid_argument("unknown test card kind");
}

std::optional<TestCardKind> testCardByName(std::string_view name) {
    if (name == "bars") {
        return TestCardKind::Bars;
    }
    if (name == "ramp") {
        return TestCardKind::Ramp;
    }
    if (name == "detail") {
        return TestCardKind::Detail;
    }
    return std::nullopt;
}

} // namespace nbtv
