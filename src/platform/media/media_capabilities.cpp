#include "platform/media/media_capabilities.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace qm {

bool proResEncoderOffers4444XQ() {
    const AVCodec* codec = avcodec_find_encoder_by_name("prores_ks");
    if (codec == nullptr || codec->priv_class == nullptr) return false;
    // The profile names are constants of the encoder's "profile" option.
    const AVOption* option = nullptr;
    while ((option = av_opt_next(&codec->priv_class, option)) != nullptr) {
        if (option->type == AV_OPT_TYPE_CONST && option->unit != nullptr && std::strcmp(option->unit, "profile") == 0 &&
            std::strcmp(option->name, "4444xq") == 0)
            return true;
    }
    return false;
}

}  // namespace qm
