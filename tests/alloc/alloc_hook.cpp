#include "alloc_hook.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace brenmoor::test {
namespace {

// Each block carries its requested size in front, so that exactly the bytes the
// program had are recorded (the allocator's slack may hold anybody's old bytes).
constexpr std::size_t kHeader = 16;
static_assert(kHeader >= sizeof(std::size_t) && kHeader % alignof(std::max_align_t) == 0);

constexpr std::size_t kBufferBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxBlocks = std::size_t{1} << 20;

struct Record {
  std::size_t offset;
  std::size_t size;
};

// Set aside once, before any recording, with malloc: the hook must never allocate.
char* g_buffer = nullptr;
Record* g_records = nullptr;
std::size_t g_used = 0;
std::size_t g_count = 0;
bool g_overflow = false;

thread_local bool t_recording = false;
thread_local long t_fail_in = -1;
thread_local bool t_failed = false;

void record(const void* p, std::size_t size) {
  if (g_used + size > kBufferBytes || g_count == kMaxBlocks) {
    g_overflow = true;
    return;
  }
  std::memcpy(g_buffer + g_used, p, size);
  g_records[g_count++] = Record{g_used, size};
  g_used += size;
}

void* allocate(std::size_t size) {
  if (t_fail_in >= 0 && t_fail_in-- == 0) {
    t_failed = true;
    throw std::bad_alloc();
  }
  void* base = std::malloc(size + kHeader);
  if (base == nullptr) throw std::bad_alloc();
  std::memcpy(base, &size, sizeof size);
  // Handed out zeroed: a block's bytes at release are then only what the program
  // wrote into it, never an earlier owner's left in a reused chunk (the test's own
  // copies of the secrets, say, released before recording began).
  std::memset(static_cast<char*>(base) + kHeader, 0, size);
  return static_cast<char*>(base) + kHeader;
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  char* base = static_cast<char*>(p) - kHeader;
  if (t_recording) {
    std::size_t size;
    std::memcpy(&size, base, sizeof size);
    record(p, size);
  }
  std::free(base);
}

}  // namespace

void ReleasedMemory::start() {
  if (g_buffer == nullptr) {
    g_buffer = static_cast<char*>(std::malloc(kBufferBytes));
    g_records = static_cast<Record*>(std::malloc(kMaxBlocks * sizeof(Record)));
    if (g_buffer == nullptr || g_records == nullptr) std::abort();
  }
  g_used = 0;
  g_count = 0;
  g_overflow = false;
  t_recording = true;
}

void ReleasedMemory::stop() { t_recording = false; }

bool ReleasedMemory::complete() { return !g_overflow; }

std::vector<ReleasedBlock> ReleasedMemory::blocks() {
  std::vector<ReleasedBlock> out;
  out.reserve(g_count);
  for (std::size_t i = 0; i < g_count; ++i) out.push_back({std::string_view(g_buffer + g_records[i].offset, g_records[i].size)});
  return out;
}

void fail_allocation_after(long n) {
  t_fail_in = n;
  t_failed = false;
}

bool allocation_failure_thrown() { return t_failed; }

std::string find_in_released(std::string_view needle) {
  for (const ReleasedBlock& b : ReleasedMemory::blocks()) {
    const std::size_t at = b.bytes.find(needle);
    if (at == std::string_view::npos) continue;
    std::string shown;
    for (char c : b.bytes.substr(at >= 24 ? at - 24 : 0, needle.size() + 48)) {
      shown.push_back(c >= 0x20 && c < 0x7F ? c : '.');
    }
    return "a released block of " + std::to_string(b.bytes.size()) + " bytes holds it: \"" + shown + "\"";
  }
  return {};
}

}  // namespace brenmoor::test

// The replaceable forms; the aligned ones keep the library's own pair.
void* operator new(std::size_t size) { return brenmoor::test::allocate(size); }
void* operator new[](std::size_t size) { return brenmoor::test::allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return brenmoor::test::allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return brenmoor::test::allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { brenmoor::test::release(p); }
void operator delete[](void* p) noexcept { brenmoor::test::release(p); }
void operator delete(void* p, std::size_t) noexcept { brenmoor::test::release(p); }
void operator delete[](void* p, std::size_t) noexcept { brenmoor::test::release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { brenmoor::test::release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { brenmoor::test::release(p); }
