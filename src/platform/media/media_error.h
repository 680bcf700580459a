#pragma once
// Failures of the media libraries: the step that failed and the library's own text,
// reading "<step> (<text>)", e.g. "open (Invalid data found when processing input)".

#include <exception>
#include <string>
#include <string_view>

namespace qm {

class MediaError : public std::exception {
public:
    MediaError(std::string step, std::string detail, int code = 0);

    // From an FFmpeg error code (AVERROR(...)), whose text is the library's description.
    static MediaError fromCode(std::string_view step, int code);

    const std::string& step() const { return step_; }
    const std::string& detail() const { return detail_; }
    // The library's error code, or 0 when the failure was found by our own checks.
    int code() const { return code_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string step_;
    std::string detail_;
    int code_ = 0;
    std::string text_;
};

// The FFmpeg library's text for an error code.
std::string mediaErrorText(int code);

}  // namespace qm
