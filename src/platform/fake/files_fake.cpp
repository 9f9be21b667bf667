// Files and folders: the settings files are real files of the working
// folder; the folders are the fake's set of paths.
#include "platform/fake/fake_platform.h"

namespace kelmo::platform {

long FakePlatform::read_small_file(const char* name, void* data, std::size_t bytes) {
    return default_platform().files.read_small_file(name, data, bytes);
}

bool FakePlatform::write_small_file(const char* name, const void* data, std::size_t bytes, std::string* why) {
    return default_platform().files.write_small_file(name, data, bytes, why);
}

bool FakePlatform::directory_exists(const std::string& path) { return directories.count(path) != 0; }

void FakePlatform::create_directory(const std::string& path) {
    const auto cut = path.find_last_of("/\\");
    if (cut == std::string::npos) return;
    const std::string parent = path.substr(0, cut == 0 || (cut == 2 && path[1] == ':') ? cut + 1 : cut);
    if (directories.count(parent)) directories.insert(path);
}

}  // namespace kelmo::platform
