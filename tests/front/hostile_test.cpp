// Command lines a script or a careless operator may produce: huge
// arguments, every byte value, files that are not files. Each gets the
// program's own message and exit status, never a crash or a hang.
#include "image.h"
#include "image_make.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const std::string usage_text = read_file(TEST_DATA_DIR "/usage.txt");
const std::vector<std::string> no_instrument = {"KESVISA_CONFIG", "POSIXLY_CORRECT"};

// Every byte value a command-line argument can carry, in names of at most
// limit bytes, leaving out the bytes in skip. On Windows an argument is
// text (it goes as UTF-16), so bytes that are not UTF-8 alone are left out.
std::vector<std::string> byte_names(size_t limit, const std::string& skip = {}) {
  std::vector<std::string> names(1);
  for (int b = 1; b < 256; ++b) {
    if (skip.find(static_cast<char>(b)) != std::string::npos || (on_windows && b >= 0x80)) {
      continue;
    }
    if (names.back().size() == limit) {
      names.emplace_back();
    }
    names.back() += static_cast<char>(b);
  }
  return names;
}

void write_valid_image(const std::string& path) {
  const uint8_t body[] = {'k', 'e', 's'};
  uint8_t header[fw_header_size];
  image_make_header(header, body, sizeof body);
  ASSERT_EQ(image_write_file(path.c_str(), header, body, sizeof body), 0) << path;
}

TEST(Hostile, HugeArgumentsAreRefusedPlainly) {
  // A Windows command line holds at most 32767 UTF-16 units.
  const size_t huge_size = on_windows ? 30000 : 100000;
  const std::string huge(huge_size, '7');
  const std::string huge_name(huge_size, 'g');
  struct hostile_case {
    std::vector<std::string> args;
    std::string err;
    int status;
  };
  const hostile_case cases[] = {
      {{"-a", huge}, "invalid GPIB address 2147483647\n" + usage_text, 2},
      {{"-a", "-" + huge}, "invalid GPIB address -2147483648\n" + usage_text, 2},
      {{"-g", huge_name}, "invalid GPIB interface name " + huge_name + "\n" + usage_text, 2},
      {{"-" + std::string(huge_size, 'x')}, usage_text, 2},
      {{huge_name}, "Can not open " + huge_name + "\n", 1},
  };
  for (const hostile_case& c : cases) {
    const program_run run = run_program(KESLOAD_BIN, c.args, no_instrument);
    EXPECT_EQ(run.status, c.status) << c.args[0].substr(0, 20);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, c.err) << c.args[0].substr(0, 20);
  }
}

TEST(Hostile, EveryByteValueOfAnInterfaceNameReachesVisaUnchanged) {
  const std::string dir = make_temp_dir();
  write_valid_image(dir + "/appl.bin");
  std::vector<std::string> names = byte_names(88);
  names.push_back("%n%s%x%d%%"); // format directives stay text
  names.push_back("Prüfstand日本語");
  for (const std::string& name : names) {
    const program_run run = run_program(KESLOAD_BIN, {"-g", name}, no_instrument, dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "viOpen: can't open device " + name + "::17::INSTR\n");
  }
}

TEST(Hostile, EveryByteValueOfAFileNameIsOpenedAsGiven) {
  const std::string dir = make_temp_dir();
  // Windows names hold no control characters and none of <>:"\|?*.
  std::string not_in_names = "/";
  if (on_windows) {
    for (char c = 1; c < 32; ++c) {
      not_in_names += c;
    }
    not_in_names += "<>:\"\\|?*";
  }
  std::vector<std::string> names = byte_names(200, not_in_names);
  // Folder names beyond ASCII, given in UTF-8 on every platform.
  std::filesystem::create_directories(std::filesystem::path(dir) / u8"Prüfstand" / u8"日本語");
  names.push_back("Prüfstand/日本語/appl.bin");
  for (const std::string& name : names) {
    const program_run missing = run_program(KESLOAD_BIN, {"--", name}, no_instrument, dir);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Can not open " + name + "\n");

    write_valid_image(dir + "/" + name);
    const program_run found = run_program(KESLOAD_BIN, {"--", name}, no_instrument, dir);
    EXPECT_EQ(found.status, 1); // past the image check, at the missing instrument
    EXPECT_EQ(found.err, "viOpen: can't open device GPIB0::17::INSTR\n");
  }
}

TEST(Hostile, ThingsThatAreNotImageFiles) {
  const std::string dir = make_temp_dir();
  write_valid_image(dir + "/fw.bin");
  std::filesystem::create_directory(dir + "/folder.bin");
  struct thing {
    const char* path;
    const char* err;
  };
  std::vector<thing> things = {thing{"fw.bin/inside", "Can not open fw.bin/inside\n"},
                               thing{"folder.bin", "Data file folder.bin is corrupted\n"}};
  // Symbolic links (which Windows keeps for administrators), FIFOs and devices.
  if (!on_windows) {
    std::filesystem::create_symlink("nowhere.bin", dir + "/dangling.bin");
    ASSERT_TRUE(make_fifo(dir + "/fifo.bin"));
    things.insert(things.end(), {thing{"dangling.bin", "Can not open dangling.bin\n"},
                                 thing{"fifo.bin", "Data file fifo.bin is corrupted\n"}, // nobody writes: no wait
                                 thing{"/dev/zero", "Data file /dev/zero is corrupted\n"}});
  }
  for (const thing& t : things) {
    const program_run run = run_program(KESLOAD_BIN, {t.path}, no_instrument, dir);
    EXPECT_EQ(run.status, 1) << t.path;
    EXPECT_EQ(run.err, t.err);
  }
}

TEST(Hostile, AnImageThroughAPipeIsReadWhole) {
  if (on_windows) {
    GTEST_SKIP() << "needs a POSIX shell and /dev/stdin";
  }
  const std::string dir = make_temp_dir();
  write_valid_image(dir + "/fw.bin");
  // A writer that is slow to start, as a download or a decompressor can be.
  for (const char* script : {"cat fw.bin | \"$0\" /dev/stdin", "(sleep 0.3; cat fw.bin) | \"$0\" /dev/stdin"}) {
    const program_run run = run_program("/bin/sh", {"-c", script, KESLOAD_BIN}, no_instrument, dir);
    EXPECT_EQ(run.status, 1) << script;
    EXPECT_EQ(run.err, "viOpen: can't open device GPIB0::17::INSTR\n") << script;
  }
}

TEST(Hostile, AnUnreadableFileCannotBeOpened) {
  if (on_windows) {
    GTEST_SKIP() << "a file mode of 0 keeps no reader out on Windows";
  }
  const std::string dir = make_temp_dir();
  write_valid_image(dir + "/locked.bin");
  ASSERT_EQ(chmod((dir + "/locked.bin").c_str(), 0), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  // Root reads every file, so as root the program runs as nobody.
  const bool root = running_as_root();
  const program_run run =
      root ? run_program("/usr/bin/setpriv",
                         {"--reuid=65534", "--regid=65534", "--clear-groups", KESLOAD_BIN, "locked.bin"}, no_instrument,
                         dir)
           : run_program(KESLOAD_BIN, {"locked.bin"}, no_instrument, dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Can not open locked.bin\n");
}

} // namespace
