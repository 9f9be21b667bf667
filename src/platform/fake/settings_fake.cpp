// User settings from the fake's maps.
#include "platform/fake/fake_platform.h"

namespace kelmo::platform {

std::optional<uint32_t> FakePlatform::user_setting(const char* key, const char* name) {
    ++settingReads;
    const auto it = settings.find(std::string(key) + "|" + name);
    if (it == settings.end() || injected()) return std::nullopt;
    return it->second;
}

std::optional<std::string> FakePlatform::user_setting_text(const char* key, const char* name) {
    ++settingReads;
    const auto it = textSettings.find(std::string(key) + "|" + name);
    if (it == textSettings.end() || injected()) return std::nullopt;
    return it->second.substr(0, 99);
}

bool FakePlatform::set_user_setting_text(const char* key, const char* name, const std::string& value) {
    if (settingWriteFails || injected()) return false;
    textSettings[std::string(key) + "|" + name] = value;
    return true;
}

}  // namespace kelmo::platform
