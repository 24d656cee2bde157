#pragma once
// The transmitter's push-to-talk through Hamlib: by CAT command to a rig model Hamlib knows, or
// by the RTS or DTR line of a serial port, or both (the rig's port for CAT, another for the
// line).

#include <memory>
#include <string>

#include "tx/LiveTransmitter.h"

namespace nbtv {

struct RigSettings {
    int model = 0;       // Hamlib's rig model (1: its dummy rig); 0 with only a PTT line
    std::string port;    // the rig's CAT port (a device, or host:port for a network rig)
    std::string pttPort; // a serial port whose line keys the transmitter
    enum class Line { Cat, Rts, Dtr } line = Line::Cat;
};

// "RTS" or "DTR" (any case) to its line; false otherwise.
bool pttLineByName(const std::string& name, RigSettings::Line& line);

class RigKey final : public KeyLine {
  public:
    RigKey();
    ~RigKey() override; // releases the key, then closes
    RigKey(const RigKey&) = delete;
    RigKey& operator=(const RigKey&) = delete;

    // Opens the rig or the line, released; false with error().
    bool open(const RigSettings& settings);
    bool key(bool on) override;
    // Whether Hamlib reports the transmitter keyed; false when it cannot tell.
    bool keyed();
    std::string error() const override { return error_; }

  private:
    struct Rig;
    std::unique_ptr<Rig> rig_;
    std::string error_;
};

} // namespace nbtv
