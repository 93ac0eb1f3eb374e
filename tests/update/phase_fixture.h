// Runs update phases in this process against the simulated instrument.
#pragma once

#include "image.h"
#include "images.h"
#include "link.h"
#include "recorded_sleep.h"
#include "standin.h"
#include "update.h"

#include <sim.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

class Phases : public testing::Test {
protected:
  // What a phase printed and returned.
  struct outcome {
    int32_t result;
    std::string out;
    std::string err;
  };

  // Declares the instrument, loads the image and opens the session.
  void start(int mode, const std::vector<uint8_t>& image, const std::string& extra = {}) {
    setup = standin_setup(mode, extra);
    image_bytes = image;
    ASSERT_EQ(load_fw_file(write_image(setup.dir, image).c_str(), 0), 0);
    verbose = true;
    recorded_sleeps.clear();
    gpib_open(17, nullptr);
    skip = setup.bus_lines().size();
  }

  static outcome run(const std::function<int32_t()>& phase) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int32_t result = phase();
    std::fflush(stdout);
    return {result, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
  }

  // The writes and reads since start, each as the instrument saw it.
  std::vector<std::string> bus() const {
    std::vector<std::string> lines = setup.bus_lines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(skip));
    return lines;
  }

  // A write as the trace shows it: its data (quoted text, or "[N bytes ...]"
  // for raw bytes), its length, and whether END went with its last byte.
  struct bus_write {
    std::string data;
    uint32_t length;
    bool end;
    bool is_command() const { return data.size() >= 4 && data.ends_with("\\n\""); }
  };

  std::vector<bus_write> writes() const {
    std::vector<bus_write> found;
    const std::string prefix = "viWrite(2, ";
    for (const std::string& line : bus()) {
      const size_t close = line.rfind(") = ");
      const size_t comma = line.rfind(", ", close);
      if (line.rfind(prefix, 0) != 0 || close == std::string::npos || comma == std::string::npos) {
        continue;
      }
      std::string data = line.substr(prefix.size(), comma - prefix.size());
      const bool end = data.ends_with(" END");
      if (end) {
        data.resize(data.size() - 4);
      }
      found.push_back({data, static_cast<uint32_t>(std::stoul(line.substr(comma + 2))), end});
    }
    return found;
  }

  // The text commands sent since start, without their quotes.
  std::vector<std::string> commands() const {
    std::vector<std::string> sent;
    for (const bus_write& w : writes()) {
      if (w.is_command()) {
        sent.push_back(w.data.substr(1, w.data.size() - 2));
      }
    }
    return sent;
  }

  standin setup;
  std::vector<uint8_t> image_bytes;
  size_t skip = 0;
};

inline std::string write_line(const std::string& escaped_text) {
  const size_t length = escaped_text.size() - (escaped_text.size() >= 2 && escaped_text.ends_with("\\n") ? 1 : 0);
  return "viWrite(2, \"" + escaped_text + "\" END, " + std::to_string(length) +
         ") = 0x00000000 VI_SUCCESS sent=" + std::to_string(length);
}

inline std::string read_line(const std::string& escaped_reply) {
  return "viRead(2, 100) = 0x00000000 VI_SUCCESS \"" + escaped_reply + "\" END";
}

// The text with {H} and {F} replaced by the image's header and body CRC
// words, as a failure message shows them.
inline std::string with_image_words(std::string text, const std::vector<uint8_t>& image) {
  char word[16];
  for (const auto& [mark, offset] : {std::pair{"{H}", 60}, std::pair{"{F}", 0}}) {
    std::snprintf(word, sizeof word, "%08X", read_be32(&image[static_cast<size_t>(offset)]));
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark)) {
      text.replace(at, 3, word);
    }
  }
  return text;
}
