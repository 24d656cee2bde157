#pragma once
// The constants in which the three receivers differ. Everything that depends on the program
// reads it from here, so a program is a profile, not a copy of the code.

#include <array>
#include <string>
#include <vector>

namespace nbtv {

// Which transform bins carry the picture lines and which the pilot.
struct CarrierLayout {
    std::vector<int> lineBins; // in order of increasing frequency; the last is the top line
    int pilotBin = 0;
};

enum class ColourComponent { Red, Green, Blue };

// A rectangle of pixels, 0-based, inclusive of x0/y0, exclusive of x0 + width / y0 + height.
struct PixelRect {
    int x0 = 0;
    int y0 = 0;
    int width = 0;
    int height = 0;
};

// How the picture pipeline of a three-field (RGB or mono) receiver maps the frame buffer to
// pictures. Rows and columns are the 1-based matrix indices of the frame buffer.
struct PictureGeometry {
    // Rows of the frame buffer whose running averages feed the pilot scope, top first.
    std::vector<int> scopeHistoryRows;
    // Matrix rows that brightness and contrast turn into display levels (inclusive). The
    // monitor strip's lowest row lies just below the picture rows and is included here.
    int levelRowFirst = 0;
    int levelRowLast = 0;
    // Matrix rows that make up the colour planes (inclusive).
    int planeRowFirst = 0;
    int planeRowLast = 0;
    // The plane filled by each third of the frame buffer: [0] from columns 1..W (same row),
    // [1] from W+1..2W and [2] from 2W+1..3W (one row higher). The monochrome picture is [0].
    std::array<ColourComponent, 3> fieldPlanes{};
    // Monitor strip: row y (1..monitorRows) shows matrix row monitorRowStep * y + monitorRowBase.
    int monitorRows = 0;
    int monitorRowBase = 0;
    // Area of the monitor image cleared after every monochrome block (0-based pixels).
    PixelRect monoMonitorClear;
    // Where the planes land in the picture surface: surface pixel (x, y), 0-based, inside
    // `pictureArea` shows plane column x + 1 + planeColumnShift and row y + 1 + planeRowShift.
    PixelRect pictureArea;
    int planeColumnShift = 0;
    int planeRowShift = 0;
    // The rectangle of the picture surface that is the picture itself (what a user saves).
    PixelRect pictureCrop;
};

struct ReceiverProfile {
    std::string name;  // program name, "nbtv48"
    std::string title; // caption of the main window
    int clientWidth = 0;
    int clientHeight = 0;

    int sampleRate = 0;
    int nominalBlockLength = 768;
    CarrierLayout carriers;

    int pictureColumns = 0; // picture width in pixels (W / 3)
    int pictureLines = 0;   // picture height in lines
    int fieldWidth = 0;     // W, frame-buffer columns per field
    int fieldsPerFrame = 3; // fields of a colour frame
    int bufferRows = 384;   // frame-buffer rows, three per transform bin

    int surfaceWidth = 288;
    int pictureSurfaceHeight = 219;
    int monitorSurfaceHeight = 73;

    // The field order on air in colour; a receiver frame begins with the first.
    std::array<ColourComponent, 3> transmitFieldOrder{};

    PictureGeometry geometry;

    int pilotMarkerZero = 100;       // pilot-scope row of zero fine tune
    int pilotScopeClickBelowY = 219; // a press with x > 288 and y below this sets the fine tune
    std::string aviFilePrefix;

    int frameColumns() const { return fieldWidth * fieldsPerFrame; }
    int rowOfBin(int bin) const { return bufferRows - 3 * (bin - 1); }
};

// The profiles of the programs.
const ReceiverProfile& nbtv48Profile();

// The profile of a program by its name, or nullptr.
const ReceiverProfile* findProfile(const std::string& name);

// The names findProfile knows, for messages.
std::vector<std::string> profileNames();

} // namespace nbtv
