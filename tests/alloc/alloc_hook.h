// The allocator hook of the allocation tests: this binary replaces the global
// operator new and delete (and so must never share them with brenmoor_tests).
//
// Recording: while a thread is recording, every block it releases through operator
// delete is copied, at its requested size, into a buffer set aside beforehand, so a
// test can look for secrets in released memory after the fact, including secrets it
// learns only later (a control token the engine was sent). Only the recording thread
// is recorded: the stand-in engines of the tests run on their own threads and keep
// their copies.
//
// Failure injection: a thread may ask for its n-th next allocation to throw
// std::bad_alloc, once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brenmoor::test {

struct ReleasedBlock {
  std::string_view bytes;  // into the recording buffer
};

class ReleasedMemory {
 public:
  // Starts recording on the calling thread; the previous recording is discarded.
  static void start();
  // Stops recording on the calling thread.
  static void stop();
  // The blocks released while recording; false when the buffer overflowed.
  static bool complete();
  static std::vector<ReleasedBlock> blocks();
};

// The calling thread's n-th allocation from now (0: the next one) throws
// std::bad_alloc; -1 cancels. Returns whether the last armed failure was thrown.
void fail_allocation_after(long n);
bool allocation_failure_thrown();

// The first released block that holds `needle`, with its context for the failure
// message; empty when none does.
std::string find_in_released(std::string_view needle);

}  // namespace brenmoor::test
