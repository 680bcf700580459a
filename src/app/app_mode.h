#pragma once
// The application's current mode and its stored form under "appMode".

#include <optional>
#include <string_view>

namespace qm {

enum class AppMode { convert, edit, credits };

std::string_view rawValue(AppMode mode);
// Exactly "convert", "edit" or "credits" (case-sensitive, no trimming); anything else is no mode.
std::optional<AppMode> appModeFromRawValue(std::string_view text);

}  // namespace qm
