// Message boxes through the real backend: a host's handler receives the
// stored bytes; without one, Linux prints the text as UTF-8 on stderr
// (test_messages_posix.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelmo.h"
#include "messages_test.h"

namespace {

std::vector<std::string> g_seen;
void KELMO_CALL remember(const char* text, void*) { g_seen.emplace_back(text); }

using kelmo::test::equal_abscissas;

TEST(Messages, HostHandlerGetsTheStoredBytes) {
    kelmo_set_message_handler(remember, nullptr);
    equal_abscissas();
    kelmo_set_message_handler(nullptr, nullptr);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0], "xa \xCA\xFD\xD7\xE9\xB5\xC4\xD6\xB5\xB2\xBB\xC4\xDC\xCF\xE0\xCD\xAC");
}

}  // namespace
