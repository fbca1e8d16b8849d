// A point where a test can hold a run: before it takes up its next item.
// Only the test probe is built with TW_TEST_HOOKS, and defines the hook;
// in the shipped module the call compiles to nothing.
#pragma once

namespace tw::run {

class Report;

#ifdef TW_TEST_HOOKS
void before_item(const Report& report, bool planning);
#else
inline void before_item(const Report&, bool) {}
#endif

}  // namespace tw::run
