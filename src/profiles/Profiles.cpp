#include "profiles/ReceiverProfile.h"

namespace nbtv {

std::vector<const ReceiverProfile*> allProfiles() {
    return {&nbtv48Profile(), &nbtv96Profile(), &nbtv96rggbProfile()};
}

const ReceiverProfile* findProfile(const std::string& name) {
    for (const ReceiverProfile* profile : allProfiles()) {
        if (profile->name == name) {
            return profile;
        }
    }
    return nullptr;
}

MenuEntry enhanceMenu() {
    MenuEntry menu{"&Enhance", 0, {}};
    menu.items.push_back({"Enhanced picture", ids::enhancedPicture, {}, true});
    menu.items.push_back({});
    menu.items.push_back({"Automatic fine tune", ids::automaticFineTune, {}, true});
    menu.items.push_back({"Automatic calibration", ids::automaticCalibration, {}, true});
    menu.items.push_back({});
    menu.items.push_back({"Find frame phase", ids::findFramePhase, {}, false});
    menu.items.push_back({"Rotate colours", ids::rotateColours, {}, false});
    menu.items.push_back({});
    menu.items.push_back({"Record audio", ids::recordAudio, {}, true});
    menu.items.push_back({"Record audio as WAV", ids::recordAudioAsWav, {}, true});
    menu.items.push_back({});
    menu.items.push_back({"Replay last minute", ids::replayLastMinute, {}, false});
    menu.items.push_back({"Save last minute", ids::saveLastMinute, {}, false});
    menu.items.push_back({});
    menu.items.push_back({"Band view", ids::bandView, {}, false});
    return menu;
}

std::vector<std::string> profileNames() {
    std::vector<std::string> names;
    for (const ReceiverProfile* profile : allProfiles()) {
        names.push_back(profile->name);
    }
    return names;
}

} // namespace nbtv
