#pragma once
// CHECK(cond): a broken invariant ends the run with the condition's text and line,
// where libFuzzer keeps the input. Each target defines fuzz_check_failed to add
// what it knows about the input at hand.

[[noreturn]] void fuzz_check_failed(const char* what, int line);

#define CHECK(cond)                             \
    do {                                        \
        if (!(cond)) {                          \
            fuzz_check_failed(#cond, __LINE__); \
        }                                       \
    } while (false)
