#pragma once

#include <string_view>

// The names under which the panel asks the standalone application, in another process, to show its
// settings; the application observes all three. One place, since the two sides only meet by name.
namespace SettingsNotifications {
inline constexpr std::string_view kShowSettingsStandalone = "com.marlowen.tolvane.showSettings.standalone";
inline constexpr std::string_view kShowSettingsPlugin = "com.marlowen.tolvane.showSettings.plugin";
inline constexpr std::string_view kShowSettings = "com.marlowen.tolvane.showSettings";
}  // namespace SettingsNotifications
