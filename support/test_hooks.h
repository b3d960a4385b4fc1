#pragma once
// What tests change in the program: limits they lower and points where they stop it. Only a
// build with KOVA_TEST_HOOKS (the one the tests run) has them; a shipped build has constants,
// and nothing in it reads the environment to stop itself.

#ifdef KOVA_TEST_HOOKS
// A static limit that tests may set.
#define KOVA_TUNABLE static inline
#else
#define KOVA_TUNABLE static constexpr
#endif
