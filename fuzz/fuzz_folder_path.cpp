// The folder chooser's path checks over arbitrary bytes, up to and beyond
// the 260-byte path buffer, on a directory set in memory; and ChangePath's
// hand-back of a typed path into the caller's 260 bytes.
//
// Checks: the syntax verdict is the one the level rules give, a check-only
// pass creates nothing, a creating pass creates only the path's own levels,
// shortest first, and leaves the whole path existing when it answers 0;
// the question is asked at most once and only for a valid path that does
// not exist yet, a warning comes exactly with results 1 and 2 and names the
// path; the caller's buffer is written within its 260 bytes, NUL-ended,
// and holds a path that passed the checks.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "dialogs/folder_chooser.h"
#include "dialogs/folder_path.h"
#include "kelmo.h"
#include "platform/fake/fake_platform.h"

namespace {

using namespace kelmo::dialogs;

void fail(const char* what) {
    std::fprintf(stderr, "fuzz folder_path: %s\n", what);
    std::abort();
}

struct MemoryDirs final : Directories {
    std::set<std::string> dirs, refused;
    std::vector<std::string> created;
    bool exists(const std::string& p) override { return dirs.count(p) != 0; }
    void create(const std::string& p) override {
        created.push_back(p);
        if (!refused.count(p)) dirs.insert(p);
    }
};

struct Dialogs final : PathDialogs {
    bool answer = false;
    std::vector<std::string> asked, warned;
    bool ask(const std::string& t) override {
        asked.push_back(t);
        return answer;
    }
    void warn(const std::string& t) override { warned.push_back(t); }
};

bool edge(char c) { return c == '\t' || c == ' ' || c == '.'; }

// The level rule, written from its description.
bool valid_level(const std::string& t) {
    if (t.empty() || edge(t.front()) || edge(t.back())) return false;
    for (char c : t)
        if (std::strchr("\"*/:<>?\\|", c) && c != '\0') return false;
    return true;
}

// The syntax of a whole path: a root, then levels between separators.
bool valid_path(const std::string& p, PathStyle style) {
    const char sep = style == PathStyle::Drive ? '\\' : '/';
    std::size_t root;
    if (style == PathStyle::Drive) {
        const bool letter = p.size() >= 3 && ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z'));
        if (!letter || p[1] != ':' || p[2] != '\\') return false;
        root = 3;
    } else {
        if (p.empty() || p[0] != '/') return false;
        root = 1;
    }
    if (p.size() == root) return true;
    std::size_t from = root;
    for (;;) {
        const std::size_t end = p.find(sep, from);
        if (!valid_level(p.substr(from, end == std::string::npos ? std::string::npos : end - from))) return false;
        if (end == std::string::npos) return true;
        from = end + 1;
    }
}

// The prefixes of p that end just before a separator, and p itself.
std::vector<std::string> levels(const std::string& p, PathStyle style) {
    const char sep = style == PathStyle::Drive ? '\\' : '/';
    const std::size_t root = style == PathStyle::Drive ? 3 : 1;
    std::vector<std::string> out;
    for (std::size_t i = root; i < p.size(); ++i)
        if (p[i] == sep) out.push_back(p.substr(0, i));
    out.push_back(p);
    return out;
}

void check_paths(FuzzedDataProvider& in) {
    const PathStyle style = in.ConsumeBool() ? PathStyle::Drive : PathStyle::Absolute;
    const bool answer = in.ConsumeBool();
    const uint32_t existing = in.ConsumeIntegral<uint32_t>();  // which levels exist, by bit
    const uint32_t refused = in.ConsumeIntegral<uint32_t>();   // which cannot be created
    const bool null = in.ConsumeIntegralInRange<int>(0, 63) == 0;
    const std::string p = in.ConsumeRemainingBytesAsString();
    const char* text = null ? nullptr : p.c_str();
    const std::string cut = null ? std::string() : std::string(text);  // what the C string holds

    if (IsValidPathComponent(text) != (!null && valid_level(cut) ? 1 : 0)) fail("level verdict");

    MemoryDirs dirs;
    const std::vector<std::string> lv = null ? std::vector<std::string>{} : levels(cut, style);
    for (std::size_t i = 0; i < lv.size() && i < 32; ++i) {
        if (existing >> i & 1) dirs.dirs.insert(lv[i]);
        if (refused >> i & 1) dirs.refused.insert(lv[i]);
    }
    if (!null && (existing & 1)) dirs.dirs.insert(style == PathStyle::Drive ? cut.substr(0, 3) : "/");
    const bool syntaxOk = !null && valid_path(cut, style);

    MemoryDirs check = dirs;
    const int c = CheckOrCreatePath(text, true, check, style);
    if (c != (syntaxOk ? 0 : 1)) fail("check-only verdict");
    if (!check.created.empty()) fail("a check-only pass created a folder");

    MemoryDirs make = dirs;
    const int m = CheckOrCreatePath(text, false, make, style);
    // Levels are created as the walk reaches them, so a level that cannot
    // be created answers 2 before a bad level further on is seen.
    if (m < 0 || m > 2 || (syntaxOk && m == 1) || (!syntaxOk && m == 0)) fail("creating verdict");
    for (std::size_t i = 0; i < make.created.size(); ++i) {
        const std::string& made = make.created[i];
        if (i > 0 && made.size() <= make.created[i - 1].size()) fail("levels not created shortest first");
        bool own = false;
        for (const auto& l : lv) own = own || l == made;
        if (!own) fail("created a folder that is not a level of the path");
    }
    if (m == 0 && !make.exists(cut)) fail("answered 0 but the path does not exist");

    MemoryDirs v = dirs;
    Dialogs d;
    d.answer = answer;
    const int r = ValidateAndCreatePath(text, v, d, style);
    if (r < -1 || r > 2) fail("validate result");
    if (d.asked.size() > 1) fail("asked more than once");
    if (!d.asked.empty() && (!syntaxOk || dirs.exists(cut))) fail("asked for a path it need not create");
    if (r == -1 && (d.asked.empty() || answer)) fail("declined without a No");
    if ((r == 1 || r == 2) != (d.warned.size() == 1) || d.warned.size() > 1) fail("warnings do not follow the result");
    if (!d.warned.empty() && d.warned[0].find(cut) == std::string::npos) fail("the warning does not name the path");
    if (r == 1 && syntaxOk) fail("a valid path was refused as invalid");
    if (r == 0 && !v.exists(cut)) fail("accepted a path that does not exist");
}

// ChangePath with a chooser that confirms a typed path: the 260-byte
// buffer of the caller, filled with a start path that may lack its NUL.
void check_change_path(FuzzedDataProvider& in) {
    kelmo::platform::FakePlatform fake;
    fake.drivePaths = in.ConsumeBool();
    const bool answer = in.ConsumeBool();
    const std::size_t startLen = in.ConsumeIntegralInRange<std::size_t>(0, kPathChars);
    const std::string start = in.ConsumeBytesAsString(startLen);
    const std::string typed = in.ConsumeRemainingBytesAsString();
    fake.answers = {answer};
    fake.directories.insert(fake.drivePaths ? "C:\\" : "/");

    bool confirmed = false;
    std::string seenStart;
    fake.chooser = [&](kelmo::platform::FolderChooserModel& model, void*) {
        seenStart = model.start_path();
        confirmed = model.confirm(typed);
        return confirmed ? 1 : 2;
    };

    // [guard | 260 bytes | guard], the start path in the middle, not
    // NUL-ended when it fills the buffer.
    constexpr std::size_t kGuard = 32;
    std::vector<char> mem(kGuard + kPathChars + kGuard, '\x5A');
    char* path = mem.data() + kGuard;
    std::memset(path, 'S', kPathChars);
    std::memcpy(path, start.data(), start.size());
    if (start.size() < kPathChars) path[start.size()] = '\0';
    const std::vector<char> before = mem;

    const int r = ChangePath(path, nullptr);
    for (std::size_t i = 0; i < kGuard; ++i)
        if (mem[i] != '\x5A' || mem[kGuard + kPathChars + i] != '\x5A') fail("written outside the path buffer");
    if (seenStart != std::string(before.data() + kGuard, strnlen(before.data() + kGuard, kPathChars)))
        fail("the start path is not the buffer's text");
    if (r != (confirmed ? 1 : 0)) fail("ChangePath result");
    if (r == 0) {
        if (mem != before) fail("the buffer changed without a confirmed folder");
        return;
    }
    const std::size_t len = strnlen(path, kPathChars);
    if (len == kPathChars) fail("the confirmed folder is not NUL-ended");
    const std::string got(path, len);
    if (got != typed.substr(0, std::min(std::strlen(typed.c_str()), kPathChars - 1)))
        fail("the confirmed folder is not the typed path cut to 259 bytes");
    if (!valid_path(got, fake.drivePaths ? PathStyle::Drive : PathStyle::Absolute)) fail("confirmed an invalid path");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool())
        check_change_path(in);
    else
        check_paths(in);
    return 0;
}
