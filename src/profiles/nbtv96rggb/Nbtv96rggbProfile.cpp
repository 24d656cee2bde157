#include "profiles/ReceiverProfile.h"

namespace nbtv {

namespace {

// 72 lines on bins 10..81 in pairs (11, 10) .. (81, 80); bin 82 pairs with the upper pilot.
CarrierLayout nbtv96rggbCarriers() {
    CarrierLayout layout;
    for (int bin = 10; bin <= 81; ++bin) {
        layout.lineBins.push_back(bin);
    }
    layout.pilotBin = 9;
    layout.secondPilotBin = 83;
    layout.topCopyBin = 82;
    return layout;
}

std::vector<ControlLayout> nbtv96rggbControls() {
    using K = ControlKind;
    return {
        {ids::pictureView, K::DrawingArea, "", 0, 0, 288, 220},
        {ids::pilotScope, K::DrawingArea, "", 295, 0, 100, 220},
        {ids::monitorStrip, K::DrawingArea, "", 0, 227, 192, 73},
        {ids::recordButton, K::ToggleButton, "Record", 205, 225, 75, 20},
        {ids::statusLabel, K::SunkenLabel, "", 205, 258, 150, 30},
        {ids::fineTuneSlider, K::Slider, "", 5, 305, 390, 27},
        {ids::fixedLabel, K::Label, "-1", 10, 335, 20, 15},
        {ids::fixedLabel, K::Label, "+1", 380, 335, 20, 15},
        {ids::fixedLabel, K::Label, "-----Fine Tune-----", 160, 335, 90, 15},
        {ids::positiveReadout, K::Label, "", 270, 335, 100, 15},
        {ids::negativeReadout, K::Label, "", 70, 335, 100, 15},
        {ids::noiseFilter, K::CheckBox, "Noise filter", 305, 225, 70, 14},
    };
}

// An entry without items and with an id is a command on the bar itself.
std::vector<MenuEntry> nbtv96rggbMenus() {
    const MenuEntry separator{};
    return {
        {"&File", 0, {{"&Exit", ids::exitCommand, {}}}},
        {"&Adjust input", ids::adjustInput, {}},
        {"Noise filter",
         0,
         {{"Light filter", ids::lightFilter, {}},
          separator,
          {"Medium filter", ids::mediumFilter, {}},
          separator,
          {"Heavy filter", ids::heavyFilter, {}}}},
        {"Select soundcard", ids::selectSoundcard, {}},
        {"Calibrate soundcard", ids::calibrateSoundcard, {}},
        {"Picture adjust", ids::pictureAdjust, {}},
        {"&Help", 0, {{"&Help", ids::help, {}}, separator, {"&About", ids::about, {}}}},
    };
}

ReceiverProfile makeNbtv96rggb() {
    ReceiverProfile p;
    p.name = "nbtv96rggb";
    p.title = "RX \"high definition\" RGGB TV receiver";
    p.clientWidth = 400;
    p.clientHeight = 390;
    p.sampleRate = 8000;
    p.carriers = nbtv96rggbCarriers();
    p.pictureColumns = 96;
    p.pictureLines = 72;
    p.fieldWidth = 288;
    p.fieldsPerFrame = 2; // columns 289..576 (received first) red and blue, 1..288 green
    p.bufferRows = 128;   // bin k in row 129 - k; row 1 receives 0
    p.rowsPerBin = 1;
    p.pictureScheme = PictureScheme::Rggb;
    p.hasMonochrome = false;
    p.noiseFilterInFrameBuffer = false; // filtered planes instead

    PictureGeometry& g = p.geometry;
    g.levelRowFirst = 1; // every carrier row gets a display level
    g.levelRowLast = 128;
    g.monitorRows = 73;
    g.monitorRowStep = 1;
    g.monitorRowBase = 45; // monitor row 1 shows the upper pilot's row 46
    g.pictureArea = {0, 0, 288, 219};
    g.planeColumnShift = 0;
    g.planeRowShift = 140;
    // 72 lines of three rows: bin 81 on crop row 1, bin 10 on crop row 214.
    g.pictureCrop = {0, 2, 288, 216};

    p.scope.sumsColour = 6;
    p.scope.divisorColour = 20;
    p.scope.sumsMono = 6;
    p.scope.divisorMono = 20;
    p.scope.spacing = 87;
    p.scope.baselines = {50, 100, 150}; // row 46, the two pilots combined, row 120
    p.scope.centreLine = 100;
    p.scope.caption = "Pilot carriers";

    p.controls = nbtv96rggbControls();
    p.menuBar = nbtv96rggbMenus();
    p.bigPictureView = false;
    p.stretchedPictureHeight = 0; // pixels set 1:1
    p.fineTuneClickInCaption = false;
    p.recordingStateLabel = false;
    p.sliderReadout = FineTuneReadoutForm::Plain;

    p.pilotMarkerZero = 100;
    p.pilotScopeClickBelowY = 303;
    p.recording = RecordingKind::FrameFile;
    p.frameFilePrefix = "RGB_";
    return p;
}

} // namespace

const ReceiverProfile& nbtv96rggbProfile() {
    static const ReceiverProfile profile = makeNbtv96rggb();
    return profile;
}

} // namespace nbtv
