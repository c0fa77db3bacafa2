// Counts what the code under test acquires through the OS boundary and does
// not release. Install it after the fakes of a test, so that it wraps them.
#pragma once

#include <string>

namespace testing_os {

class LeakCheck {
 public:
  LeakCheck();
  ~LeakCheck();
  LeakCheck(const LeakCheck&) = delete;
  LeakCheck& operator=(const LeakCheck&) = delete;

  // Resources acquired while the check was installed and not released.
  int Outstanding() const;
  // Releases of resources that were not acquired while it was installed.
  int Unmatched() const;
  // One line per outstanding or unmatched resource, for failure messages.
  std::string Describe() const;
};

}  // namespace testing_os
