// Swaps one entry of the OS boundary for the scope of a test.
#pragma once

#include "os/api.h"
#include "tests/support/contracts.h"

namespace testing_os {

// While the contract checker stands in os::api, a fake goes behind it, so that
// the calls the code under test makes to the fake are checked too.
template <class F> F& Slot(F& entry) {
  const char* const at = reinterpret_cast<const char*>(&entry);
  const char* const api = reinterpret_cast<const char*>(&os::api);
  if (!Contracts::Installed() || at < api || at >= api + sizeof(os::api)) return entry;
  return *reinterpret_cast<F*>(reinterpret_cast<char*>(&behind) + (at - api));
}

template <class F> class Replace {
 public:
  template <class G> Replace(F& slot, G fn) : _slot(Slot(slot)), _saved(_slot) { _slot = fn; }
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
#define FAKE(name, ...) \
  ::testing_os::Replace<decltype(::os::api.name)> TESTING_OS_CAT(fake_##name##_, __LINE__)(::os::api.name, __VA_ARGS__)
