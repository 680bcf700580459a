#include "convert/conversion_job.h"

namespace qm {

bool ConversionJob::State::operator==(const State& other) const {
    if (kind != other.kind) return false;
    switch (kind) {
    case Kind::running:
        return fraction == other.fraction && fps == other.fps;
    case Kind::done:
        return output == other.output;
    case Kind::failed:
        return message == other.message;
    case Kind::probing:
    case Kind::ready:
    case Kind::cancelled:
        return true;
    }
    return true;
}

ConversionJob::ConversionJob(QString path) : id_(QUuid::createUuid()), path_(std::move(path)) {}

void ConversionJob::setInfo(std::optional<MediaInfo> info) {
    const bool changed = info != info_;
    info_ = std::move(info);
    if (changed) emit infoChanged();
}

void ConversionJob::setState(State state) {
    const bool changed = !(state == state_);
    state_ = std::move(state);
    if (changed) emit stateChanged();
}

bool ConversionJob::canRetry() const { return state_.is(State::Kind::failed) && info_.has_value(); }

void ConversionJob::retry() {
    if (!canRetry()) return;
    if (info_->decoder.kind == SourceDecoder::Kind::unsupported) return;
    setState(State::ready());
}

}  // namespace qm
