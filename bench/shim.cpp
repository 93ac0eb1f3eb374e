// Preloaded (LD_PRELOAD) into the benchmark's kesload, and the VISA library it
// binds (KESLOAD_VISA), in front of the stand-in: times the seven VISA calls, counts heap allocations by the object that asked for them, records
// where every download write came from, and measures the stand-in's memories
// when the instrument session closes. At process end it writes "key value"
// lines to the file named by KESBENCH_REPORT.
//
// Everything here runs inside malloc or VISA calls of the measured program, so
// it allocates nothing and reads /proc with plain system calls.
#include "image.h"

#include <visa.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

// glibc's own allocator entry points, so that the wrappers below need no
// dlsym (which itself allocates) to reach the real allocator.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

// --- Loaded objects, to tell who called the allocator ------------------------

struct object_range {
  uintptr_t low;
  uintptr_t high;
  char name[40];
};

constexpr int max_objects = 24;
object_range objects[max_objects];
int object_count = 0;
int visa_object = -1;                  // libvisa.so, the stand-in
uint64_t allocations[max_objects + 1]; // the last: callers outside any known object

int note_object(dl_phdr_info* info, size_t /*size*/, void* /*data*/) {
  if (object_count == max_objects) {
    return 1;
  }
  uintptr_t low = UINTPTR_MAX;
  uintptr_t high = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type == PT_LOAD) {
      low = std::min<uintptr_t>(low, info->dlpi_addr + segment.p_vaddr);
      high = std::max<uintptr_t>(high, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
    }
  }
  if (low >= high) {
    return 0;
  }
  object_range& object = objects[object_count];
  object.low = low;
  object.high = high;
  // The first object is the program itself; the others by their file name.
  const char* name = object_count == 0 ? "program" : info->dlpi_name;
  if (const char* slash = std::strrchr(name, '/')) {
    name = slash + 1;
  }
  std::snprintf(object.name, sizeof object.name, "%s", name);
  if (char* suffix = std::strstr(object.name, ".so")) {
    *suffix = '\0';
  }
  if (std::strcmp(object.name, "libvisa") == 0) {
    visa_object = object_count;
  }
  ++object_count;
  return 0;
}

int object_of(const void* address) {
  const auto a = reinterpret_cast<uintptr_t>(address);
  for (int i = 0; i < object_count; ++i) {
    if (a >= objects[i].low && a < objects[i].high) {
      return i;
    }
  }
  return max_objects;
}

// --- Allocation counting ------------------------------------------------------

// The stand-in's large blocks: the simulated instrument's memories.
struct block {
  const void* pointer;
  size_t size;
};
constexpr size_t large_block = size_t{1} << 20;
block visa_blocks[8];
int visa_block_count = 0;

void note_allocation(const void* caller, const void* pointer, size_t size) {
  const int who = object_of(caller);
  ++allocations[who];
  if (who == visa_object && pointer != nullptr && size >= large_block && visa_block_count < 8) {
    visa_blocks[visa_block_count++] = {pointer, size};
  }
}

// --- Time inside VISA ---------------------------------------------------------

int visa_depth = 0; // the stand-in may call its own entry points
uint64_t visa_calls = 0;
double visa_wall = 0;
double visa_cpu = 0;
uint64_t bus_bytes = 0;

