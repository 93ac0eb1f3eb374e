#include "run_program.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace {

const std::string rejected = "rejected: kesload would refuse this image\n";
// The header of the image made from the body "123456789".
const std::string words = "fw_crc:     0xCBF43926\n"
                          "fw_address: 0xFFE00040\n"
                          "fw_length:  9\n"
                          "fw_word3:   0x00000000\n"
                          "hdr_crc:    0x034F6852\n";

class Kesimage : public testing::Test {
protected:
  const std::string dir = make_temp_dir();
  ~Kesimage() override { std::filesystem::remove_all(dir); }

  program_run kesimage(const std::vector<std::string>& args) { return run_program(KESIMAGE_BIN, args, {}, dir); }
};

TEST_F(Kesimage, MadeImageCarriesTheBodyAndPassesEveryCheck) {
  write_file(dir + "/body", "123456789");
  const program_run made = kesimage({"make", "body", "fw.bin"});
  EXPECT_EQ(made.out + made.err, "");
  EXPECT_EQ(made.status, 0);
  EXPECT_EQ(read_file(dir + "/fw.bin").substr(60), std::string("\x03\x4F\x68\x52", 4) + "123456789");

  const program_run info = kesimage({"info", "fw.bin"});
  EXPECT_EQ(info.out, "size:       73 bytes\n" + words + "accepted: size, address, length and both CRCs pass\n");
  EXPECT_EQ(info.err, "");
  EXPECT_EQ(info.status, 0);

  const program_run load = run_program(KESLOAD_BIN, {"fw.bin"}, {"KESVISA_CONFIG"}, dir);
  EXPECT_EQ(load.err, "viOpen: can't open device GPIB0::17::INSTR\n");

  // Names up to the longest a folder holds: the temporary one beside them fits too.
  for (const size_t length : {249U, 255U}) {
    const std::string name(length, 'n');
    EXPECT_EQ(kesimage({"make", "body", name}).err, "");
    EXPECT_EQ(read_file(dir + "/" + name), read_file(dir + "/fw.bin"));
  }
}

TEST_F(Kesimage, BodyBytesAreCopiedAsTheyAre) {
  // Line ends, end-of-file marks and NUL, which a text-mode read or write would change.
  const std::string body("\r\n\x1A\n\r\x1A\0\r\n", 9);
  write_file(dir + "/body", body);
  ASSERT_EQ(kesimage({"make", "body", "fw.bin"}).status, 0);
  EXPECT_EQ(read_file(dir + "/fw.bin").substr(64), body);
  EXPECT_EQ(kesimage({"info", "fw.bin"}).status, 0);
}

TEST_F(Kesimage, InfoOfAFaultyImageShowsTheLoadersMessage) {
  write_file(dir + "/body", "123456789");
  ASSERT_EQ(kesimage({"make", "body", "fw.bin"}).status, 0);
  write_file(dir + "/short.bin", read_file(dir + "/fw.bin").substr(0, 72));
  write_file(dir + "/tiny.bin", "0123456789");
  const struct {
    std::string image;
    std::string out;
    std::string err;
  } cases[] = {
      {"short.bin", "size:       72 bytes\n" + words + rejected,
       " corrupted?, F/W CRC error 0xCBF43926 <> 0xB9F35EA3\n"},
      {"tiny.bin", rejected, " corrupted?, size too small, 10\n"},
      {"absent.bin", "", " can't open absent.bin: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image);
    const program_run info = kesimage({"info", c.image});
    EXPECT_EQ(info.out, c.out);
    EXPECT_EQ(info.err, c.err);
    EXPECT_EQ(info.status, 1);
  }
}

TEST_F(Kesimage, RefusesBodiesThatDoNotFitAndBadCommandLines) {
  write_file(dir + "/largest", std::string(0x1BFFC0, 'x'));
  write_file(dir + "/too_large", std::string(0x1BFFC1, 'x'));
  EXPECT_EQ(kesimage({"make", "largest", "fw.bin"}).status, 0);
  EXPECT_EQ(kesimage({"info", "fw.bin"}).status, 0);
  const program_run big = kesimage({"make", "too_large", "fw2.bin"});
  EXPECT_EQ(big.err, "kesimage: too_large is too large, at most 1834944 bytes fit an image\n");
  EXPECT_EQ(big.status, 1);

  // No firmware, no image: it would have the old firmware erased and boot nothing.
  write_file(dir + "/empty", "");
  const program_run empty = kesimage({"make", "empty", "fw.bin"});
  EXPECT_EQ(empty.err, "kesimage: empty is empty, an image needs a firmware body\n");
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(kesimage({"info", "fw.bin"}).status, 0); // the image made before is still whole

  const std::string usage = "Usage: kesimage make BODY IMAGE\n       kesimage info IMAGE\n";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"info"}, {"make", "body"}, {"check", "a"}}) {
    const program_run run = kesimage(args);
    EXPECT_EQ(run.err, usage);
    EXPECT_EQ(run.status, 2);
  }
}

