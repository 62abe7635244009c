// The fixture every test uses: a platform session whose end must find nothing left over.
#pragma once

#include <gtest/gtest.h>

#include "platform/host/control.h"

class PlatformTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ("", session_.Finish()); }

    host::Session session_;
};