double seconds_of(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

class inside_visa {
public:
  inside_visa() {
    if (visa_depth++ == 0) {
      wall_ = seconds_of(CLOCK_MONOTONIC);
      cpu_ = seconds_of(CLOCK_THREAD_CPUTIME_ID);
    }
  }
  ~inside_visa() {
    if (--visa_depth == 0) {
      visa_cpu += seconds_of(CLOCK_THREAD_CPUTIME_ID) - cpu_;
      visa_wall += seconds_of(CLOCK_MONOTONIC) - wall_;
      ++visa_calls;
    }
  }
  inside_visa(const inside_visa&) = delete;
  inside_visa& operator=(const inside_visa&) = delete;

private:
  double wall_ = 0;
  double cpu_ = 0;
};

// The real entry points, the stand-in's.
void* standin = nullptr;
decltype(&viOpenDefaultRM) real_open_default_rm = nullptr;
decltype(&viOpen) real_open = nullptr;
decltype(&viClose) real_close = nullptr;
decltype(&viSetAttribute) real_set_attribute = nullptr;
decltype(&viWrite) real_write = nullptr;
decltype(&viRead) real_read = nullptr;
decltype(&viClear) real_clear = nullptr;
decltype(&viFindRsrc) real_find_rsrc = nullptr;
decltype(&viFindNext) real_find_next = nullptr;

template <typename F> void find_next(F& function, const char* name) {
  function = standin != nullptr ? reinterpret_cast<F>(dlsym(standin, name)) : nullptr;
  if (function == nullptr) {
    static constexpr char message[] = "kesbench shim: a VISA function is missing\n";
    [[maybe_unused]] const ssize_t ignored = write(2, message, sizeof message - 1);
    std::_Exit(99);
  }
}

// --- Download writes ----------------------------------------------------------

constexpr char download_command[] = "XXDLDATA ";
uint64_t download_left = 0;
constexpr int max_data_writes = 64;
block data_writes[max_data_writes];
int data_write_count = 0;

// Called for every write: after "XXDLDATA a,len" the next len bytes are data.
void note_write(const uint8_t* data, uint32_t count) {
  if (download_left > 0) {
    if (data_write_count < max_data_writes) {
      data_writes[data_write_count] = {data, count};
    }
    ++data_write_count;
    download_left -= std::min<uint64_t>(download_left, count);
    return;
  }
  const size_t prefix = sizeof download_command - 1;
  if (data == nullptr || count <= prefix || std::memcmp(data, download_command, prefix) != 0) {
    return;
  }
  uint32_t i = prefix;
  while (i < count && data[i] != ',') {
    ++i;
  }
  uint64_t length = 0;
  for (++i; i < count && data[i] >= '0' && data[i] <= '9'; ++i) {
    length = length * 10 + static_cast<uint64_t>(data[i] - '0');
  }
  download_left = length;
}

// --- Memory, at the end of the run ----------------------------------------------

// Calls f with each line of a /proc file, read without allocating.
template <typename F> void each_line(const char* path, F&& f) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  char buffer[8192];
  size_t have = 0;
  for (;;) {
    const ssize_t n = read(fd, buffer + have, sizeof buffer - 1 - have);
    if (n <= 0) {
      break;
    }
    have += static_cast<size_t>(n);
    size_t start = 0;
    for (size_t i = 0; i < have; ++i) {
      if (buffer[i] == '\n') {
        buffer[i] = '\0';
        f(buffer + start);
        start = i + 1;
      }
    }
    std::memmove(buffer, buffer + start, have - start);
    have -= start;
    if (have == sizeof buffer - 1) {
      have = 0; // a line longer than the buffer: not one of those looked for
    }
  }
  close(fd);
}

// Bytes of [pointer, pointer + size) in resident pages, from the page map.
uint64_t resident_bytes(const void* pointer, size_t size) {
  const int fd = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
  if (fd < 0 || size == 0) {
    return 0;
  }
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t first = reinterpret_cast<uintptr_t>(pointer) / page;
  const uintptr_t last = (reinterpret_cast<uintptr_t>(pointer) + size - 1) / page;
  uint64_t present = 0;
  uint64_t entries[512];
  for (uintptr_t p = first; p <= last;) {
    const uintptr_t n = std::min<uintptr_t>(last + 1 - p, 512);
    const ssize_t got = pread(fd, entries, n * sizeof entries[0], static_cast<off_t>(p * sizeof entries[0]));
    if (got <= 0) {
      break;
    }
    const auto read_entries = static_cast<uintptr_t>(got) / sizeof entries[0];
    for (uintptr_t i = 0; i < read_entries; ++i) {
      present += entries[i] >> 63;
    }
    p += read_entries;
  }
  close(fd);
  return present * page;
}

