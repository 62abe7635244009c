#include <gtest/gtest.h>

// LeakSanitizer cannot stop the world under qemu's user-mode emulation; the platform's own
// leak checks cover what the driver allocates. The native image loader reports faults with
// its own handler, which AddressSanitizer lets it install only when asked.
extern "C" const char* __asan_default_options() { return "detect_leaks=0:allow_user_segv_handler=1"; }

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
