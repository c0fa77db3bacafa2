// What the code under test acquired through the OS boundary and did not
// release, as the contract checker (tests/support/contracts.h) counts it.
#pragma once

#include <string>

namespace testing_os {

class LeakCheck {
 public:
  LeakCheck();

  // One line per resource acquired while the check was installed and not released, and the count of
  // releases of resources that were not held; empty when there are none.
  std::string Describe() const;

 private:
  long _start, _unmatched;
};

}  // namespace testing_os