struct memory_snapshot {
  bool taken = false;
  uint64_t visa_blocks_kib = 0;  // resident pages of the simulated memories
  uint64_t visa_blocks_size = 0; // their allocated size
  uint64_t visa_file_kib = 0;    // libvisa.so's mapped pages
  uint64_t shim_file_kib = 0;    // this shim's mapped pages
  uint64_t rss_kib = 0;          // the whole process, now
  uint64_t hwm_kib = 0;          // the whole process, at its peak so far
  uint64_t image_buffer_kib = 0; // resident pages of kesload's image buffer
};
memory_snapshot memory;

const uint8_t* image_buffer() {
  // Exported by the benchmark's kesload (linked with -rdynamic).
  using buffer_function = const uint8_t* (*)();
  const auto function = reinterpret_cast<buffer_function>(dlsym(RTLD_DEFAULT, "_Z13fw_get_bufferv"));
  return function != nullptr ? function() : nullptr;
}

uint64_t kib_field(const char* line, const char* name) {
  const size_t length = std::strlen(name);
  return std::strncmp(line, name, length) == 0 ? std::strtoull(line + length, nullptr, 10) : 0;
}

void take_memory_snapshot() {
  for (int i = 0; i < visa_block_count; ++i) {
    memory.visa_blocks_kib += resident_bytes(visa_blocks[i].pointer, visa_blocks[i].size) / 1024;
    memory.visa_blocks_size += visa_blocks[i].size;
  }
  if (const uint8_t* buffer = image_buffer()) {
    memory.image_buffer_kib = resident_bytes(buffer, fw_buffer_size) / 1024;
  }
  enum class mapping { other, visa, shim } current = mapping::other;
  each_line("/proc/self/smaps", [&current](const char* line) {
    const char c = line[0];
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) { // a mapping's first line
      current = std::strstr(line, "/libvisa.so") != nullptr            ? mapping::visa
                : std::strstr(line, "/libkesbench_shim.so") != nullptr ? mapping::shim
                                                                       : mapping::other;
      return;
    }
    const uint64_t rss = kib_field(line, "Rss:");
    memory.rss_kib += rss;
    if (current == mapping::visa) {
      memory.visa_file_kib += rss;
    } else if (current == mapping::shim) {
      memory.shim_file_kib += rss;
    }
  });
  each_line("/proc/self/status", [](const char* line) {
    if (const uint64_t hwm = kib_field(line, "VmHWM:")) {
      memory.hwm_kib = hwm;
    }
  });
  memory.taken = true;
}

ViSession instrument_session = VI_NULL;

// --- The report -----------------------------------------------------------------

char report_text[8192];
size_t report_length = 0;

[[gnu::format(printf, 1, 2)]] void report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(report_text + report_length, sizeof report_text - report_length, format, args);
  va_end(args);
  if (n > 0) {
    report_length = std::min(report_length + static_cast<size_t>(n), sizeof report_text - 1);
  }
}

template <typename T> T program_value(const char* name) {
  const auto* value = static_cast<const T*>(dlsym(RTLD_DEFAULT, name));
  return value != nullptr ? *value : T{};
}

void report_data_writes() {
  const uint8_t* buffer = image_buffer();
  const auto base = reinterpret_cast<uintptr_t>(buffer);
  const auto first = data_write_count > 0 ? reinterpret_cast<uintptr_t>(data_writes[0].pointer) : 0;
  bool stepped = data_write_count > 0 && data_write_count <= max_data_writes;
  bool in_buffer = stepped && buffer != nullptr;
  uint64_t bytes = 0;
  for (int k = 0; k < std::min(data_write_count, max_data_writes); ++k) {
    const auto at = reinterpret_cast<uintptr_t>(data_writes[k].pointer);
    stepped = stepped && at == first + uint64_t{65536} * static_cast<uint64_t>(k);
    in_buffer = in_buffer && at >= base && at + data_writes[k].size <= base + fw_buffer_size;
    bytes += data_writes[k].size;
  }
  report("data_writes %d\n", data_write_count);
  report("data_bytes %llu\n", static_cast<unsigned long long>(bytes));
  report("data_stepped %d\n", stepped ? 1 : 0);
  report("data_in_buffer %d\n", in_buffer ? 1 : 0);
  report("data_first_is_buffer %d\n", buffer != nullptr && first == base ? 1 : 0);
  report("data_first_in_program %d\n", data_write_count > 0 && object_of(data_writes[0].pointer) == 0 ? 1 : 0);
}

} // namespace

