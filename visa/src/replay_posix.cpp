// A recorded interrupt, delivered as the signal it was (a Windows event as
// the signal kesload takes for it there).
#include "replay.h"

#include <csignal>

namespace kesvisa {

void replay_raise(std::string_view interrupt) {
  const bool interrupt_key = interrupt == "SIGINT" || interrupt == "CTRL_C_EVENT" || interrupt == "CTRL_BREAK_EVENT";
  std::raise(interrupt_key ? SIGINT : SIGTERM);
}

} // namespace kesvisa
