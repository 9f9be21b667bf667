// Message boxes through the real backend: a host's handler receives the
// stored bytes; without one, Linux prints the text as UTF-8 on stderr.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelmo.h"

namespace {

std::vector<std::string> g_seen;
void KELMO_CALL remember(const char* text, void*) { g_seen.emplace_back(text); }

void equal_abscissas() {
    double xa[2] = {1.0, 1.0}, ya[2] = {0.0, 1.0}, y2[2] = {0.0, 0.0};
    EXPECT_EQ(splint(xa, ya, y2, 2, 1.0), 0.0);
}

TEST(Messages, HostHandlerGetsTheStoredBytes) {
    kelmo_set_message_handler(remember, nullptr);
    equal_abscissas();
    kelmo_set_message_handler(nullptr, nullptr);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0], "xa \xCA\xFD\xD7\xE9\xB5\xC4\xD6\xB5\xB2\xBB\xC4\xDC\xCF\xE0\xCD\xAC");
}

#ifndef _WIN32
TEST(Messages, LinuxPrintsUtf8OnStderr) {
    testing::internal::CaptureStderr();
    equal_abscissas();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "xa \xE6\x95\xB0\xE7\xBB\x84\xE7\x9A\x84\xE5\x80\xBC\xE4\xB8\x8D\xE8\x83\xBD\xE7\x9B\xB8\xE5\x90\x8C\n");
}
#endif

}  // namespace
