// The calling convention of a routine type, read from the compiler's own spelling of it:
// 0 cdecl, 1 stdcall, 2 fastcall. Both toolchains compile it, so the layout probe and the
// host's table of exports compare the same numbers.
#pragma once

template <class T>
constexpr int CallingConventionOf() {
    const char* s = __PRETTY_FUNCTION__;
    auto at = [s](int i, const char* word) {
        for (int k = 0; word[k]; ++k)
            if (s[i + k] != word[k]) return false;
        return true;
    };
    for (int i = 0; s[i]; ++i) {
        if (at(i, "stdcall")) return 1;
        if (at(i, "fastcall")) return 2;
    }
    return 0;
}
