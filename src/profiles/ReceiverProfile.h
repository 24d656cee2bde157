#pragma once
// The constants in which the three receivers differ. Everything that depends on the program
// reads it from here, so a program is a profile, not a copy of the code.

#include <array>
#include <string>
#include <vector>

namespace nbtv {

// Frame-buffer columns that one captured block fills: three transform steps in each of three
// staggered analysis passes.
inline constexpr int columnsPerBlock = 9;

// Every program's pilots swing with this period on air (transmitter samples): five swings a
// 16 nominal blocks.
inline constexpr double pilotSwingPeriod = 2457.6;

// Which transform bins carry the picture lines and which the pilot.
struct CarrierLayout {
    std::vector<int> lineBins; // in order of increasing frequency; the last is the top line
    int pilotBin = 0;
    int secondPilotBin = 0; // a second pilot, 0 for none
    // A bin that repeats the top line (it shares a pair with the upper pilot), 0 for none.
    int topCopyBin = 0;

    // The pilots: the first, then the second where there is one.
    std::vector<int> pilots() const {
        std::vector<int> bins{pilotBin};
        if (secondPilotBin > 0) {
            bins.push_back(secondPilotBin);
        }
        return bins;
    }
    // The tones that carry picture levels: the lines, then the copy of the top line.
    std::vector<int> levelTones() const {
        std::vector<int> bins = lineBins;
        if (topCopyBin > 0) {
            bins.push_back(topCopyBin);
        }
        return bins;
    }
    // Every carrier: the lines, the pilots, then the copy of the top line.
    std::vector<int> allCarriers() const {
        std::vector<int> bins = lineBins;
        for (const int pilot : pilots()) {
            bins.push_back(pilot);
        }
        if (topCopyBin > 0) {
            bins.push_back(topCopyBin);
        }
        return bins;
    }
};

enum class ColourComponent { Red, Green, Blue };

// How the fields of a frame make the colours.
enum class PictureScheme {
    Rgb,  // three fields of full lines (or one monochrome field)
    Rggb, // two fields: green on every carrier, then red and blue on alternate carriers
};

// The form of the fine-tune readouts after a slider movement.
enum class FineTuneReadoutForm {
    Pattern, // "00.00 Hz"
    Plain,   // the plain number text followed by "Hz", as after a pilot-scope press
};

// What the record button writes.
enum class RecordingKind { Avi, FrameFile };

// A rectangle of pixels, 0-based, inclusive of x0/y0, exclusive of x0 + width / y0 + height.
struct PixelRect {
    int x0 = 0;
    int y0 = 0;
    int width = 0;
    int height = 0;
};

// How the picture pipeline maps the frame buffer to pictures. Rows and columns are the 1-based
// matrix indices of the frame buffer (the RGGB scheme's planes have three rows per carrier row).
struct PictureGeometry {
    // Rows of the frame buffer whose running averages feed the pilot scope, top first (RGB
    // scheme; the RGGB scheme's histories follow its two pilots).
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
    int monitorRowStep = 3;
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

// The pilot scope: traces of frame-buffer history rows, summed over samples `spacing` columns
// apart so that the pilot's swings add up in phase.
struct PilotScopeGeometry {
    int sumsColour = 12; // samples summed per point in colour mode
    int divisorColour = 40;
    int sumsMono = 4; // and in monochrome mode
    int divisorMono = 12;
    int spacing = 29;                         // columns between summed samples
    std::vector<int> baselines{50, 100, 150}; // one per trace (history), top first
    int centreLine = 100;
    std::string caption = "Pilot carrier"; // empty for none
};

// The kinds of control on the main window.
enum class ControlKind {
    DrawingArea,
    ToggleButton, // push-like check box
    SunkenLabel,  // label with a sunken static edge
    GroupBox,
    RadioButton,
    CheckBox,
    Slider,
    Label,
};

// One control of the main window, at its client-pixel rectangle; id 0 for none.
struct ControlLayout {
    int id = 0;
    ControlKind kind = ControlKind::Label;
    std::string text;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// One entry of the menu bar: a popup with items, a separator, or a command (id).
struct MenuEntry {
    std::string text; // empty for a separator
    int id = 0;       // command identifier; 0 for a popup or separator
    std::vector<MenuEntry> items;
    bool checkable = false; // a command that shows a check mark while on
};

// Identifiers of the main window's controls and commands.
namespace ids {
inline constexpr int exitCommand = 402;
inline constexpr int help = 409;
inline constexpr int about = 410;
inline constexpr int adjustInput = 411;
inline constexpr int fixedLabel = 415;
inline constexpr int fineTuneSlider = 416;
inline constexpr int statusLabel = 417;
inline constexpr int noiseFilter = 425;
inline constexpr int lightFilter = 426;
inline constexpr int mediumFilter = 427;
inline constexpr int heavyFilter = 428;
inline constexpr int pictureView = 430;
inline constexpr int recordButton = 433;
inline constexpr int frameRate = 436;
inline constexpr int colour = 438;
inline constexpr int mono = 439;
inline constexpr int pilotScope = 1500;
inline constexpr int monitorStrip = 1501;
inline constexpr int selectSoundcard = 1600;
inline constexpr int calibrateSoundcard = 1603;
inline constexpr int audioProperties = 1607;
inline constexpr int pictureAdjust = 1700;
inline constexpr int positiveReadout = 1710;
inline constexpr int negativeReadout = 1711;
inline constexpr int bigPicture = 1712;
inline constexpr int recordingState = 440;
// The "&Enhance" menu, beyond the receivers' own commands.
inline constexpr int enhancedPicture = 2000;
inline constexpr int automaticFineTune = 2001;
inline constexpr int automaticCalibration = 2002;
inline constexpr int findFramePhase = 2003;
inline constexpr int rotateColours = 2004;
// In the "&Enhance" menu as well: the input recorded, replayed and looked at.
inline constexpr int recordAudio = 2010;
inline constexpr int recordAudioAsWav = 2011;
inline constexpr int replayLastMinute = 2012;
inline constexpr int saveLastMinute = 2013;
inline constexpr int bandView = 2014;
} // namespace ids

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
    int bufferRows = 384;   // frame-buffer rows
    int rowsPerBin = 3;     // frame-buffer rows per transform bin (the carrier rows are multiples)
    PictureScheme pictureScheme = PictureScheme::Rgb;
    bool hasMonochrome = true; // a monochrome mode exists
    // The noise filter blends in the frame buffer (otherwise the picture pipeline filters).
    bool noiseFilterInFrameBuffer = true;

