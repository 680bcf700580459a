#pragma once
// The one error type of probing, conversion, preview and export.

#include <exception>
#include <string>

namespace qm {

class ConversionError : public std::exception {
public:
    enum class Kind {
        unsupportedCodec,
        readerFailed,
        writerFailed,
        decodeFailed,
        encodeFailed,
        formatUnavailable,
        noVideoTrack,
        cancelled,
    };

    static ConversionError unsupportedCodec(std::string codecName) { return {Kind::unsupportedCodec, std::move(codecName)}; }
    static ConversionError readerFailed(std::string text) { return {Kind::readerFailed, std::move(text)}; }
    static ConversionError writerFailed(std::string text) { return {Kind::writerFailed, std::move(text)}; }
    static ConversionError decodeFailed(std::string text) { return {Kind::decodeFailed, std::move(text)}; }
    static ConversionError encodeFailed(std::string text) { return {Kind::encodeFailed, std::move(text)}; }
    static ConversionError formatUnavailable(std::string label) { return {Kind::formatUnavailable, std::move(label)}; }
    static ConversionError noVideoTrack() { return {Kind::noVideoTrack, {}}; }
    static ConversionError cancelled() { return {Kind::cancelled, {}}; }

    Kind kind() const { return kind_; }
    const std::string& payload() const { return payload_; }
    // The English description; views pass it through their translation layer.
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const ConversionError& other) const { return kind_ == other.kind_ && payload_ == other.payload_; }

private:
    ConversionError(Kind kind, std::string payload);
    Kind kind_;
    std::string payload_;
    std::string description_;
};

}  // namespace qm
