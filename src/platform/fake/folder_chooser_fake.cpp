// The folder chooser and its boxes: the test plays the user's part.
#include "platform/fake/fake_platform.h"

namespace kelmo::platform {

int FakePlatform::folder_chooser(FolderChooserModel& model, void* parent, std::string* why) {
    if (chooser) return chooser(model, parent);
    *why = "the fake shows no chooser";
    return 0;
}

bool FakePlatform::question_box(const char* text) {
    questions.emplace_back(text);
    if (answers.empty()) return false;
    const bool a = answers.front();
    answers.erase(answers.begin());
    return a;
}

void FakePlatform::warning_box(const char* text) { warnings.emplace_back(text); }

}  // namespace kelmo::platform