    int surfaceWidth = 288;
    int pictureSurfaceHeight = 219;
    int monitorSurfaceHeight = 73;

    // The field order on air in colour; a receiver frame begins with the first.
    std::array<ColourComponent, 3> transmitFieldOrder{};

    PictureGeometry geometry;

    PilotScopeGeometry scope;
    std::vector<ControlLayout> controls; // in creation order
    std::vector<MenuEntry> menuBar;
    bool bigPictureView = true; // the "Big picture?" view exists
    // A height the whole picture surface is stretched to when shown; 0 to show it at its size.
    int stretchedPictureHeight = 0;
    // A pilot-scope press shows the new fine tune in the window caption instead of the readouts.
    bool fineTuneClickInCaption = false;
    // The label beside the status that says "Recording: " and then "Finished:" (id 440).
    bool recordingStateLabel = false;
    FineTuneReadoutForm sliderReadout = FineTuneReadoutForm::Pattern;

    int pilotMarkerZero = 100;       // pilot-scope row of zero fine tune
    int pilotScopeClickBelowY = 219; // a press with x > 288 and y below this sets the fine tune
    RecordingKind recording = RecordingKind::Avi;
    std::string aviFilePrefix;
    std::string frameFilePrefix; // RecordingKind::FrameFile

    int frameColumns() const { return fieldWidth * fieldsPerFrame; }
    int rowOfBin(int bin) const { return bufferRows - rowsPerBin * (bin - 1); }
};

// The profiles of the programs.
const ReceiverProfile& nbtv48Profile();
const ReceiverProfile& nbtv96Profile();
const ReceiverProfile& nbtv96rggbProfile();

// The three programs: nbtv48, nbtv96, nbtv96rggb.
std::vector<const ReceiverProfile*> allProfiles();

// The profile of a program by its name, or nullptr.
const ReceiverProfile* findProfile(const std::string& name);

// The names findProfile knows, for messages.
std::vector<std::string> profileNames();

// The "&Enhance" menu every program adds to its menu bar, just before "&Help".
MenuEntry enhanceMenu();
// The name prefix of audio recordings: "NBTV_AUDIO_".
inline constexpr const char* audioFilePrefix = "NBTV_AUDIO_";

} // namespace nbtv
