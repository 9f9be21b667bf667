// What the message tests share: a call that shows a message.
#pragma once

#include <gtest/gtest.h>

#include "kelmo.h"

namespace kelmo::test {

// splint over two equal abscissas, which it refuses with a message box
// (GBK text: "xa 数组的值不能相同").
inline void equal_abscissas() {
    double xa[2] = {1.0, 1.0}, ya[2] = {0.0, 1.0}, y2[2] = {0.0, 0.0};
    EXPECT_EQ(splint(xa, ya, y2, 2, 1.0), 0.0);
}

}  // namespace kelmo::test
