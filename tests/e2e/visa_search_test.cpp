// Which VISA library the programs bind, for each layout the common VISAs
// install. The folders the search names itself are staged under a folder of
// the test's own (KESLOAD_VISA_ROOT, looked at before the real folder) so
// that the machine's own folders are never written to; the libraries the
// search leaves to the loader by name are found on LD_LIBRARY_PATH, as the
// loader finds them on a bench PC.
#include "bench.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

// What a case stages: a working VISA (the stand-in), one that lacks
// viClear, or things by a library's name that are no library for this
// machine.
enum class thing { complete, lacking, fifo, link_loop, aarch64, text };

struct staged {
  const char* path; // under the root
  thing what = thing::complete;
};

void stage(const fs::path& path, thing what) {
  fs::create_directories(path.parent_path());
  switch (what) {
  case thing::complete:
  case thing::lacking:
    fs::copy_file(what == thing::complete ? STANDIN_VISA_LIBRARY : LACKING_VISA_LIBRARY, path);
    break;
  case thing::fifo:
    ASSERT_TRUE(make_fifo(path.string()));
    break;
  case thing::link_loop:
    fs::create_symlink(path.filename().string() + ".loop", path);
    fs::create_symlink(path.filename(), path.string() + ".loop");
    break;
  case thing::aarch64: {
    // An ELF header, 64-bit little-endian, machine 183.
    std::string header("\x7f" "ELF\x02\x01\x01", 7);
    header.resize(64, '\0');
    header[18] = static_cast<char>(183);
    write_file(path.string(), header);
    break;
  }
  case thing::text:
    write_file(path.string(), "not a library\n");
    break;
  }
}

struct search_case {
  const char* name;
  std::vector<staged> libraries;
  const char* named = nullptr; // KESLOAD_VISA, "{root}" replaced
  const char* bound = nullptr; // the library kescheck reports, under the root; null: none can be used
  std::string err{};           // what standard error holds then, "{root}" replaced
};

void PrintTo(const search_case& c, std::ostream* os) { *os << c.name; }

std::string with_root(std::string text, const std::string& root) {
  for (size_t at = text.find("{root}"); at != std::string::npos; at = text.find("{root}")) {
    text.replace(at, 6, root);
  }
  return text;
}

class Search : public testing::TestWithParam<search_case> {};

TEST_P(Search, BindsTheFirstCompleteLibrary) {
  const search_case& c = GetParam();
  const bench b = make_bench(64);
  b.configure("flash_image = " + b.image + "\n");
  const std::string root = b.dir + "/root";
  for (const staged& library : c.libraries) {
    stage(root + "/" + library.path, library.what);
  }
  std::vector<std::string> env{"KESVISA_CONFIG=" + b.config, "KESLOAD_VISA_ROOT=" + root,
                               "LD_LIBRARY_PATH=" + root + "/ld"};
  env.emplace_back(c.named != nullptr ? "KESLOAD_VISA=" + with_root(c.named, root) : "KESLOAD_VISA");

  const program_run check = run_program(KESCHECK_BIN, {}, env, b.dir);
  if (c.bound != nullptr) {
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_NE(check.out.find("\nvisa: " + root + "/" + c.bound + "\n"), std::string::npos) << check.out;
    EXPECT_EQ(check.err, "");
    return;
  }
  EXPECT_EQ(check.status, 1);
  EXPECT_EQ(check.out, "");
  EXPECT_EQ(check.err, with_root(c.err, root));
  // kesload too: the image is checked first, then nothing is sent.
  const program_run update = run_program(KESLOAD_FAST_BIN, {"fw.bin"}, env, b.dir);
  EXPECT_EQ(update.status, 1);
  EXPECT_EQ(update.out, "");
  EXPECT_EQ(update.err, with_root(c.err, root));
  EXPECT_FALSE(fs::exists(b.trace));
  std::vector<uint8_t> refused = b.image_bytes;
  refused[10] ^= 1; // a header word: its CRC fails
  write_image(b.dir, refused, "bad.bin");
  const program_run bad = run_program(KESLOAD_FAST_BIN, {"bad.bin"}, env, b.dir);
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "Data file bad.bin is corrupted\n");
}

// Every place the search looks, in its order, as the tried list shows it:
// the folders it names under the test's root and in their real place, the
// bare names as the loader's search found them.
const std::string tried_all = "  libvisa.so: missing\n"
                              "  {root}/usr/local/vxipnp/linux/lib64/libvisa.so: missing\n"
                              "  /usr/local/vxipnp/linux/lib64/libvisa.so: missing\n"
                              "  {root}/opt/keysight/iolibs/libktvisa32.so: missing\n"
                              "  /opt/keysight/iolibs/libktvisa32.so: missing\n";
const std::string tried_rest = "  libktvisa32.so.0: missing\n"
                               "  libiovisa.so: missing\n"
                               "  libivivisa.so.7: missing\n"
                               "  libivivisa.so: missing\n"
                               "  librsvisa.so: missing\n";
