#include "app/app_mode.h"

namespace qm {

std::string_view rawValue(AppMode mode) {
    switch (mode) {
    case AppMode::convert: return "convert";
    case AppMode::edit: return "edit";
    case AppMode::credits: return "credits";
    }
    return "convert";
}

std::optional<AppMode> appModeFromRawValue(std::string_view text) {
    for (AppMode m : {AppMode::convert, AppMode::edit, AppMode::credits})
        if (rawValue(m) == text) return m;
    return std::nullopt;
}

}  // namespace qm