// --- Start and end ----------------------------------------------------------------

[[gnu::constructor]] static void shim_start() {
  standin = dlopen(KESBENCH_STANDIN, RTLD_NOW | RTLD_LOCAL);
  dl_iterate_phdr(note_object, nullptr);
  find_next(real_open_default_rm, "viOpenDefaultRM");
  find_next(real_open, "viOpen");
  find_next(real_close, "viClose");
  find_next(real_set_attribute, "viSetAttribute");
  find_next(real_write, "viWrite");
  find_next(real_read, "viRead");
  find_next(real_clear, "viClear");
  find_next(real_find_rsrc, "viFindRsrc");
  find_next(real_find_next, "viFindNext");
}

[[gnu::destructor]] static void shim_end() {
  const char* path = std::getenv("KESBENCH_REPORT");
  if (path == nullptr) {
    return;
  }
  uint64_t counts[max_objects + 1];
  std::memcpy(counts, allocations, sizeof counts);
  report("visa_calls %llu\n", static_cast<unsigned long long>(visa_calls));
  report("visa_wall_s %.9f\n", visa_wall);
  report("visa_cpu_s %.9f\n", visa_cpu);
  report("bus_bytes %llu\n", static_cast<unsigned long long>(bus_bytes));
  report("pause_count %u\n", program_value<uint32_t>("kesbench_pause_count"));
  report("pause_ms %llu\n", static_cast<unsigned long long>(program_value<uint64_t>("kesbench_pause_ms")));
  report_data_writes();
  for (int i = 0; i < object_count; ++i) {
    if (counts[i] != 0) {
      report("alloc_%s %llu\n", objects[i].name, static_cast<unsigned long long>(counts[i]));
    }
  }
  if (counts[max_objects] != 0) {
    report("alloc_unknown %llu\n", static_cast<unsigned long long>(counts[max_objects]));
  }
  report("memory_taken %d\n", memory.taken ? 1 : 0);
  report("sim_memories_kib %llu\n", static_cast<unsigned long long>(memory.visa_blocks_kib));
  report("sim_memories_size %llu\n", static_cast<unsigned long long>(memory.visa_blocks_size));
  report("sim_memories_blocks %d\n", visa_block_count);
  report("visa_file_kib %llu\n", static_cast<unsigned long long>(memory.visa_file_kib));
  report("shim_file_kib %llu\n", static_cast<unsigned long long>(memory.shim_file_kib));
  report("rss_kib %llu\n", static_cast<unsigned long long>(memory.rss_kib));
  report("hwm_kib %llu\n", static_cast<unsigned long long>(memory.hwm_kib));
  report("image_buffer_kib %llu\n", static_cast<unsigned long long>(memory.image_buffer_kib));
  // Time on a CPU and time spent waiting for one, so far: other load on the
  // machine shows in the second.
  each_line("/proc/self/schedstat", [](const char* line) {
    char* rest = nullptr;
    const unsigned long long on_cpu = std::strtoull(line, &rest, 10);
    report("sched_cpu_s %.9f\nsched_wait_s %.9f\n", static_cast<double>(on_cpu) * 1e-9,
           static_cast<double>(std::strtoull(rest, nullptr, 10)) * 1e-9);
  });
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    [[maybe_unused]] const ssize_t ignored = write(fd, report_text, report_length);
    close(fd);
  }
}

// --- The allocator ----------------------------------------------------------------

extern "C" void* malloc(size_t size) noexcept {
  void* p = __libc_malloc(size);
  note_allocation(__builtin_return_address(0), p, size);
  return p;
}

extern "C" void* calloc(size_t count, size_t size) noexcept {
  void* p = __libc_calloc(count, size);
  note_allocation(__builtin_return_address(0), p, count * size);
  return p;
}

extern "C" void* realloc(void* pointer, size_t size) noexcept {
  void* p = __libc_realloc(pointer, size);
  note_allocation(__builtin_return_address(0), p, size);
  return p;
}

extern "C" void* aligned_alloc(size_t alignment, size_t size) noexcept {
  void* p = __libc_memalign(alignment, size);
  note_allocation(__builtin_return_address(0), p, size);
  return p;
}

