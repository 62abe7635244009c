// The style of death tests. The child of a death test runs its own session, so the parent
// has no platform threads and either style is safe. Under qemu's user-mode emulation (the
// 32-bit build on a kernel without 32-bit support) gtest cannot re-execute the program, so
// the child is forked.
#pragma once

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <string>

inline void ChooseDeathTestStyle() {
    utsname system{};
    uname(&system);
    bool emulated = sizeof(void*) == 4 && std::string(system.machine) != "x86_64";
    GTEST_FLAG_SET(death_test_style, emulated ? "fast" : "threadsafe");
}
