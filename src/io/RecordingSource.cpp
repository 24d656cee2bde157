#include "io/RecordingSource.h"

#include <cerrno>
#include <cstring>

namespace nbtv {

bool RecordingSource::open(const std::string& path, int sampleRate, bool raw) {
    raw_ = raw;
    error_.clear();
    if (!input_.open(path, error_)) {
        return false;
    }
    if (raw_) {
        if (input_.size()) {
            length_ = *input_.size() / 2;
        }
        return true;
    }
    if (!reader_.open(input_, sampleRate)) {
        error_ = reader_.error();
        return false;
    }
    length_ = reader_.length();
    return true;
}

std::size_t RecordingSource::produce(std::span<std::int16_t> out) {
    if (raw_) {
        return produceRaw(out);
    }
    const std::size_t got = reader_.read(out.data(), out.size());
    if (got < out.size()) {
        error_ = reader_.error();
    }
    return got;
}

std::size_t RecordingSource::produceRaw(std::span<std::int16_t> out) {
    bytes_.resize(out.size() * 2);
    std::size_t have = carry_ ? 1 : 0;
    if (carry_) {
        bytes_[0] = *carry_;
        carry_.reset();
    }
    while (have < bytes_.size()) {
        const std::ptrdiff_t done = input_.read(bytes_.data() + have, bytes_.size() - have);
        if (done < 0) {
            error_ = "cannot read " + input_.name() + ": " + std::strerror(errno);
            break;
        }
        if (done == 0) {
            break;
        }
        have += static_cast<std::size_t>(done);
    }
    const std::size_t samples = have / 2;
    for (std::size_t i = 0; i < samples; ++i) {
        out[i] = static_cast<std::int16_t>(
            static_cast<std::uint16_t>(bytes_[2 * i] | (bytes_[2 * i + 1] << 8)));
    }
    if (have % 2 != 0) {
        carry_ = bytes_[have - 1]; // half a sample at the end is dropped
    }
    return samples;
}

std::optional<WavShortfall> RecordingSource::shortfall() const {
    return raw_ ? std::nullopt : reader_.shortfall();
}

} // namespace nbtv
