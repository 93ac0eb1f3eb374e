// The state file on Windows: while an instrument has it open, the system
// refuses to remove, move or replace it (it is not shared for deleting), so
// the state cannot go from under a running instrument as it can on Linux.
#include <filesystem>
#include <system_error>

#include "sim_test.h"

using namespace simtest;

namespace {

TEST(StateWindows, AStateInUseCannotBeRemovedMovedOrReplaced) {
  namespace fs = std::filesystem;
  temp_dir dir;
  const std::string state = dir.path("k.state");
  const std::string other = dir.path("other.state");
  auto in = start({{"state", state}});
  start({{"state", other}}); // made and closed again
  std::error_code failed;
  EXPECT_FALSE(fs::remove(state, failed));
  EXPECT_TRUE(failed) << "removed";
  failed.clear();
  fs::rename(other, state, failed);
  EXPECT_TRUE(failed) << "replaced";
  failed.clear();
  fs::rename(state, dir.path("moved.state"), failed);
  EXPECT_TRUE(failed) << "moved";
  EXPECT_EQ(number(in.get(), "XXCMD?\n"), 2u);
  in.reset();
  EXPECT_TRUE(fs::remove(state, failed)) << "once closed: " << failed.message();
}

} // namespace
