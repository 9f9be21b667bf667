// The folder chooser: the system's folder browser with an edit box, whose
// OK accepts a folder only once its path passed the checks (and, where it
// was missing, was created with the user's consent).
#pragma once

#include <string>

#include "dialogs/folder_path.h"
#include "platform/platform.h"

namespace kelmo::dialogs {

// "参数设置" (settings) and "改变数据路径" (change the data path), GBK.
inline constexpr const char* kChooserTitle = "\xB2\xCE\xCA\xFD\xC9\xE8\xD6\xC3";
inline constexpr const char* kChooserPrompt = "\xB8\xC4\xB1\xE4\xCA\xFD\xBE\xDD\xC2\xB7\xBE\xB6";

class FolderChooser final : public platform::FolderChooserModel {
public:
    explicit FolderChooser(std::string startPath) : start_(std::move(startPath)) {}
    const char* title() const override { return kChooserTitle; }
    const char* prompt() const override { return kChooserPrompt; }
    std::string start_path() const override { return start_; }
    bool selectable(const std::string& path) const override;
    bool confirm(const std::string& path) override;
    void unrepresentable(const std::string& shown) override;
    // The confirmed folder (empty until one was).
    const std::string& path() const { return path_; }
    // Why the last folder refused was refused (empty when none was).
    const std::string& refusal() const { return refusal_; }

private:
    std::string start_, path_, refusal_;
};

// What ChangePath does: 1 and the confirmed folder in `path` (which holds
// `bytes`, the NUL included; a longer path is refused in the chooser), else
// 0 with `path` unchanged and the reason recorded.
int change_path(char* path, std::size_t bytes, void* parent);

}  // namespace kelmo::dialogs
