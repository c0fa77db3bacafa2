#include "os/api.h"

namespace os {

Api api = {
#define OS_REAL_ENTRY(name) &::name,
    OS_FUNCTIONS(OS_REAL_ENTRY)
#undef OS_REAL_ENTRY
};

}  // namespace os