extern "C" int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  void* p = __libc_memalign(alignment, size);
  note_allocation(__builtin_return_address(0), p, size);
  if (p == nullptr) {
    return ENOMEM;
  }
  *out = p;
  return 0;
}

namespace {

[[gnu::always_inline]] inline void* new_block(size_t size, size_t alignment, const void* caller) {
  void* p = alignment != 0 ? __libc_memalign(alignment, size == 0 ? 1 : size) : __libc_malloc(size == 0 ? 1 : size);
  note_allocation(caller, p, size);
  return p;
}

} // namespace

void* operator new(size_t size) {
  void* p = new_block(size, 0, __builtin_return_address(0));
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  return p;
}

void* operator new[](size_t size) {
  void* p = new_block(size, 0, __builtin_return_address(0));
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  return p;
}

void* operator new(size_t size, std::align_val_t alignment) {
  void* p = new_block(size, static_cast<size_t>(alignment), __builtin_return_address(0));
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  return p;
}

void* operator new[](size_t size, std::align_val_t alignment) {
  void* p = new_block(size, static_cast<size_t>(alignment), __builtin_return_address(0));
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  return p;
}

void* operator new(size_t size, const std::nothrow_t& /*tag*/) noexcept {
  return new_block(size, 0, __builtin_return_address(0));
}

void* operator new[](size_t size, const std::nothrow_t& /*tag*/) noexcept {
  return new_block(size, 0, __builtin_return_address(0));
}

// --- The seven VISA calls ------------------------------------------------------------

extern "C" ViStatus viOpenDefaultRM(ViPSession vi) {
  const inside_visa timing;
  return real_open_default_rm(vi);
}

extern "C" ViStatus viOpen(ViSession sesn, ViConstRsrc name, ViAccessMode mode, ViUInt32 timeout, ViPSession vi) {
  ViStatus status = VI_SUCCESS;
  {
    const inside_visa timing;
    status = real_open(sesn, name, mode, timeout, vi);
  }
  if (status >= VI_SUCCESS && vi != nullptr) {
    instrument_session = *vi;
  }
  return status;
}

extern "C" ViStatus viClose(ViObject vi) {
  ViStatus status = VI_SUCCESS;
  {
    const inside_visa timing;
    status = real_close(vi);
  }
  // The program's last call to the instrument: the stand-in still holds
  // everything it made, so this is where its memories are measured.
  if (vi == instrument_session && vi != VI_NULL && !memory.taken) {
    take_memory_snapshot();
  }
  return status;
}

extern "C" ViStatus viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value) {
  const inside_visa timing;
  return real_set_attribute(vi, attr, value);
}

extern "C" ViStatus viWrite(ViSession vi, ViConstBuf buf, ViUInt32 count, ViPUInt32 ret_count) {
  note_write(buf, count);
  ViUInt32 sent = 0;
  ViStatus status = VI_SUCCESS;
  {
    const inside_visa timing;
    status = real_write(vi, buf, count, &sent);
  }
  bus_bytes += sent;
  if (ret_count != nullptr) {
    *ret_count = sent;
  }
  return status;
}

extern "C" ViStatus viRead(ViSession vi, ViPBuf buf, ViUInt32 count, ViPUInt32 ret_count) {
  ViUInt32 got = 0;
  ViStatus status = VI_SUCCESS;
  {
    const inside_visa timing;
    status = real_read(vi, buf, count, &got);
  }
  bus_bytes += got;
  if (ret_count != nullptr) {
    *ret_count = got;
  }
  return status;
}

extern "C" ViStatus viClear(ViSession vi) {
  const inside_visa timing;
  return real_clear(vi);
}

// The session layer binds these too, though kesload never searches.
extern "C" ViStatus viFindRsrc(ViSession sesn, ViConstString expr, ViPFindList vi, ViPUInt32 count, ViChar desc[]) {
  return real_find_rsrc(sesn, expr, vi, count, desc);
}

extern "C" ViStatus viFindNext(ViFindList vi, ViChar desc[]) { return real_find_next(vi, desc); }
