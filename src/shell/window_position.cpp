#include "shell/window_position.h"

#include <string>

namespace tidemark {

namespace {
const std::string kSection = "window";
const std::string kKeyX = "pos_x";
const std::string kKeyY = "pos_y";
}  // namespace

std::optional<ScreenPoint> loadWindowPosition(SettingsStore& settings) {
    ScreenPoint point{settings.readInt(kSection, kKeyX, 0), settings.readInt(kSection, kKeyY, 0)};
    if (point.x == 0 || point.y == 0) return std::nullopt;
    return point;
}

bool saveWindowPosition(SettingsStore& settings, const ScreenRect& window) {
    if (window.right <= 0 || window.bottom <= 0) return false;
    settings.writeText(kSection, kKeyX, std::to_string(window.left));
    settings.writeText(kSection, kKeyY, std::to_string(window.top));
    return true;
}

}  // namespace tidemark
