#include "station/RigKey.h"

#include <dlfcn.h>
#include <hamlib/rig.h>

#include <algorithm>
#include <cctype>

namespace nbtv {

namespace {

// Hamlib, its rig tables and its USB and astronomy libraries are loaded when a rig is first
// opened, not linked: most runs of the tool and the receivers never key a transmitter.
struct Hamlib {
    decltype(&::rig_init) init = nullptr;
    decltype(&::rig_open) open = nullptr;
    decltype(&::rig_close) close = nullptr;
    decltype(&::rig_cleanup) cleanup = nullptr;
    decltype(&::rig_set_conf) setConf = nullptr;
    decltype(&::rig_token_lookup) tokenLookup = nullptr;
    decltype(&::rig_set_ptt) setPtt = nullptr;
    decltype(&::rig_get_ptt) getPtt = nullptr;
    decltype(&::rig_set_debug) setDebug = nullptr;
    decltype(&::rigerror2) error = nullptr;
    std::string loadError; // empty once every entry is there
};

template <typename Function>
bool find(void* library, const char* name, Function& entry) {
    entry = reinterpret_cast<Function>(dlsym(library, name));
    return entry != nullptr;
}

const Hamlib& hamlib() {
    static const Hamlib api = [] {
        Hamlib h;
        void* library = dlopen(NBTV_HAMLIB_LIBRARY, RTLD_NOW | RTLD_LOCAL); // never unloaded
        if (library == nullptr) {
            const char* why = dlerror(); // names the library and why it failed
            h.loadError = why != nullptr ? why : NBTV_HAMLIB_LIBRARY " cannot be loaded";
            return h;
        }
        if (!(find(library, "rig_init", h.init) && find(library, "rig_open", h.open) &&
              find(library, "rig_close", h.close) && find(library, "rig_cleanup", h.cleanup) &&
              find(library, "rig_set_conf", h.setConf) &&
              find(library, "rig_token_lookup", h.tokenLookup) &&
              find(library, "rig_set_ptt", h.setPtt) && find(library, "rig_get_ptt", h.getPtt) &&
              find(library, "rig_set_debug", h.setDebug) && find(library, "rigerror2", h.error))) {
            h.loadError = NBTV_HAMLIB_LIBRARY " lacks a function the push-to-talk needs";
        }
        return h;
    }();
    return api;
}

} // namespace

struct RigKey::Rig {
    RIG* handle = nullptr;
    bool open = false;
    ~Rig() {
        if (handle != nullptr) {
            if (open) {
                hamlib().close(handle);
            }
            hamlib().cleanup(handle);
        }
    }
};

namespace {

std::string hamlibMessage(int code) {
    const char* text = hamlib().error(code);
    std::string message = text != nullptr ? text : "Hamlib error";
    // Hamlib's message ends with a line break.
    message = message.substr(0, message.find('\n'));
    while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back())) != 0) {
        message.pop_back();
    }
    return message;
}

bool setConf(RIG* rig, const char* name, const std::string& value, std::string& error) {
    const token_t token = hamlib().tokenLookup(rig, name);
    const int rc =
        token == RIG_CONF_END ? -RIG_EINVAL : hamlib().setConf(rig, token, value.c_str());
    if (rc != RIG_OK) {
        error =
            std::string("Hamlib does not take ") + name + " '" + value + "': " + hamlibMessage(rc);
        return false;
    }
    return true;
}

} // namespace

bool pttLineByName(const std::string& name, RigSettings::Line& line) {
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (upper == "RTS") {
        line = RigSettings::Line::Rts;
        return true;
    }
    if (upper == "DTR") {
        line = RigSettings::Line::Dtr;
        return true;
    }
    return false;
}

RigKey::RigKey() = default;

RigKey::~RigKey() {
    if (rig_ && rig_->open) {
        key(false);
    }
}

bool RigKey::open(const RigSettings& settings) {
    rig_.reset();
    if (!hamlib().loadError.empty()) {
        error_ = "cannot use Hamlib: " + hamlib().loadError;
        return false;
    }
    hamlib().setDebug(RIG_DEBUG_NONE);
    const rig_model_t model = settings.model > 0 ? settings.model : RIG_MODEL_DUMMY;
    auto rig = std::make_unique<Rig>();
    rig->handle = hamlib().init(model);
    if (rig->handle == nullptr) {
        error_ = "Hamlib knows no rig model " + std::to_string(settings.model) +
                 " (rigctl --list shows them)";
        return false;
    }
    if (!settings.port.empty() && !setConf(rig->handle, "rig_pathname", settings.port, error_)) {
        return false;
    }
    if (settings.line == RigSettings::Line::Cat &&
        rig->handle->state.pttport.type.ptt == RIG_PTT_NONE) {
        // A model that does not say how it is keyed (Hamlib's dummy rig) is keyed by command.
        if (!setConf(rig->handle, "ptt_type", "RIG", error_)) {
            return false;
        }
    } else if (settings.line != RigSettings::Line::Cat) {
        const std::string line = settings.line == RigSettings::Line::Rts ? "RTS" : "DTR";
        if (!setConf(rig->handle, "ptt_type", line, error_) ||
            !setConf(rig->handle, "ptt_pathname", settings.pttPort, error_)) {
            return false;
        }
    }
    const int rc = hamlib().open(rig->handle);
    if (rc != RIG_OK) {
        const std::string where = settings.line != RigSettings::Line::Cat ? settings.pttPort
                                  : settings.port.empty()                 ? "its default port"
                                                                          : settings.port;
        error_ = "cannot open the rig on " + where + ": " + hamlibMessage(rc);
        return false;
    }
    rig->open = true;
    rig_ = std::move(rig);
    if (!key(false)) {
        rig_.reset();
        return false;
    }
    error_.clear();
    return true;
}

bool RigKey::key(bool on) {
    if (!rig_) {
        error_ = "the rig is not open";
        return false;
    }
    const int rc = hamlib().setPtt(rig_->handle, RIG_VFO_CURR, on ? RIG_PTT_ON : RIG_PTT_OFF);
    if (rc != RIG_OK) {
        error_ = std::string("cannot ") + (on ? "key" : "release") +
                 " the transmitter: " + hamlibMessage(rc);
        return false;
    }
    return true;
}

bool RigKey::keyed() {
    ptt_t ptt = RIG_PTT_OFF;
    return rig_ && hamlib().getPtt(rig_->handle, RIG_VFO_CURR, &ptt) == RIG_OK &&
           ptt != RIG_PTT_OFF;
}

} // namespace nbtv
