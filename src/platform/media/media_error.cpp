#include "platform/media/media_error.h"

extern "C" {
#include <libavutil/error.h>
}

namespace qm {

MediaError::MediaError(std::string step, std::string detail, int code)
    : step_(std::move(step)), detail_(std::move(detail)), code_(code), text_(step_ + " (" + detail_ + ")") {}

MediaError MediaError::fromCode(std::string_view step, int code) {
    return MediaError(std::string(step), mediaErrorText(code), code);
}

std::string mediaErrorText(int code) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(code, buffer, sizeof buffer) < 0 && buffer[0] == '\0') return "error " + std::to_string(code);
    return buffer;
}

}  // namespace qm