// A library in a folder of 1,100 characters under the root.
const std::string long_folder = [] {
  std::string folder;
  for (int i = 0; i < 11; ++i) {
    folder += std::string(99, 'd') + "/";
  }
  return folder;
}();
const std::string long_path = "deep/" + long_folder + "visa.so";
const std::string long_path_named = "{root}/" + long_path;

const std::string advice =
    "Install the machine's VISA, or name its library (a path or a file name) in KESLOAD_VISA.\n";

INSTANTIATE_TEST_SUITE_P(
    Layouts, Search,
    testing::Values(
        search_case{"ni_visa", {{"ld/libvisa.so"}}, nullptr, "ld/libvisa.so"},
        search_case{"ni_visa_older", {{"usr/local/vxipnp/linux/lib64/libvisa.so"}}, nullptr,
                    "usr/local/vxipnp/linux/lib64/libvisa.so"},
        search_case{"keysight", {{"opt/keysight/iolibs/libktvisa32.so"}, {"opt/keysight/iolibs/libvisa.so"}},
                    nullptr, "opt/keysight/iolibs/libktvisa32.so"},
        search_case{"keysight_by_name", {{"ld/libktvisa32.so.0"}}, nullptr, "ld/libktvisa32.so.0"},
        search_case{"keysight_iovisa", {{"ld/libiovisa.so"}}, nullptr, "ld/libiovisa.so"},
        search_case{"rohde_schwarz", {{"ld/librsvisa.so"}}, nullptr, "ld/librsvisa.so"},
        search_case{"ivi_shared_components", {{"ld/libivivisa.so.7"}}, nullptr, "ld/libivivisa.so.7"},
        search_case{"complete_beside_lacking", {{"ld/libvisa.so", thing::lacking}, {"opt/keysight/iolibs/libktvisa32.so"}},
                    nullptr, "opt/keysight/iolibs/libktvisa32.so"},
        search_case{"gpib_before_no_gpib", {{"ld/librsvisa.so"}, {"opt/keysight/iolibs/libktvisa32.so"}}, nullptr,
                    "opt/keysight/iolibs/libktvisa32.so"},
        // A bare name is told with the file the loader took.
        search_case{"open_source_lacks_clear", {{"ld/libvisa.so.0", thing::lacking}}, nullptr, nullptr,
                    "No VISA library found. Tried:\n" + tried_all + tried_rest +
                        "  libvisa.so.0 ({root}/ld/libvisa.so.0): lacks viClear\n" + advice},
        search_case{"named_works", {{"ld/libvisa.so"}, {"bench/visa.so"}}, "{root}/bench/visa.so", "bench/visa.so"},
        // A library the user names is never replaced by another.
        search_case{"named_missing", {{"ld/libvisa.so"}}, "{root}/bench/visa.so", nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, {root}/bench/visa.so: missing\n"},
        search_case{"named_lacking", {{"ld/libvisa.so"}, {"bench/visa.so", thing::lacking}}, "{root}/bench/visa.so", nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, {root}/bench/visa.so: lacks viClear\n"},
        search_case{"named_by_name_missing", {{"ld/libvisa.so"}}, "libkesnothing.so", nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, libkesnothing.so: missing\n"},
        // What exists but is no library for this machine is told as what it is; a
        // FIFO or a folder never reaches the loader, which would wait on it for ever.
        search_case{"named_fifo", {{"bench/visa.so", thing::fifo}}, "{root}/bench/visa.so", nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, {root}/bench/visa.so: not a regular file\n"},
        search_case{"named_folder", {{"bench/visa.so/x"}}, "{root}/bench/visa.so", nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, {root}/bench/visa.so: not a regular file\n"},
        search_case{"fifo_by_name", {{"ld/libvisa.so", thing::fifo}, {"opt/keysight/iolibs/libktvisa32.so"}}, nullptr,
                    "opt/keysight/iolibs/libktvisa32.so"},
        search_case{"named_link_loop", {{"bench/visa.so", thing::link_loop}}, "{root}/bench/visa.so", nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, {root}/bench/visa.so: Too many levels of symbolic "
                    "links\n"},
        search_case{"named_other_architecture", {{"bench/visa.so", thing::aarch64}}, "{root}/bench/visa.so", nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, {root}/bench/visa.so: built for another architecture "
                    "(aarch64)\n"},
        search_case{"named_not_a_library", {{"bench/visa.so", thing::text}}, "{root}/bench/visa.so", nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, {root}/bench/visa.so: not loadable (file too short)\n"},
        // A path the programs could not name whole is refused, never bound and printed cut.
        search_case{"named_path_too_long", {{long_path.c_str()}}, long_path_named.c_str(), nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, " + long_path_named +
                        ": path longer than 1023 characters\n"},
        search_case{"none_at_all", {}, nullptr, nullptr,
                    "No VISA library found. Tried:\n" + tried_all + tried_rest + "  libvisa.so.0: missing\n" +
                        advice}),
    [](const testing::TestParamInfo<search_case>& info) { return info.param.name; });

} // namespace
