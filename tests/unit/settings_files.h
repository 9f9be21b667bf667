// The fixture of the coupling and mode files' tests: a fresh directory
// for every test.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "fixture.h"

namespace kelmo::test {

// Runs every test in a fresh directory of its own, so that the settings
// files of one test never meet another's.
class SettingsFiles : public FakeTest {
protected:
    SettingsFiles() : previous_(std::filesystem::current_path()) {
        std::random_device rd;
        do {
            dir_ = std::filesystem::temp_directory_path() / ("kelmo-settings-" + std::to_string(rd()));
        } while (!std::filesystem::create_directory(dir_));
        std::filesystem::current_path(dir_);
        settings.assign(768, 7.0);
    }
    ~SettingsFiles() override {
        std::error_code ec;
        std::filesystem::current_path(previous_, ec);
        std::filesystem::remove_all(dir_, ec);
    }

    static std::vector<unsigned char> fileBytes(const char* name) {
        std::ifstream in(name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void writeFile(const char* name, std::vector<unsigned char> bytes) {
        std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
    }
    bool rangeIs(int first, int last, double v) const {
        for (int i = first; i <= last; ++i)
            if (settings[i] != v) return false;
        return true;
    }

    std::vector<double> settings;

private:
    std::filesystem::path previous_, dir_;
};

}  // namespace kelmo::test
