// Reports on standard output that scripts rely on (kescheck, kesimage
// info). A report that cannot be written (a full disk, a closed or broken
// standard output) must fail the program, never pass for one that was.
#pragma once

// Starts the report: standard output was missing at the start (the
// platform opened it on the null device), and a broken pipe is to be an
// error the report sees.
void report_start(bool output_missing);

// Writes and flushes at once, so that a failure is known with its reason.
[[gnu::format(printf, 1, 2)]] void report_out(const char* format, ...);

// The program's exit status: status when the whole report was written,
// else 1 after "PROGRAM: can't write the report: REASON" on standard error.
int report_finish(const char* program, int status);
