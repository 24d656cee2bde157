#include "profiles/ReceiverProfile.h"

namespace nbtv {

namespace {

CarrierLayout nbtv48Carriers() {
    CarrierLayout layout;
    for (int bin = 10; bin <= 58; ++bin) {
        if (bin != 34) {
            layout.lineBins.push_back(bin);
        }
    }
    layout.pilotBin = 34;
    return layout;
}

std::vector<ControlLayout> nbtv48Controls() {
    using K = ControlKind;
    return {
        {ids::pilotScope, K::DrawingArea, "", 300, 0, 100, 220},
        {ids::monitorStrip, K::DrawingArea, "", 0, 221, 144, 50},
        {ids::pictureView, K::DrawingArea, "", 0, 0, 288, 220},
        {ids::recordButton, K::ToggleButton, "Record", 207, 225, 75, 20},
        {ids::statusLabel, K::SunkenLabel, "", 207, 258, 188, 30},
        {0, K::GroupBox, "Mode", 5, 274, 150, 40},
        {ids::colour, K::RadioButton, "Colour", 30, 287, 50, 20},
        {ids::mono, K::RadioButton, "Mono", 90, 287, 50, 20},
        {ids::fineTuneSlider, K::Slider, "", 5, 315, 390, 27},
        {ids::fixedLabel, K::Label, "-1", 10, 345, 20, 15},
        {ids::fixedLabel, K::Label, "+1", 380, 345, 20, 15},
        {ids::fixedLabel, K::Label, "-----Fine Tune-----", 160, 345, 90, 15},
        {ids::positiveReadout, K::Label, "", 270, 345, 100, 15},
        {ids::negativeReadout, K::Label, "", 70, 345, 100, 15},
        {ids::noiseFilter, K::CheckBox, "Noise filter", 315, 225, 70, 14},
        {ids::bigPicture, K::CheckBox, "", 165, 230, 20, 14},
        {0, K::Label, "Big picture?", 147, 248, 60, 14},
    };
}

std::vector<MenuEntry> nbtv48Menus() {
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
          {"Colour mode", 0, {{"RGB", ids::colour, {}}, {"MONO", ids::mono, {}}}},
          separator,
          {"Noise filter",
           0,
           {{"Light filter", ids::lightFilter, {}},
            {"Medium filter", ids::mediumFilter, {}},
            {"Heavy filter", ids::heavyFilter, {}}}}}},
        {"Record options", 0, {{"Frame rate to save", ids::frameRate, {}}}},
        {"&Help", 0, {{"&Help", ids::help, {}}, separator, {"&About", ids::about, {}}}},
    };
}

ReceiverProfile makeNbtv48() {
    ReceiverProfile p;
    p.name = "nbtv48";
    p.title = "48x48 pixel RGB/MONO TV receiver";
    p.clientWidth = 400;
    p.clientHeight = 390;
    p.sampleRate = 11025;
    p.carriers = nbtv48Carriers();
    p.pictureColumns = 48;
    p.pictureLines = 48;
    p.fieldWidth = 144;
    p.transmitFieldOrder = {ColourComponent::Red, ColourComponent::Green, ColourComponent::Blue};

    PictureGeometry& g = p.geometry;
    g.scopeHistoryRows = {282, 285, 288};
    g.levelRowFirst = 139;
    g.levelRowLast = 359;
    g.planeRowFirst = 215;
    g.planeRowLast = 358;
    g.fieldPlanes = {ColourComponent::Blue, ColourComponent::Green, ColourComponent::Red};
    g.monitorRows = 50;
    g.monitorRowBase = 209;
    g.monoMonitorClear = {48, 0, 96, 73};
    g.pictureArea = {70, 34, 144, 145};
    g.planeColumnShift = -70;
    g.planeRowShift = 180;
    g.pictureCrop = {70, 34, 144, 144};

    p.scope = PilotScopeGeometry{};
    p.controls = nbtv48Controls();
    p.menuBar = nbtv48Menus();
    p.bigPictureView = true;

    p.pilotMarkerZero = 100;
    p.pilotScopeClickBelowY = 219;
    p.aviFilePrefix = "NBTV_48x48_";
    return p;
}

} // namespace

const ReceiverProfile& nbtv48Profile() {
    static const ReceiverProfile profile = makeNbtv48();
    return profile;
}

} // namespace nbtv
