// The running process's id, for the owner of the simulated TUN adapter.
#pragma once

namespace brenmoor::test_engine {
long current_process_id();
}  // namespace brenmoor::test_engine
