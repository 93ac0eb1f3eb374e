// A VISA client linked against no VISA library: it finds the VISA functions
// among those the process was given, as a program built against a vendor's
// library of another name does when kessim run preloads the stand-in.
//
//   visa_client RESOURCE COMMAND   sends COMMAND and a line feed, prints the reply
//
// Exit status: 0 replied, 1 a VISA call failed, 2 usage, 3 no VISA functions.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// The VISA C interface's types, as every vendor's header declares them.
using status_t = int32_t;
using session_t = uint32_t;
using open_rm_fn = status_t (*)(session_t*);
using open_fn = status_t (*)(session_t, const char*, uint32_t, uint32_t, session_t*);
using write_fn = status_t (*)(session_t, const unsigned char*, uint32_t, uint32_t*);
using read_fn = status_t (*)(session_t, unsigned char*, uint32_t, uint32_t*);
using close_fn = status_t (*)(session_t);

template <typename F> F find(const char* name) { return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name)); }

int failed(const char* call, status_t status) {
  std::fprintf(stderr, "visa_client: %s = 0x%08X\n", call, static_cast<unsigned>(status));
  return 1;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: visa_client RESOURCE COMMAND\n");
    return 2;
  }
  auto open_rm = find<open_rm_fn>("viOpenDefaultRM");
  auto open = find<open_fn>("viOpen");
  auto write = find<write_fn>("viWrite");
  auto read = find<read_fn>("viRead");
  auto close = find<close_fn>("viClose");
  if (!open_rm || !open || !write || !read || !close) {
    std::fprintf(stderr, "visa_client: no VISA functions in this process\n");
    return 3;
  }
  session_t rm = 0;
  session_t vi = 0;
  if (status_t s = open_rm(&rm); s < 0)
    return failed("viOpenDefaultRM", s);
  if (status_t s = open(rm, argv[1], 0, 0, &vi); s < 0)
    return failed("viOpen", s);
  std::string command = std::string(argv[2]) + "\n";
  uint32_t count = 0;
  if (status_t s = write(vi, reinterpret_cast<const unsigned char*>(command.data()), uint32_t(command.size()), &count);
      s < 0)
    return failed("viWrite", s);
  unsigned char reply[256];
  if (status_t s = read(vi, reply, sizeof reply, &count); s < 0)
    return failed("viRead", s);
  std::fwrite(reply, 1, count, stdout);
  close(rm);
  return 0;
}
