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
// viClear or viFindNext, one that needs a symbol nothing defines, or things
// by a library's name that are no library for this machine.
enum class thing { complete, lacking, lacking_last, unresolved, fifo, link_loop, aarch64, i386, text };

struct staged {
  const char* path; // under the root
  thing what = thing::complete;
};

void stage(const fs::path& path, thing what) {
  fs::create_directories(path.parent_path());
  switch (what) {
  case thing::complete:
    fs::copy_file(STANDIN_VISA_LIBRARY, path);
    break;
  case thing::lacking:
    fs::copy_file(LACKING_VISA_LIBRARY, path);
    break;
  case thing::lacking_last:
    fs::copy_file(LACKING_LAST_VISA_LIBRARY, path);
    break;
  case thing::unresolved:
    fs::copy_file(UNRESOLVED_VISA_LIBRARY, path);
    break;
  case thing::fifo:
    ASSERT_TRUE(make_fifo(path.string()));
    break;
  case thing::link_loop:
    fs::create_symlink(path.filename().string() + ".loop", path);
    fs::create_symlink(path.filename(), path.string() + ".loop");
    break;
  case thing::aarch64:
  case thing::i386: {
    // An ELF header, little-endian: 64-bit machine 183 or 32-bit machine 3.
    std::string header("\x7f" "ELF\x02\x01\x01", 7);
    header.resize(64, '\0');
    header[4] = what == thing::i386 ? '\x01' : '\x02';
    header[18] = static_cast<char>(what == thing::i386 ? 3 : 183);
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
  bool root = true;            // KESLOAD_VISA_ROOT set; else LD_LIBRARY_PATH only if something is staged
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
  std::vector<std::string> env{"KESVISA_CONFIG=" + b.config, c.root ? "KESLOAD_VISA_ROOT=" + root : "KESLOAD_VISA_ROOT",
                               c.root || !c.libraries.empty() ? "LD_LIBRARY_PATH=" + root + "/ld" : "LD_LIBRARY_PATH"};
  env.emplace_back(c.named != nullptr ? "KESLOAD_VISA=" + with_root(c.named, root) : "KESLOAD_VISA");

  const program_run check = run_program(KESCHECK_BIN, {}, env, b.dir);
  if (c.bound != nullptr) {
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_NE(check.out.find("\nvisa: " + root + "/" + c.bound + "\n"), std::string::npos) << check.out;
    EXPECT_EQ(check.err, "");
    // The VISA report names the same library as the one in use.
    const program_run report = run_program(KESCHECK_BIN, {"-V"}, env, b.dir);
    EXPECT_NE(report.out.find(c.named != nullptr && c.named[0] != '\0'
                                  ? "\nKESLOAD_VISA: " + root + "/" + c.bound + ": used"
                                  : "\nKESLOAD_VISA: not set\n"),
              std::string::npos)
        << report.out;
    EXPECT_NE(report.out.find("\nvisa: " + root + "/" + c.bound + "\n"), std::string::npos) << report.out;
    // What the library in use tells of itself, and the interfaces it sees.
    // (a bare name with the file the loader took in parentheses)
    EXPECT_NE(report.out.find(c.bound + std::string(std::string_view(c.bound).starts_with("ld/") ? ")" : "") +
                              ": used, \"kesload stand-in VISA\", version " KESLOAD_VERSION ", VISA 5.8.0\n"),
              std::string::npos)
        << report.out;
    EXPECT_TRUE(report.out.ends_with("\ninterfaces: GPIB0::INTFC\n")) << report.out;
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
        // Without the test's root the search is the production one, whole.
        search_case{"ni_visa_without_root", {{"ld/libvisa.so"}}, nullptr, "ld/libvisa.so", {}, false},
        search_case{"none_without_root", {}, nullptr, nullptr, read_file(TEST_DATA_DIR "/no_visa.txt"), false},
        search_case{"empty_name_is_unset", {{"ld/libvisa.so"}}, "", "ld/libvisa.so"},
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
        // Refused at its load, not at its first call: the search goes on.
        search_case{"unresolved_beside_complete",
                    {{"ld/libvisa.so", thing::unresolved}, {"opt/keysight/iolibs/libktvisa32.so"}}, nullptr,
                    "opt/keysight/iolibs/libktvisa32.so"},
        search_case{"gpib_before_no_gpib", {{"ld/librsvisa.so"}, {"opt/keysight/iolibs/libktvisa32.so"}}, nullptr,
                    "opt/keysight/iolibs/libktvisa32.so"},
        // A bare name is told with the file the loader took.
        search_case{"open_source_lacks_clear", {{"ld/libvisa.so.0", thing::lacking}}, nullptr, nullptr,
                    "No VISA library found. Tried:\n" + tried_all + tried_rest +
                        "  libvisa.so.0 ({root}/ld/libvisa.so.0): lacks viClear\n" + advice},
        search_case{"named_works", {{"ld/libvisa.so"}, {"bench/visa.so"}}, "{root}/bench/visa.so", "bench/visa.so"},
        search_case{"named_with_tab", {{"bench/a\tb.so"}}, "{root}/bench/a\tb.so", "bench/a\\tb.so"},
        // A library the user names is never replaced by another.
        search_case{"named_missing", {{"ld/libvisa.so"}}, "{root}/bench/visa.so", nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, {root}/bench/visa.so: missing\n"},
        search_case{"named_lacking", {{"ld/libvisa.so"}, {"bench/visa.so", thing::lacking}}, "{root}/bench/visa.so", nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, {root}/bench/visa.so: lacks viClear\n"},
        search_case{"named_lacking_last", {{"bench/visa.so", thing::lacking_last}}, "{root}/bench/visa.so", nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, {root}/bench/visa.so: lacks viFindNext\n"},
        search_case{"named_under_a_file", {{"bench/visa.so", thing::text}}, "{root}/bench/visa.so/libvisa.so", nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, {root}/bench/visa.so/libvisa.so: missing\n"},
        search_case{"named_unresolved", {{"bench/visa.so", thing::unresolved}}, "{root}/bench/visa.so", nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, {root}/bench/visa.so: not loadable (undefined symbol: "
                    "kestest_nowhere)\n"},
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
        search_case{"named_32_bit", {{"bench/visa.so", thing::i386}}, "{root}/bench/visa.so", nullptr,
                    "Can't use the VISA library in KESLOAD_VISA, {root}/bench/visa.so: built for another architecture "
                    "(32-bit i386)\n"},
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
