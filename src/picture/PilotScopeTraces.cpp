#include "picture/PilotScopeTraces.h"

#include <cstddef>
#include <cstdint>

#include "core/Conversions.h"

namespace nbtv {

std::vector<ScopeTrace> pilotScopeTraces(const ReceiverProfile& profile, const PictureStore& store,
                                         int colourMode) {
    const PilotScopeGeometry& scope = profile.scope;
    const bool mono = colourMode == 0;
    const int sums = mono ? scope.sumsMono : scope.sumsColour;
    const double divisor = mono ? scope.divisorMono : scope.divisorColour;

    std::vector<ScopeTrace> traces(store.scopeHistory.size());
    for (std::size_t h = 0; h < store.scopeHistory.size(); ++h) {
        const std::vector<std::int32_t>& history = store.scopeHistory[h];
        const int columns = static_cast<int>(history.size()) - 1; // [c] for c = 1..columns
        ScopeTrace& trace = traces[h];
        trace[0] = 0;
        for (int x = 1; x < static_cast<int>(trace.size()); ++x) {
            // 64 bits: twelve running averages of 100 x an unbounded value may pass int32.
            std::int64_t sum = 0;
            for (int j = 0; j < sums; ++j) {
                const int c = x + scope.spacing * j;
                // Every profile's sums stay inside its history; the test only guards the index.
                if (c <= columns) {
                    sum += history[static_cast<std::size_t>(c)];
                }
            }
            trace[static_cast<std::size_t>(x)] = roundHalfEven(static_cast<double>(sum) / divisor);
        }
    }
    return traces;
}

} // namespace nbtv
