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

const ReceiverProfile* findProfile(const std::string& name) {
    if (name == nbtv48Profile().name) {
        return &nbtv48Profile();
    }
    return nullptr;
}

std::vector<std::string> profileNames() {
    return {nbtv48Profile().name};
}

} // namespace nbtv
