#include "image.h"
#include "image_make.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

std::string header(uint32_t fw_crc, uint32_t fw_address, uint32_t fw_length) {
  uint8_t bytes[fw_header_size];
  image_write_header(bytes, fw_crc, fw_address, fw_length);
  return {bytes, bytes + fw_header_size};
}

// A header that kesload accepts for body, followed by body.
std::string image(const std::string& body) {
  uint8_t bytes[fw_header_size];
  image_make_header(bytes, reinterpret_cast<const uint8_t*>(body.data()), static_cast<uint32_t>(body.size()));
  return std::string(bytes, bytes + fw_header_size) + body;
}

std::string with_byte(std::string contents, size_t offset, char value) {
  contents[offset] = value;
  return contents;
}

std::string buffer_bytes(size_t from, size_t count) {
  return {reinterpret_cast<const char*>(fw_get_buffer()) + from, count};
}

// The load result, "|", then whatever the loader wrote to standard error.
std::string load(const std::string& path, int silent) {
  testing::internal::CaptureStderr();
  const int result = load_fw_file(path.c_str(), silent);
  return std::to_string(result) + "|" + testing::internal::GetCapturedStderr();
}

class Loader : public testing::Test {
protected:
  const std::string dir = make_temp_dir();
  const std::string path = dir + "/fw.bin";
  const std::string absent = dir + "/absent.bin";
  ~Loader() override { std::filesystem::remove_all(dir); }

  std::string load_file(const std::string& contents) {
    write_file(path, contents);
    return load(path, 1);
  }
};

