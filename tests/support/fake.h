// Swaps one entry of the OS boundary for the scope of a test.
#pragma once

#include "os/api.h"

namespace testing_os {

template <class F>
class Replace {
 public:
  template <class G>
  Replace(F& slot, G fn) : _slot(slot), _saved(slot) {
    _slot = fn;
  }
  ~Replace() { _slot = _saved; }
  Replace(const Replace&) = delete;
  Replace& operator=(const Replace&) = delete;

 private:
  F& _slot;
  F _saved;
};

}  // namespace testing_os

#define TESTING_OS_CAT2(a, b) a##b
#define TESTING_OS_CAT(a, b) TESTING_OS_CAT2(a, b)

// FAKE(CreateFileW, [](LPCWSTR, ...) -> HANDLE { ... });
#define FAKE(name, ...)                                      \
  ::testing_os::Replace<decltype(::os::api.name)> TESTING_OS_CAT( \
      fake_##name##_, __LINE__)(::os::api.name, __VA_ARGS__)
