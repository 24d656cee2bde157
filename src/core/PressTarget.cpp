#include "core/PressTarget.h"

#include "profiles/ReceiverProfile.h"

namespace nbtv {

namespace {

constexpr int scopeLeftOf = 288; // presses right of this column may be in the scope
constexpr int monitorTop = 230;
constexpr int monitorBottom = 303;

} // namespace

PressTarget pressTarget(const ReceiverProfile& profile, int x, int y) {
    if (x > scopeLeftOf && y < profile.pilotScopeClickBelowY) {
        return {PressTarget::Kind::PilotScope, y};
    }
    if (y < monitorTop || y > monitorBottom) {
        return {};
    }
    return {PressTarget::Kind::Monitor, x};
}

} // namespace nbtv