TEST_F(Loader, RejectsWithItsMessageAndSilentlyWhenAskedTo) {
  const struct {
    const char* name;
    std::string contents;
    std::string outcome;
  } cases[] = {
      {"empty file", "", "2| corrupted?, size too small, 0\n"},
      {"63 bytes", std::string(63, '\x11'), "2| corrupted?, size too small, 63\n"},
      {"one byte too many", image(std::string(fw_max_size - 63, 'b')), "2| corrupted?, size too large, 1835009\n"},
      {"3 MiB, more than one read takes", std::string(3 << 20, '\0'), "2| corrupted?, size too large, 2097152\n"},
      {"header byte changed", with_byte(image("123456789"), 30, 0x5A),
       "2| corrupted?, hdr CRC error 0x034F6852 <> 0x2BD57A08\n"},
      {"address 0", header(0, 0, 0), "2| corrupted?, F/W address error 0x00000000 <> 0xFFE00040\n"},
      {"address of the header", header(0, 0xFFE00000, 0),
       "2| corrupted?, F/W address error 0xFFE00000 <> 0xFFE00040\n"},
      {"address past the body's", header(0, 0xFFE00080, 0),
       "2| corrupted?, F/W address error 0xFFE00080 <> 0xFFE00040\n"},
      {"body one byte past the area", header(0, fw_body_address, 0x1BFFC1),
       "2| corrupted?, F/W length too large, 1834945\n"},
      {"length that wraps to 0 in 32 bits", header(0, fw_body_address, 0xFFFFFFC0),
       "2| corrupted?, F/W length too large, 4294967232\n"},
      {"largest length", header(0, fw_body_address, 0xFFFFFFFF), "2| corrupted?, F/W length too large, 4294967295\n"},
      {"body CRC wrong", header(0xABCD, fw_body_address, 9) + "123456789",
       "2| corrupted?, F/W CRC error 0x0000ABCD <> 0xCBF43926\n"},
      {"missing byte counts as 0xFF", image("123456789").substr(0, 72),
       "2| corrupted?, F/W CRC error 0xCBF43926 <> 0xB9F35EA3\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(path, c.contents);
    EXPECT_EQ(load(path, 0), c.outcome);
    EXPECT_EQ(load(path, 1), c.outcome.substr(0, 2));
  }
}

TEST_F(Loader, LoadsAcceptedImagesWholeOverAnErasedBuffer) {
  const struct {
    const char* name;
    std::string contents;
    uint32_t length;
  } cases[] = {
      // The largest first, so that the smaller ones show the buffer refilled.
      {"largest file", image(std::string(fw_max_size - fw_header_size, '\x5A')), fw_max_size - fw_header_size},
      {"header only, no body", header(0, fw_body_address, 0), 0},
      {"header only, body all 0xFF", image(std::string(16, '\xFF')).substr(0, fw_header_size), 16},
      {"file ends inside the body", image("ABCDE\xFF\xFF\xFF\xFF").substr(0, 69), 9},
      {"bytes after the body", image("123456789") + "trailer", 9},
      {"line ends and end-of-file marks in the body", image(std::string("\r\n\x1A\n\r\x1A\r\n", 8)), 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(path, c.contents);
    EXPECT_EQ(load(path, 0), "0|");
    EXPECT_EQ(fw_get_size(), c.contents.size());
    EXPECT_EQ(fw_get_length(), c.length);
    EXPECT_EQ(fw_get_flash_base(), 0xFFE00000U);
    EXPECT_EQ(buffer_bytes(0, c.contents.size()), c.contents);
    EXPECT_EQ(buffer_bytes(c.contents.size(), fw_buffer_size - c.contents.size()),
              std::string(fw_buffer_size - c.contents.size(), '\xFF'));
  }
}

TEST_F(Loader, EachOutcomeKeepsWhatWasStoredBeforeItsCheck) {
  const std::string loaded = image(std::string(1000, '\xAA'));
  ASSERT_EQ(load_file(loaded), "0|");

  EXPECT_EQ(load(absent, 0), "1| can't open " + absent + ": No such file or directory\n"); // nothing changes
  EXPECT_EQ(fw_get_size(), 1064U);
  EXPECT_EQ(fw_get_length(), 1000U);
  EXPECT_EQ(buffer_bytes(0, loaded.size() + 1), loaded + '\xFF');

  EXPECT_EQ(load_file(std::string(63, '\x11')), "2|"); // size: only the buffer changes
  EXPECT_EQ(fw_get_size(), 1064U);
  EXPECT_EQ(fw_get_length(), 1000U);
  EXPECT_EQ(buffer_bytes(62, 2), "\x11\xFF");
  EXPECT_EQ(fw_get_buffer()[1063], 0xFF);

  EXPECT_EQ(load_file(with_byte(image("123456789"), 20, 1)), "2|"); // header CRC: the size only
  EXPECT_EQ(fw_get_size(), 73U);
  EXPECT_EQ(fw_get_length(), 1000U);

  EXPECT_EQ(load_file(header(0, 0, 5) + "12345"), "2|"); // address: all header words
  EXPECT_EQ(fw_get_size(), 69U);
  EXPECT_EQ(fw_get_length(), 5U);
  EXPECT_EQ(fw_get_flash_base(), 0xFFFFFFC0U);

  EXPECT_EQ(load_file(header(0, fw_body_address, 7) + "1234"), "2|"); // body CRC: all header words
  EXPECT_EQ(fw_get_size(), 68U);
  EXPECT_EQ(fw_get_length(), 7U);
  EXPECT_EQ(fw_get_flash_base(), 0xFFE00000U);
}

TEST(ReadBe32, MostSignificantByteFirstAtAnyAlignment) {
  const uint8_t bytes[] = {0x55, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xFE, 0xFD, 0xFC};
  EXPECT_EQ(read_be32(bytes + 1), 256U);
  EXPECT_EQ(read_be32(bytes + 5), 0xFFFEFDFCU);
  EXPECT_EQ(read_be32(bytes), 0x55000001U);
}

// A message must not overtake progress still waiting in standard output
// when both streams go to one log.
TEST(LoaderDeathTest, MessageFollowsPendingStandardOutput) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        dup2(2, 1);
        std::printf("Transfering data ");
        load_fw_file("no-such-folder/fw.bin", 0);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "Transfering data  can't open no-such-folder/fw\\.bin: No such file or directory\n$");
}

} // namespace
