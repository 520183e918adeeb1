#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>

#include "tools/test-engine/process_id.h"

namespace brenmoor::test_engine {
long current_process_id() { return static_cast<long>(::GetCurrentProcessId()); }
}  // namespace brenmoor::test_engine
