#pragma once
// Built-in test cards, drawn at any picture size.

#include <optional>
#include <string_view>

#include "picture/RgbImage.h"

namespace nbtv {

enum class TestCardKind {
    Bars,   // vertical colour bars: white, yellow, cyan, green, magenta, red, blue, black
    Ramp,   // grey ramp, black at the left to white at the right
    Detail, // fine detail: stripes, checks and edges that show the receiver's resolution
};

RgbImage makeTestCard(TestCardKind kind, int width, int height);

// "bars", "ramp" or "detail".
std::optional<TestCardKind> testCardByName(std::string_view name);

} // namespace nbtv
