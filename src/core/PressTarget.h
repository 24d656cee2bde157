#pragma once
// Where a left-button press at client pixel (x, y) of a receiver's main window lands: in the
// pilot scope (x beyond the picture's 288 columns and y above the profile's scope limit) at its
// row y, in the monitor strip (230 <= y <= 303) at its column x, or nowhere. The receive core
// takes the row or the column; only the window knows pixels.

namespace nbtv {

struct ReceiverProfile;

struct PressTarget {
    enum class Kind { None, PilotScope, Monitor };
    Kind kind = Kind::None;
    int position = 0; // the scope's row, or the monitor strip's column
};

PressTarget pressTarget(const ReceiverProfile& profile, int x, int y);

} // namespace nbtv
