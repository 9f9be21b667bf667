// The current user's settings: registry values under HKEY_CURRENT_USER.
#include <string>

#include "platform/win32/win32.h"

namespace kelmo::platform::win32 {

namespace {
class Win32Settings final : public Settings {
public:
    std::optional<uint32_t> user_setting(const char* key, const char* name) override;
    std::optional<std::string> user_setting_text(const char* key, const char* name) override;
    bool set_user_setting_text(const char* key, const char* name, const std::string& value) override;
};
}  // namespace

std::optional<uint32_t> Win32Settings::user_setting(const char* key, const char* name) {
    HKEY k = nullptr;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) return std::nullopt;
    DWORD type = 0, value = 0, size = sizeof value;
    const LONG r = ::RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    ::RegCloseKey(k);
    if (r != ERROR_SUCCESS || size != sizeof value) return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::optional<std::string> Win32Settings::user_setting_text(const char* key, const char* name) {
    HKEY k = nullptr;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) return std::nullopt;
    char text[101] = {};
    DWORD type = 0, size = 100;
    const LONG r = ::RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    ::RegCloseKey(k);
    if (r != ERROR_SUCCESS) return std::nullopt;
    text[99] = '\0';
    return std::string(text);
}

bool Win32Settings::set_user_setting_text(const char* key, const char* name, const std::string& value) {
    HKEY k = nullptr;
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
        ERROR_SUCCESS)
        return false;
    // The text in a zeroed 100-byte buffer, stored whole.
    char text[100] = {};
    value.copy(text, sizeof text - 1);
    const LONG r = ::RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
    ::RegCloseKey(k);
    return r == ERROR_SUCCESS;
}

Settings& settings() {
    static Win32Settings instance;
    return instance;
}

}  // namespace kelmo::platform::win32
