#pragma once
// The main window's remembered place: section "window", keys "pos_x" and
// "pos_y", read when the window opens and written when it is destroyed.

#include <optional>

#include "platform/settings_store.h"

namespace tidemark {

struct ScreenPoint {
    int x = 0;
    int y = 0;
    bool operator==(const ScreenPoint&) const = default;
};

struct ScreenRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

// The saved top-left corner; nullopt (keep the centring) when either
// coordinate is 0 or missing. A position off every screen is kept as it is.
std::optional<ScreenPoint> loadWindowPosition(SettingsStore& settings);

// Writes the window's top-left corner, unless its right or bottom edge lies
// at 0 or less (a window pushed off the top-left corner is not remembered;
// the values saved before stay). True when written.
bool saveWindowPosition(SettingsStore& settings, const ScreenRect& window);

}  // namespace tidemark
