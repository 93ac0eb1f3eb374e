// kessim replay TRACE [--session N] [--timing] -- PROGRAM [ARGS...]: PROGRAM
// against the stand-in VISA library in replay mode, which answers each call
// as the recording did as long as it is the call recorded. The trace is read
// whole first; a bad one is told with its line and nothing is started.
#include "kessim_replay.h"

#include "files.h"
#include "run.h"

#include <trace.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

using namespace ksim;

namespace {

enum : int { replay_differs = 3, replay_bad = 2 };

struct session_found {
  size_t line = 0; // of its session line, from 1
  long pid = 0;
  size_t calls = 0;
  size_t last_required = 0; // the last call a replayed program must make
  bool ended = false;       // its end line is there
  // A line of this session that cannot be read: where a full disk or a
  // power cut ended the recording, when no line of the session follows it.
  size_t broken_line = 0;
  std::string broken_reason;
};

bool read_whole(const char* path, std::string& text) {
  const int fd = file_open(path, false);
  uint64_t size = 0;
  if (fd < 0) {
    return false;
  }
  if (!file_regular(fd, size)) {
    file_close(fd);
    errno = EISDIR;
    return false;
  }
  char chunk[65536];
  long got = 0;
  while ((got = file_read_at(fd, chunk, sizeof chunk, text.size())) > 0) {
    text.append(chunk, size_t(got));
  }
  const int saved = errno;
  file_close(fd);
  errno = saved;
  return got == 0;
}

int bad(const char* trace, size_t line, const std::string& why) {
  if (line > 0) {
    std::fprintf(stderr, "replay: %s:%zu: %s\n", trace, line, why.c_str());
  } else {
    std::fprintf(stderr, "replay: %s: %s\n", trace, why.c_str());
  }
  return replay_bad;
}

bool manufacturer_query(std::string_view call) {
  return call.find(", VI_ATTR_RSRC_MANF_NAME)") != std::string_view::npos ||
         call.find(", VI_ATTR_RSRC_IMPL_VERSION)") != std::string_view::npos;
}

// Every line read and sorted into its process's session; 0, or the status
// after the message.
int read_sessions(const char* trace, const std::string& text, std::vector<session_found>& sessions) {
  std::vector<size_t> open_session; // by index into sessions, per pid below
  std::vector<long> open_pid;
  std::vector<std::vector<uint32_t>> managers;
  size_t line_number = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t newline = text.find('\n', at);
    if (newline == std::string::npos) {
      break; // the last line cut short by a kill: replayed up to the one before
    }
    std::string_view line(text.data() + at, newline - at);
    at = newline + 1;
    ++line_number;
    if (line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    trace_record record;
    const char* reason = nullptr;
    const bool read = trace_parse(line, record, &reason);
    size_t which = open_pid.size();
    for (size_t i = 0; i < open_pid.size(); ++i) {
      if (open_pid[i] == record.pid) {
        which = i;
      }
    }
    if (!read) {
      // Told at once, unless the line starts as one of a session's lines.
      if (line_number == 1 || which == open_pid.size() || record.pid == 0) {
        return bad(trace, line_number, line_number == 1 ? std::string("not a trace: ") + reason
                                                        : std::string("cannot read the line: ") + reason);
      }
      session_found& s = sessions[open_session[which]];
      if (s.broken_line == 0) {
        s.broken_line = line_number;
        s.broken_reason = reason;
      }
      continue;
    }
    if (record.kind != trace_kind::session && which < open_pid.size() &&
        sessions[open_session[which]].broken_line != 0) {
      const session_found& s = sessions[open_session[which]];
      return bad(trace, s.broken_line, "cannot read the line: " + s.broken_reason);
    }
    if (record.kind == trace_kind::session) {
      session_found found;
      found.line = line_number;
      found.pid = record.pid;
      sessions.push_back(found);
      if (which == open_pid.size()) {
        open_pid.push_back(record.pid);
        open_session.push_back(0);
        managers.emplace_back();
      }
      open_session[which] = sessions.size() - 1;
      managers[which].clear();
      continue;
    }
    if (which == open_pid.size()) {
      return bad(trace, line_number, "a line of process " + std::to_string(record.pid) + " before its session line");
    }
    session_found& s = sessions[open_session[which]];
    if (s.ended) {
      return bad(trace, line_number, "a line of process " + std::to_string(record.pid) + " after its session's end");
    }
    if (record.kind == trace_kind::end) {
      s.ended = true;
    } else if (record.kind == trace_kind::call) {
      ++s.calls;
      uint64_t rm = 0;
      if (record.function == "viOpenDefaultRM" && trace_result_number(record.results, "rm", rm)) {
        managers[which].push_back(static_cast<uint32_t>(rm));
      }
      bool optional = false;
      for (const uint32_t m : managers[which]) {
        optional = optional || (record.function == "viGetAttribute" && record.session == m &&
                                manufacturer_query(record.call));
      }
      if (!optional) {
        s.last_required = s.calls;
      }
    }
  }
  return 0;
}

std::string report_path() {
  std::error_code failed;
  const std::filesystem::path folder = std::filesystem::temp_directory_path(failed);
  const std::u8string name =
      (folder / ("kessim-replay-" + std::to_string(process_id()) + ".txt")).u8string();
  return {reinterpret_cast<const char*>(name.data()), name.size()};
}

// What the library wrote: how far it got, and where it stopped.
struct replay_report {
  size_t answered = 0;
  std::string verdict; // "", "differs N" or "beyond N"
  std::string recorded;
  std::string asked;
};

replay_report read_report(const std::string& path) {
  replay_report r;
  std::string text;
  if (!read_whole(path.c_str(), text)) {
    return r;
  }
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t newline = text.find('\n', at);
    lines.push_back(text.substr(at, newline == std::string::npos ? std::string::npos : newline - at));
    at = newline == std::string::npos ? text.size() : newline + 1;
  }
  if (!lines.empty() && lines[0].starts_with("replayed ")) {
    r.answered = std::strtoul(lines[0].c_str() + 9, nullptr, 10);
  }
  if (lines.size() >= 3 && lines[1].starts_with("beyond ")) {
    r.verdict = lines[1];
    r.asked = lines[2];
  } else if (lines.size() >= 4 && lines[1].starts_with("differs ")) {
    r.verdict = lines[1];
    r.recorded = lines[2];
    r.asked = lines[3];
  }
  return r;
}

} // namespace

