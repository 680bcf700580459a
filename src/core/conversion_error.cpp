#include "core/conversion_error.h"

namespace qm {

namespace {
std::string describe(ConversionError::Kind kind, const std::string& payload) {
    using K = ConversionError::Kind;
    switch (kind) {
    case K::unsupportedCodec: return "Codec " + payload + " can't be decoded.";
    case K::readerFailed: return "Reading failed: " + payload;
    case K::writerFailed: return "Writing failed: " + payload;
    case K::decodeFailed: return "Decoding failed: " + payload;
    case K::encodeFailed: return "Encoding failed: " + payload;
    case K::formatUnavailable: return payload + " isn't available in this version.";
    case K::noVideoTrack: return "The file has no video track.";
    case K::cancelled: return "Cancelled";
    }
    return {};
}
}  // namespace

ConversionError::ConversionError(Kind kind, std::string payload)
    : kind_(kind), payload_(std::move(payload)), description_(describe(kind_, payload_)) {}

}  // namespace qm
