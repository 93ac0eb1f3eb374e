// kesimage: makes a firmware image from a body, and checks an image the way
// kesload does, without an instrument.
#include "files.h"
#include "image.h"
#include "image_make.h"
#include "platform.h"
#include "report_out.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

enum : int { exit_ok = 0, exit_failed = 1, exit_usage = 2 };

constexpr char usage_text[] = "Usage: kesimage make BODY IMAGE\n"
                              "       kesimage info IMAGE\n";

// The body is read into a static buffer, as kesload reads images: no body
// longer than kesload would accept is taken.
std::array<uint8_t, fw_max_size - fw_header_size + 1> body_buffer;

int make_image(const char* body_path, const char* image_path) {
  size_t length = 0;
  switch (files_read_body(body_path, body_buffer.data(), body_buffer.size(), &length)) {
  case body_cannot_open:
    std::fprintf(stderr, "kesimage: can't open %s: %s\n", body_path, std::strerror(errno));
    return exit_failed;
  case body_not_regular:
    std::fprintf(stderr, "kesimage: %s is not a regular file\n", body_path);
    return exit_failed;
  case body_read_failed:
    std::fprintf(stderr, "kesimage: can't read %s\n", body_path);
    return exit_failed;
  default:
    break;
  }
  // Only a regular file is ever replaced: never a device, a FIFO, a folder,
  // the body being read, nor a symbolic link (which would be replaced by a
  // plain file rather than have its target written).
  switch (files_check_output(image_path, body_path)) {
  case output_not_regular:
    std::fprintf(stderr, "kesimage: %s is not a regular file, not replaced\n", image_path);
    return exit_failed;
  case output_symbolic_link:
    std::fprintf(stderr, "kesimage: %s is a symbolic link, not replaced\n", image_path);
    return exit_failed;
  case output_is_body:
    std::fprintf(stderr, "kesimage: %s is the body file itself, not replaced\n", image_path);
    return exit_failed;
  default:
    break;
  }
  if (length == 0) {
    // An image without firmware would have the old one erased and nothing to boot.
    std::fprintf(stderr, "kesimage: %s is empty, an image needs a firmware body\n", body_path);
    return exit_failed;
  }
  if (length > fw_max_size - fw_header_size) {
    std::fprintf(stderr, "kesimage: %s is too large, at most %u bytes fit an image\n", body_path,
                 static_cast<unsigned>(fw_max_size - fw_header_size));
    return exit_failed;
  }
  std::array<uint8_t, fw_header_size> header{};
  image_make_header(header.data(), body_buffer.data(), static_cast<uint32_t>(length));
  const int written = image_write_file(image_path, header.data(), body_buffer.data(), static_cast<uint32_t>(length));
  // The image itself may be writable: a folder that takes no new file is
  // what refuses then (a missing folder or a name the system forbids is
  // told as any failed write).
  if (written == image_folder_refused && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    std::fprintf(stderr, "kesimage: can't write %s: can't create a file in %s: %s\n", image_path, image_write_folder(),
                 std::strerror(errno));
    return exit_failed;
  }
  if (written != image_written) {
    std::fprintf(stderr, "kesimage: can't write %s: %s\n", image_path, std::strerror(errno));
    return exit_failed;
  }
  return exit_ok;
}

int show_image(const char* image_path) {
  // The loader's own messages go to standard error as kesload would print them.
  const int result = load_fw_file(image_path, 0);
  if (result == fw_load_cannot_open) {
    return exit_failed;
  }
  // The size is stored once the size checks passed; only then do the header
  // words mean anything.
  if (fw_get_size() >= fw_header_size) {
    const uint8_t* header = fw_get_buffer();
    report_out("size:       %u bytes\n", fw_get_size());
    report_out("fw_crc:     0x%08X\n", read_be32(header + fw_offset_crc));
    report_out("fw_address: 0x%08X\n", read_be32(header + fw_offset_address));
    report_out("fw_length:  %u\n", read_be32(header + fw_offset_length));
    report_out("fw_word3:   0x%08X\n", read_be32(header + fw_offset_word3));
    report_out("hdr_crc:    0x%08X\n", read_be32(header + fw_offset_hdr_crc));
  }
  report_out("%s\n", result == fw_load_ok ? "accepted: size, address, length and both CRCs pass"
                                           : "rejected: kesload would refuse this image");
  return result == fw_load_ok ? exit_ok : exit_failed;
}

} // namespace

int main(int argc, char** argv) {
  platform_start(&argc, &argv);
  // What is printed must not land in the image being written.
  const bool output_missing = platform_open_missing_streams();
  if (argc == 4 && std::strcmp(argv[1], "make") == 0) {
    files_clean_up_on_signals();
    return make_image(argv[2], argv[3]);
  }
  if (argc == 3 && std::strcmp(argv[1], "info") == 0) {
    report_start(output_missing);
    return report_finish("kesimage", show_image(argv[2]));
  }
  std::fputs(usage_text, stderr);
  return exit_usage;
}
