// Once started, the instrument serves the bus without touching the heap.
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "sim_test.h"

// The replacements below pair malloc with free by design; GCC cannot see
// that once it has inlined one of them into the other.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
} // namespace

void* operator new(std::size_t size) {
  if (counting)
    ++allocations;
  if (void* p = std::malloc(size ? size : 1))
    return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (counting)
    ++allocations;
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& t) noexcept { return operator new(size, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using namespace simtest;

namespace {

TEST(Allocation, NoneOnTheBusAfterStart) {
  temp_dir dir;
  auto image = make_image(pattern(70000));
  auto in = start({{"state", dir.path("k.state")},
                   {"mode", "2"},
                   {"fault", "reply XXCMD? 3 4"},
                   {"fault", "long-reply *OPC? 2"},
                   {"fault", "corrupt-download 9"},
                   {"fault", "prog-error 1 5"},
                   {"fault", "erase-error 3 -1"}});
  // Every message is built before counting starts.
  std::vector<std::string> messages = {"XXCMD?\n", "XXENTER 6081\n",
                                       "*OPC?\n",  "XXBOOT 2\n",
                                       "XXCMD?\n", "XXFILL 8388608,2097152,255\n",
                                       "*OPC?\n",  "XXDLDATA 8388608," + std::to_string(image.size()) + "\n"};
  std::vector<std::string> after = {"XXRDMEM? 8388608,4\n",
                                    "XXCRC? 8388608,60\n",
                                    "XXERASE? 0,1\n",
                                    "XXERASE? 3,1\n",
                                    "XXPROG? 8388608,65536,4292870144\n",
                                    "XXPROG? 8388608,16,4292870144\n",
                                    "XXCMD?\n",
                                    "XXBOOT 0\n",
                                    "garbage\n"};
  uint8_t buf[64];
  uint32_t count;
  bool end;
  counting = true;
  for (const auto& m : messages) {
    sim_receive(in.get(), reinterpret_cast<const uint8_t*>(m.data()), m.size(), true);
    while (sim_take_reply(in.get(), buf, sizeof buf, &count, &end) && !end) {
    }
  }
  sim_receive(in.get(), image.data(), 0x10000, false);
  sim_receive(in.get(), image.data() + 0x10000, image.size() - 0x10000, true);
  for (const auto& m : after) {
    sim_receive(in.get(), reinterpret_cast<const uint8_t*>(m.data()), m.size(), true);
    while (sim_take_reply(in.get(), buf, sizeof buf, &count, &end) && !end) {
    }
  }
  sim_clear(in.get());
  counting = false;
  EXPECT_EQ(allocations.load(), 0);
  EXPECT_EQ(sim_mode(in.get()), 0) << "the dialogue went as planned";
}

} // namespace
