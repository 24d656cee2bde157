#pragma once
// The desktop's own sound tools, started for the user where they exist.

namespace nbtv {

enum class DesktopTool {
    SoundSettings,   // the sound control panel
    RecordingLevels, // the recording-level mixer
};

// Starts the tool without waiting for it. Returns false, and does nothing, when this desktop has
// none.
bool startDesktopTool(DesktopTool tool);

} // namespace nbtv
