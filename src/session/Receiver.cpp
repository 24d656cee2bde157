#include "session/Receiver.h"

#include "demod/CarrierDemodulator.h"
#include "picture/RggbAssembler.h"

namespace nbtv {

namespace {

std::unique_ptr<PicturePipeline> makePipeline(const ReceiverProfile& profile, Matrix<float>& buffer,
                                              PictureStore& store) {
    switch (profile.pictureScheme) {
    case PictureScheme::Rggb:
        return std::make_unique<RggbAssembler>(profile, buffer, store);
    case PictureScheme::Rgb:
        break;
    }
    return std::make_unique<PictureAssembler>(profile, buffer, store);
}

} // namespace

Receiver::Receiver(const ReceiverProfile& profile)
    : profile_(profile), settings_(entrySettings(profile)),
      receiveBuffer_(profile.frameColumns(), profile.bufferRows), store_(profile),
      frames_(profile, receiveBuffer_), pictures_(makePipeline(profile, receiveBuffer_, store_)) {}

void Receiver::analyseBlock(std::span<const std::int16_t> samples) {
    analyser_.analyseBlock(samples, settings_, spectra_);
}

bool Receiver::completeBlock() {
    demodulate(spectra_, values_);
    const int offset = frames_.placeBlock(values_, settings_);
    pictures_->assembleBlock(offset, settings_);
    if (offset < columnsPerBlock) {
        pictures_->composePicture(settings_);
        return true;
    }
    return false;
}

void Receiver::setCalibration(double sampleRateOffset) {
    applyCalibration(settings_, sampleRateOffset, profile_.nominalBlockLength);
}

TunerAccess Receiver::tunerAccess() {
    return TunerAccess(profile_, settings_, spectra_, values_, frames_);
}

} // namespace nbtv
