// The test program's operator new, counting while asked to. In a file of its
// own so that no caller sees it inline.
#include "alloc_count.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

} // namespace

void start_counting_allocations() {
  allocations = 0;
  counting = true;
}

long stop_counting_allocations() {
  counting = false;
  return allocations.load();
}

// The plain and the nothrow forms, each with its deletes, so that what one
// allocates the other never frees; the array forms call these.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (counting.load()) {
    allocations.fetch_add(1);
  }
  return std::malloc(size == 0 ? 1 : size);
}

void* operator new(std::size_t size) {
  if (void* p = operator new(size, std::nothrow)) {
    return p;
  }
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
