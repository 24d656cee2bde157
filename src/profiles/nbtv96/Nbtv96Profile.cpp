#include "profiles/ReceiverProfile.h"

namespace nbtv {

namespace {

CarrierLayout nbtv96Carriers() {
    CarrierLayout layout;
    for (int bin = 10; bin <= 82; ++bin) {
        if (bin != 45) {
            layout.lineBins.push_back(bin);
        }
    }
    layout.pilotBin = 45;
    return layout;
}

std::vector<ControlLayout> nbtv96Controls() {
    using K = ControlKind;
    return {
        {ids::pilotScope, K::DrawingArea, "", 295, 0, 100, 300},
        {ids::monitorStrip, K::DrawingArea, "", 0, 227, 288, 72},
        {ids::pictureView, K::DrawingArea, "", 0, 0, 288, 220},
        {ids::recordButton, K::ToggleButton, "Record", 185, 315, 75, 20},
        {ids::statusLabel, K::Label, "", 90, 398, 290, 14},
        {0, K::GroupBox, "Mode", 5, 305, 150, 38},
        {ids::colour, K::RadioButton, "Colour", 30, 318, 50, 20},
        {ids::mono, K::RadioButton, "Mono", 90, 318, 50, 20},
        {ids::fineTuneSlider, K::Slider, "", 5, 345, 390, 27},
        {ids::fixedLabel, K::Label, "-34", 10, 375, 20, 15},
        {ids::fixedLabel, K::Label, "+34", 370, 375, 20, 15},
        {ids::fixedLabel, K::Label, "-----Fine Tune-----", 160, 375, 90, 15},
        {ids::positiveReadout, K::Label, "", 270, 375, 100, 15},
        {ids::negativeReadout, K::Label, "", 70, 375, 100, 15},
    };
}

std::vector<MenuEntry> nbtv96Menus() {
    const MenuEntry separator{};
    return {
        {"&File", 0, {{"&Exit", ids::exitCommand, {}}}},
        {"Soundcard",
         0,
         {{"&Adjust input", ids::adjustInput, {}},
          separator,
          {"Audio properties", ids::audioProperties, {}},
          separator,
          {"Select soundcard", ids::selectSoundcard, {}},
          separator,
          {"Calibrate soundcard", ids::calibrateSoundcard, {}}}},
        {"Picture properties",
         0,
         {{"Picture adjust", ids::pictureAdjust, {}},
          separator,
          {"Colour mode", 0, {{"RGB", ids::colour, {}}, {"MONO", ids::mono, {}}}}}},
        {"Record options", 0, {{"Frame rate to save", ids::frameRate, {}}}},
        {"&Help", 0, {{"&Help", ids::help, {}}, separator, {"&About", ids::about, {}}}},
    };
}

ReceiverProfile makeNbtv96() {
    ReceiverProfile p;
    p.name = "nbtv96";
    p.title = "96x72 pixel RGB/MONO TV receiver";
    p.clientWidth = 400;
    p.clientHeight = 440;
    p.sampleRate = 8000;
    p.carriers = nbtv96Carriers();
    p.pictureColumns = 96;
    p.pictureLines = 72;
    p.fieldWidth = 288;
    // A receiver frame begins with green.
    p.transmitFieldOrder = {ColourComponent::Green, ColourComponent::Blue, ColourComponent::Red};

    PictureGeometry& g = p.geometry;
    g.scopeHistoryRows = {246, 249, 252, 255, 258};
    g.levelRowFirst = 139;
    g.levelRowLast = 359; // the monitor's lowest row included
    g.planeRowFirst = 139;
    g.planeRowLast = 358;
    g.fieldPlanes = {ColourComponent::Red, ColourComponent::Blue, ColourComponent::Green};
    g.monitorRows = 73;
    g.monitorRowBase = 140;
    g.monoMonitorClear = {96, 0, 192, 72};
    g.pictureArea = {0, 0, 288, 219};
    g.planeColumnShift = 0;
    g.planeRowShift = 140;
    g.pictureCrop = {0, 2, 288, 216}; // 72 lines of three rows: bin 82 on the second row

    p.scope.sumsColour = 9;
    p.scope.divisorColour = 30;
    p.scope.sumsMono = 9;
    p.scope.divisorMono = 30;
    p.scope.spacing = 87;
    p.scope.baselines = {50, 100, 150, 200, 250};
    p.scope.centreLine = 150;
    p.scope.caption.clear();

    p.controls = nbtv96Controls();
    p.menuBar = nbtv96Menus();
    p.bigPictureView = false;
    p.stretchedPictureHeight = 225;
    p.fineTuneClickInCaption = true;
    p.recordingStateLabel = true;

    p.pilotMarkerZero = 150;
    p.pilotScopeClickBelowY = 303;
    p.aviFilePrefix = "NBTV_96x72_";
    return p;
}

} // namespace

const ReceiverProfile& nbtv96Profile() {
    static const ReceiverProfile profile = makeNbtv96();
    return profile;
}

} // namespace nbtv