int replay_command(int argc, char** argv, int (*usage)(const char*)) {
  // argv: kessim replay TRACE [--session N] [--timing] -- PROGRAM [ARGS...]
  if (argc < 3) {
    return usage("replay needs TRACE -- PROGRAM [ARGS...]");
  }
  const char* trace = argv[2];
  size_t wanted = 0;
  bool timing = false;
  int at = 3;
  for (; at < argc && std::string_view(argv[at]) != "--"; ++at) {
    const std::string_view option = argv[at];
    if (option == "--timing") {
      timing = true;
    } else if (option == "--session" && at + 1 < argc) {
      char* end = nullptr;
      const unsigned long n = std::strtoul(argv[++at], &end, 10);
      if (end == argv[at] || *end != '\0' || n == 0) {
        return usage("--session needs a session number from 1");
      }
      wanted = n;
    } else {
      return usage(("unknown replay option " + std::string(option)).c_str());
    }
  }
  if (at + 1 >= argc) {
    return usage("replay needs TRACE -- PROGRAM [ARGS...]");
  }
  std::string text;
  std::string full;
  if (!read_whole(trace, text) || !run_full_path(trace, full)) {
    return bad(trace, 0, std::string("cannot read it: ") + std::strerror(errno));
  }
  std::vector<session_found> sessions;
  if (const int status = read_sessions(trace, text, sessions); status != 0) {
    return status;
  }
  if (sessions.empty()) {
    return bad(trace, 0, "no session in it");
  }
  if (wanted > sessions.size()) {
    return bad(trace, 0,
               "no session " + std::to_string(wanted) + ": it holds " + std::to_string(sessions.size()) +
                   (sessions.size() == 1 ? " session" : " sessions"));
  }
  // Without --session, the last: the run that failed is the last recorded.
  const session_found& session = sessions[wanted == 0 ? sessions.size() - 1 : wanted - 1];

  const std::string report = report_path();
  file_remove(report.c_str());
  const int created = file_create_new(report.c_str());
  if (created < 0) {
    std::fprintf(stderr, "kessim: %s: %s\n", report.c_str(), std::strerror(errno));
    return 1;
  }
  file_close(created);
  const std::string library = run_standin_library();
  if (library.empty() || !run_point_loader(library)) {
    file_remove(report.c_str());
    return 1;
  }
  run_set_variable("KESVISA_REPLAY", full);
  run_set_variable("KESVISA_REPLAY_SESSION", std::to_string(session.line));
  run_set_variable("KESVISA_REPLAY_REPORT", report);
  run_set_variable("KESVISA_REPLAY_TIMING", timing ? "1" : "0");
  run_set_variable("KESSIM_VISA_LIBRARY", library);
  run_set_variable("KESLOAD_VISA", library);
  const int status = run_child(argv + at + 1);
  const replay_report got = read_report(report);
  file_remove(report.c_str());

  if (got.verdict.starts_with("differs ")) {
    std::fprintf(stderr, "replay: call %s differs: recorded %s, got %s\n", got.verdict.c_str() + 8,
                 got.recorded.c_str(), got.asked.c_str());
    return replay_differs;
  }
  if (got.verdict.starts_with("beyond ")) {
    if (session.ended) {
      std::fprintf(stderr, "replay: the recording ended after call %zu of %zu; the program went on with %s\n",
                   got.answered, session.calls, got.asked.c_str());
    } else {
      std::fprintf(stderr,
                   "replay: the recording was cut short after call %zu (the recorded run ended there without its "
                   "end line); the program went on with %s\n",
                   got.answered, got.asked.c_str());
    }
    return replay_differs;
  }
  if (got.answered < session.last_required && status != run_not_found && status != run_cannot_run) {
    std::fprintf(stderr, "replay: the program ended after call %zu of %zu\n", got.answered, session.calls);
    return replay_differs;
  }
  return status;
}
