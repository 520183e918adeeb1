#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <unistd.h>

#include "tools/test-engine/process_id.h"

namespace brenmoor::test_engine {
long current_process_id() { return static_cast<long>(::getpid()); }
}  // namespace brenmoor::test_engine
