// Message boxes on Linux without a host's handler: the text goes to
// standard error as UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "messages_test.h"

namespace {

using kelmo::test::equal_abscissas;

TEST(Messages, LinuxPrintsUtf8OnStderr) {
    testing::internal::CaptureStderr();
    equal_abscissas();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "xa \xE6\x95\xB0\xE7\xBB\x84\xE7\x9A\x84\xE5\x80\xBC\xE4\xB8\x8D\xE8\x83\xBD\xE7\x9B\xB8\xE5\x90\x8C\n");
}

}  // namespace