// A write that fails part way (here: the file size limit, as a full disk
// would) leaves the image that was there as it was, and no partial file.
TEST_F(Kesimage, AFailedWriteLeavesNoPartialImage) {
  if (on_windows) {
    GTEST_SKIP() << "the file size limit (ulimit) and the signal in mid-write (LD_PRELOAD) are POSIX's";
  }
  write_file(dir + "/small", "123456789");
  write_file(dir + "/large", std::string(100000, 'x'));
  ASSERT_EQ(kesimage({"make", "small", "fw.bin"}).status, 0);
  const std::string before = read_file(dir + "/fw.bin");
  const program_run run =
      run_program("/bin/sh", {"-c", "ulimit -f 20; exec \"$0\" make large fw.bin", KESIMAGE_BIN}, {}, dir);
  EXPECT_EQ(run.err, "kesimage: can't write fw.bin: File too large\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(read_file(dir + "/fw.bin"), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator{}), 3);

  // Ended by an interrupt, a termination or a hang-up while writing: no
  // temporary file either, and the signal's own end. Started with hang-ups
  // ignored (nohup), it writes the image through one.
  constexpr int hang_up = 1;     // SIGHUP, which Windows's headers lack
  std::signal(hang_up, SIG_DFL); // as in a terminal, even when the tests run under nohup
  for (const int signal : {SIGINT, SIGTERM, hang_up, 0}) {
    SCOPED_TRACE(signal);
    const program_run killed = run_program(
        "/bin/sh",
        {"-c", (signal == 0 ? "trap '' HUP; " : "") + std::string("exec \"$0\" make large fw.bin"), KESIMAGE_BIN},
        {"LD_PRELOAD=" SIGNAL_AT_FSYNC, "KESTEST_SIGNAL_AT_FSYNC=" + std::to_string(signal == 0 ? hang_up : signal),
         "ASAN_OPTIONS=verify_asan_link_order=0"},
        dir);
    EXPECT_EQ(killed.signal, signal);
    EXPECT_EQ(read_file(dir + "/fw.bin").substr(64), signal == 0 ? read_file(dir + "/large") : before.substr(64));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator{}), 3);
  }

  // In a folder that takes no new file, an image that could itself be
  // written is not: the message names the folder. Root writes anywhere, so
  // as root kesimage runs as nobody.
  std::filesystem::create_directory(dir + "/kept");
  write_file(dir + "/kept/fw.bin", before);
  ASSERT_EQ(
      chmod((dir + "/kept/fw.bin").c_str(), 0666) | chmod((dir + "/kept").c_str(), 0555) | chmod(dir.c_str(), 0755), 0);
  const std::vector<std::string> as_nobody{"--reuid=65534", "--regid=65534", "--clear-groups", KESIMAGE_BIN};
  std::vector<std::string> args = running_as_root() ? as_nobody : std::vector<std::string>{};
  args.insert(args.end(), {"make", "small", "kept/fw.bin"});
  const program_run kept = run_program(running_as_root() ? "/usr/bin/setpriv" : KESIMAGE_BIN, args, {}, dir);
  EXPECT_EQ(kept.err, "kesimage: can't write kept/fw.bin: can't create a file in kept: Permission denied\n");
  EXPECT_EQ(kept.status, 1);
  EXPECT_EQ(read_file(dir + "/kept/fw.bin"), before);
  chmod((dir + "/kept").c_str(), 0755);
}

// Only a regular file that is not the body is ever replaced (run as root,
// `make BODY /dev/null` once replaced the machine's /dev/null; a FIFO and a
// folder stand for devices here, so that the test harms nothing where the
// refusal is missing). A body that is no regular file is refused rather
// than waited on.
TEST_F(Kesimage, ReplacesOnlyRegularFilesAndReadsOnlyRegularBodies) {
  write_file(dir + "/body", "123456789");
  std::filesystem::create_directory(dir + "/folder");
  if (!on_windows) {
    ASSERT_TRUE(make_fifo(dir + "/fifo"));
    std::filesystem::create_symlink("body", dir + "/link");
    std::filesystem::create_symlink("nowhere", dir + "/elsewhere");
  }
  const struct {
    const char* body;
    const char* image;
    std::string err;
    bool posix = false; // FIFOs, symbolic links and devices as POSIX has them
  } cases[] = {
      {"body", "fifo", "kesimage: fifo is not a regular file, not replaced\n", true},
      {"body", "folder", "kesimage: folder is not a regular file, not replaced\n"},
      {"body", "link", "kesimage: link is the body file itself, not replaced\n", true},
      {"body", "elsewhere", "kesimage: elsewhere is a symbolic link, not replaced\n", true},
      {"body", "body", "kesimage: body is the body file itself, not replaced\n"},
      {"body", "./body", "kesimage: ./body is the body file itself, not replaced\n"},
      {"folder", "fw.bin", "kesimage: folder is not a regular file\n"},
      {"fifo", "fw.bin", "kesimage: fifo is not a regular file\n", true},
      {"/dev/zero", "fw.bin", "kesimage: /dev/zero is not a regular file\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.body) + " " + c.image);
    if (c.posix && on_windows) {
      continue;
    }
    const program_run run = kesimage({"make", c.body, c.image});
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, 1);
  }
  EXPECT_EQ(read_file(dir + "/body"), "123456789");
  if (on_windows) {
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator{}), 2);
    return; // the file mode below is POSIX's
  }
  EXPECT_TRUE(std::filesystem::is_fifo(dir + "/fifo"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir + "/link"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator{}), 5);

  // A new image gets the mode the umask leaves, as any new file would.
  for (const auto& [mask, mode] : {std::pair{"027", 0640}, std::pair{"002", 0664}}) {
    const program_run made = run_program(
        "/bin/sh", {"-c", std::string("umask ") + mask + "; exec \"$0\" make body fw.bin", KESIMAGE_BIN}, {}, dir);
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(std::filesystem::status(dir + "/fw.bin").permissions(), static_cast<std::filesystem::perms>(mode))
        << mask;
  }
}

} // namespace
