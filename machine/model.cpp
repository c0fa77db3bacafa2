#include "machine/model.h"

#include <cstring>
#include <new>
#include <regex>
#include <string>

namespace {

const char kModelPattern[] = "^ZR-?45[ABCD].{4}[KN].$";

}  // namespace

bool IsSupportedModelNumber(const BYTE* pbModel, size_t cbModel) {
  std::string subject;
  if (pbModel != nullptr) {
    const void* pZero = memchr(pbModel, 0, cbModel);
    const size_t cch = pZero ? static_cast<size_t>(static_cast<const BYTE*>(pZero) - pbModel) : cbModel;
    subject.assign(reinterpret_cast<const char*>(pbModel), cch);
  }
  try {
    // Compiled for this one test and released with it.
    const std::regex pattern(kModelPattern);
    return std::regex_match(subject, pattern);
  } catch (const std::regex_error& e) {
    // Running out of memory is no verdict on the model: it leaves as std::bad_alloc.
    if (e.code() == std::regex_constants::error_space) throw std::bad_alloc();
    return false;  // an engine that cannot compile or run the pattern accepts nothing
  }
}
