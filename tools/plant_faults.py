#!/usr/bin/env python3
"""Measures how many planted faults the test suite catches.

Each fault below changes one spot of the programs or the simulator so that
a user, the bus or the instrument would see something else. They are
planted one at a time in a scratch copy of the tree (build-plant/tree, built
in build-plant/build), never in the tree itself; each is rebuilt and the
whole suite run (stopping at its first failure). A fault is caught when a
test fails. The scratch copy is brought back in line with the tree at every
start, so a run that was killed leaves nothing planted anywhere.

  tools/plant_faults.py                 every fault
  tools/plant_faults.py kescheck.area   one fault (or several, by name)
  tools/plant_faults.py --list          the faults, by area
  tools/plant_faults.py --check         that every fault still applies
  --no-baseline                         skip the unplanted suite's run
  --at REV                              plant in the tree of commit REV (e.g.
                                        the tests before a change), not in
                                        the work tree as it is

Not run by CI: a full run takes an hour or more on two cores. It runs at
low priority (nice 10) with two jobs.
"""

import os
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.environ.get("PLANT_WORK", os.path.join(ROOT, "build-plant"))  # a second run beside a first
TREE = os.path.join(WORK, "tree")
BUILD = os.path.join(WORK, "build")
LOGS = os.path.join(WORK, "logs")

# (name, file, text as it is, text planted in its place). The text must occur
# exactly once in the file. Where the code around a fault has changed, a
# tuple gives its text before and after the change, and the fault for each.
FAULTS = [
    # The update phases.
    ("update.mode3_unknown", "update/mode.cpp", "mode >= 0 && mode <= 3", "mode >= 0 && mode <= 2"),
    ("update.mode1_switched", "update/mode.cpp", "mode == mode_bootrom || mode == mode_as_is", "mode == mode_bootrom"),
    ("update.no_bootrom_pause", "update/mode.cpp", "  sleep_ms(bootrom_switch_pause_ms);\n", "\n"),
    ("update.block_boundary", "update/download.cpp", "if (remaining > transfer_block)", "if (remaining >= transfer_block)"),
    ("update.last_block_no_end", "update/download.cpp", "gpib_send_block(position, remaining, 1);",
     "gpib_send_block(position, remaining, 0);"),
    ("update.sector_round", "update/flash.cpp", "(extent + flash_sector - 1) / flash_sector",
     "extent / flash_sector + 1"),
    ("update.sector_limit", "update/flash.cpp", "if (sectors > flash_sector_max)", "if (sectors >= flash_sector_max)"),
    ("update.erase_file_only", "update/flash.cpp",
     "std::max<uint64_t>(fw_get_size(), uint64_t{header_size} + fw_get_length())", "uint64_t{fw_get_size()}"),
    ("update.expected_word", "update/phase.cpp", "stored != calculated ? stored : file_word", "file_word"),
    ("update.no_wait_after_fill", "update/download.cpp", "  gpib_opc(); // the first wait", "  // the first wait"),
    # The session layer and its helpers.
    ("session.timeout_units", "link/session.cpp", "static_cast<uint32_t>(seconds) * 1000U",
     "static_cast<uint32_t>(seconds) * 100U"),
    ("session.no_lock", "link/session.cpp", "? VI_NO_LOCK : VI_EXCLUSIVE_LOCK", "? VI_NO_LOCK : VI_NO_LOCK"),
    ("session.in_use_message", "link/session.cpp", "viOpen: %s is in use by another program\\n",
     "viOpen: can't open device %s\\n"),
    ("session.find_drops_last", "link/session.cpp", "for (ViUInt32 i = 0; i < count; ++i)",
     "for (ViUInt32 i = 0; i + 1 < count; ++i)"),
    ("session.close_warning_passes", "link/session.cpp", "  if (status != VI_SUCCESS) {\n    gpib_fail(status);",
     "  if (status < VI_SUCCESS) {\n    gpib_fail(status);"),
    ("session.probe_locked", "link/session.cpp", "if (status == VI_ERROR_RSRC_LOCKED) {\n    return 2;",
     "if (status == VI_ERROR_RSRC_LOCKED && false) {\n    return 2;"),
    ("helpers.octal_reply", "link/helpers.cpp", "  } else if (text[0] == '0') {\n    base = 8;",
     "  } else if (text[0] == '0') {\n    base = 10;"),
    ("helpers.address_max", "link/helpers.cpp", "static_cast<uint32_t>(*address) > gpib_address_max",
     "static_cast<uint32_t>(*address) > gpib_address_max + 1"),
    ("helpers.empty_reply_silent", "link/helpers.cpp", "    report_error(\" %s: no data available\\n\", reader);\n",
     "\n"),
    ("helpers.interface_length", "link/helpers.cpp", "std::strlen(name) > gpib_interface_name_max",
     "std::strlen(name) > gpib_interface_name_max + 8"),
    # The image loader.
    ("loader.max_size", "image/loader.cpp", "if (n > fw_max_size)", "if (n >= fw_max_size)"),
    ("loader.header_only", "image/loader.cpp", "if (n < fw_header_size)", "if (n <= fw_header_size)"),
    ("loader.length_limit", "image/loader.cpp", "if (uint64_t{fw_header_size} + fw_length > fw_max_size)",
     "if (uint64_t{fw_header_size} + fw_length >= fw_max_size)"),
    ("loader.prefill", "image/loader.cpp", "fw_buffer.fill(0xFF);", "fw_buffer.fill(0x00);"),
    ("loader.stopped_is_corrupt", "image/loader.cpp", "result != fw_load_ok && result != fw_load_stopped",
     "result != fw_load_ok"),
    ("loader.lower_address", "image/loader.cpp", "if (fw_address != fw_body_address)",
     "if (fw_address > fw_body_address)"),
    # The simulated instrument.
    ("sim.boot_length", "sim/memory.cpp", "uint64_t(header_size) + c.fw_length <= firmware_area_size",
     "uint64_t(header_size) + c.fw_length < firmware_area_size"),
    ("sim.erase_boot_sector", "sim/commands.cpp", "if (s >= first_boot_sector) {", "if (s > first_boot_sector) {"),
    ("sim.program_last_sector", "sim/commands.cpp", "(offset + length - 1) / sector_size >= first_boot_sector",
     "(offset + length) / sector_size >= first_boot_sector"),
    ("sim.boot_header_only", "sim/commands.cpp", "begin_restart(in, c.valid() ? app_mode : 0);",
     "begin_restart(in, c.header_ok ? app_mode : 0);"),
    ("sim.erase_count", "sim/commands.cpp", "a[1] <= sector_count - a[0]", "a[1] < sector_count - a[0]"),
    ("sim.unlock_code", "sim/commands.cpp", "numbers(args, a, 1) && a[0] == access_code", "numbers(args, a, 1)"),
    ("sim.mode1_locked", "sim/commands.cpp", "(mode < 2 || in.unlocked)", "(mode < 1 || in.unlocked)"),
    # Finding and binding the machine's VISA library.
    ("visa.empty_override", "link/library_linux.cpp", "const char* platform_visa_override() { return nonempty_env(\"KESLOAD_VISA\"); }",
     "const char* platform_visa_override() { return std::getenv(\"KESLOAD_VISA\"); }"),
    ("visa.lazy_binding", "link/library_linux.cpp", "dlopen(candidate, RTLD_NOW | RTLD_LOCAL)",
     "dlopen(candidate, RTLD_LAZY | RTLD_LOCAL)"),
    ("visa.root_always", "link/library_linux.cpp", "const char* root = nonempty_env(\"KESLOAD_VISA_ROOT\");",
     "const char* root = nonempty_env(\"KESLOAD_VISA_ROOT\") != nullptr ? nonempty_env(\"KESLOAD_VISA_ROOT\") : \"\";"),
    ("visa.bare_name_path", "link/library_linux.cpp", "if (bare && dlinfo(library, RTLD_DI_ORIGIN, folder.data()) == 0",
     "if (!bare && dlinfo(library, RTLD_DI_ORIGIN, folder.data()) == 0"),
    ("visa.loader_repeats_name", "link/library_linux.cpp",
     "std::strncmp(error + length, \": \", 2) == 0) {\n    error += length + 2;",
     "std::strncmp(error + length, \": \", 2) == 0) {\n    error += 0;"),
    ("visa.not_a_folder", "link/library_linux.cpp", "error == ENOENT || error == ENOTDIR", "error == ENOENT"),
    ("visa.bits_untold", "link/library_linux.cpp", "elf_class == own_class ? \"\" :", "true ? \"\" :"),
    ("visa.fifo_by_name", "link/library_linux.cpp",
     "    if (!S_ISREG(status.st_mode)) {\n      std::snprintf(reason, room, \"not a regular file\");\n    }\n    const size_t",
     "    if (!S_ISREG(status.st_mode)) {\n      return false;\n    }\n    const size_t"),
    ("visa.no_file_named", "link/visa_bind.cpp", "!library.path_cut && std::strcmp(library.path.data(), candidate) != 0",
     "!library.path_cut && false"),
    ("visa.last_required", "link/visa_bind.cpp", "wanted.functions[i] == nullptr && i < wanted.required",
     "wanted.functions[i] == nullptr && i + 1 < wanted.required"),
    ("visa.tried_list_short", "link/visa_bind.cpp", "for (size_t i = 0; i < tried_count; ++i)",
     "for (size_t i = 0; i + 1 < tried_count; ++i)"),
    ("visa.path_limit", "link/library_linux.cpp",
     "note->path_too_long = n < 0 || static_cast<size_t>(n) >= note->path.size();\n  }\n  if (bare",
     "note->path_too_long = n < 0;\n  }\n  if (bare"),
    # kescheck.
    ("kescheck.resource_gpib0", "tools/kescheck/report.cpp", "gpib_resource_name(address, interface_name, resource);",
     "gpib_resource_name(address, nullptr, resource);"),
    ("kescheck.length_hex", "tools/kescheck/report.cpp", "{\"fw_length\", true,", "{\"fw_length\", false,"),
    ("kescheck.mode1_unknown", "tools/kescheck/report.cpp", "  case 1:\n  case 2:", "  case 2:"),
    ("kescheck.area", "tools/kescheck/report.cpp", "uint64_t{fw_header_size} + flash.length > fw_max_size",
     "uint64_t{fw_header_size} + flash.length >= fw_max_size"),
    ("kescheck.list_takes_address", "tools/kescheck/kescheck.cpp", "(list && (address_given || operands > 0))",
     "(list && operands > 0)"),
    ("kescheck.pattern_unescaped", "tools/kescheck/report.cpp", "if (!is_letter(c) && !is_digit(c)) {",
     "if (c == ':') {"),
    ("kescheck.board_zero", "tools/kescheck/report.cpp", "c == '0' && i + 1 < digits", "c == '0' && i + 1 <= digits"),
    ("kescheck.mode1_unlocked", "tools/kescheck/report.cpp", "if (mode == 2 || mode == 3) {", "if (mode >= 1) {"),
    ("kescheck.body_crc_word", "tools/kescheck/report.cpp", "report_out(\"body_crc: bad 0x%08X\\n\", calculated);",
     "report_out(\"body_crc: bad 0x%08X\\n\", flash.crc);"),
    ("kescheck.mode4_goes_on", "tools/kescheck/report.cpp", "if (mode > 3)", "if (mode > 4)"),
    ("kescheck.visa_line", "tools/kescheck/report.cpp", "report_out(\"visa: %s\\n\", gpib_printable(visa, text));",
     "report_out(\"visa: %s\\n\", visa);"),
    ("kescheck.in_use_listing", "tools/kescheck/report.cpp", "  case 2:\n    report_out(\"%s: in use by another program\\n\", name.data());\n    break;\n",
     ""),
    ("kescheck.report_version_minor", "tools/kescheck/visa_report.cpp", "(version >> 8) & 0xFFF", "(version >> 8) & 0xFF"),
    ("kescheck.report_not_set", "tools/kescheck/visa_report.cpp", "report_out(\"KESLOAD_VISA: not set\\nsearch:\\n\");",
     "report_out(\"search:\\n\");"),
    # kesimage's file handling.
    ("kesimage.mode_base", "tools/kesimage/write_posix.cpp", "fchmod(fd, 0666 & ~mask)", "fchmod(fd, 0644 & ~mask)"),
    ("kesimage.hangup_not_ignored", "tools/kesimage/files_posix.cpp",
     "sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN", "sigaction(signal, nullptr, &before) == 0"),
    ("kesimage.hangup_leaves_temp", "tools/kesimage/files_posix.cpp",
     "  action.sa_handler = on_signal;\n  sigemptyset(&action.sa_mask);\n  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {\n    sigaddset(&action.sa_mask, signal);\n  }\n  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {",
     "  action.sa_handler = on_signal;\n  sigemptyset(&action.sa_mask);\n  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {\n    sigaddset(&action.sa_mask, signal);\n  }\n  for (const int signal : {SIGINT, SIGTERM}) {"),
    ("kesimage.link_followed", "tools/kesimage/files_posix.cpp", "  if (S_ISLNK(output.st_mode)) {\n    return output_symbolic_link;\n  }\n", ""),
    ("kesimage.body_device", "tools/kesimage/files_posix.cpp", "fstat(fd, &about) != 0 || !S_ISREG(about.st_mode)",
     "fstat(fd, &about) != 0 || S_ISDIR(about.st_mode)"),
    ("kesimage.largest_body", "tools/kesimage/kesimage.cpp", "if (length > fw_max_size - fw_header_size) {",
     "if (length >= fw_max_size - fw_header_size) {"),
    ("kesimage.info_length_hex", "tools/kesimage/kesimage.cpp", "report_out(\"fw_length:  %u\\n\"",
     "report_out(\"fw_length:  0x%08X\\n\""),
    ("kesimage.temp_suffix", "tools/kesimage/write_posix.cpp", ("\"%s.XXXXXX\", path", "\"%.*s%.*s.XXXXXX\", static_cast"),
     ("\"%s.tmp.XXXXXX\", path", "\"%.*s%.*s.tmp.XXXXXX\", static_cast")),
]

AREAS = {
    "update": "update phases",
    "session": "session",
    "helpers": "session",
    "loader": "image loader",
    "sim": "simulator",
    "visa": "VISA search and binding",
    "kescheck": "kescheck",
    "kesimage": "kesimage files",
}


def run(command, log, **kwargs):
    with open(log, "a") as out:
        out.write("$ " + " ".join(command) + "\n")
        out.flush()
        return subprocess.run(["nice", "-n", "10"] + command, stdout=out, stderr=subprocess.STDOUT, **kwargs)


def tracked_files(source):
    if source != ROOT:
        return [os.path.relpath(os.path.join(folder, file), source)
                for folder, _, files in os.walk(source) for file in files]
    listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-co", "--exclude-standard", "-z"],
                            check=True, capture_output=True).stdout.decode()
    return [name for name in listed.split("\0") if name]


def same_contents(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as x, open(b, "rb") as y:
        return x.read() == y.read()


def sync_tree(revision):
    """Makes the scratch copy hold what the tree (or the commit) holds;
    unchanged files keep their times, so that the build redoes only what
    changed."""
    root = ROOT
    if revision is not None:
        root = os.path.join(WORK, "at")
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(root)
        archive = subprocess.run(["git", "-C", ROOT, "archive", revision], check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", root], input=archive, check=True)
    names = set(tracked_files(root))
    for name in names:
        source = os.path.join(root, name)
        target = os.path.join(TREE, name)
        if os.path.islink(source) or not os.path.isfile(source):
            continue
        if os.path.isfile(target) and same_contents(source, target):
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        # A new time, not the source's: the build must see it as changed.
        shutil.copy(source, target)
    for folder, _, files in os.walk(TREE):
        for file in files:
            name = os.path.relpath(os.path.join(folder, file), TREE)
            if name not in names:
                os.remove(os.path.join(folder, file))


def planting(text, original, planted):
    """The text with the fault planted, or None when it does not apply once."""
    pairs = zip(original, planted) if isinstance(original, tuple) else [(original, planted)]
    for before, after in pairs:
        if text.count(before) == 1:
            return text.replace(before, after)
    return None


def check_faults(root=ROOT):
    problems = []
    for name, file, original, planted in FAULTS:
        with open(os.path.join(root, file)) as f:
            if planting(f.read(), original, planted) is None:
                problems.append(f"{name}: its text is not in {file} exactly once")
    return problems


def failed_tests(log):
    failed = []
    with open(log) as f:
        listing = False
        for line in f:
            if line.startswith("The following tests FAILED"):
                listing = True
            elif listing and " - " in line:
                failed.append(line.split(" - ", 1)[1].split(" (")[0].strip())
    return failed


def try_fault(fault):
    name, file, original, planted = fault
    path = os.path.join(TREE, file)
    log = os.path.join(LOGS, name + ".log")
    if os.path.exists(log):
        os.remove(log)
    with open(path) as f:
        text = f.read()
    faulty = planting(text, original, planted)
    if faulty is None:
        return "does not apply", []
    try:
        with open(path, "w") as f:
            f.write(faulty)
        if run(["cmake", "--build", BUILD, "-j2"], log).returncode != 0:
            return "build fails", []
        # The whole suite, its longest test (the sweep) last and only when
        # the others all pass: the same verdict, sooner for a caught fault.
        ctest = ["ctest", "--test-dir", BUILD, "-j2", "--stop-on-failure", "--timeout", "300"]
        if run(ctest + ["-E", "^sweep$"], log).returncode == 0 and run(ctest + ["-R", "^sweep$"], log).returncode == 0:
            return "missed", []
        return "caught", failed_tests(log)
    finally:
        with open(path, "w") as f:
            f.write(text)


def main():
    args = sys.argv[1:]
    no_baseline = "--no-baseline" in args  # the unplanted suite is known to pass
    args = [a for a in args if a != "--no-baseline"]
    revision = None
    if "--at" in args:
        at = args.index("--at")
        revision = args[at + 1]
        del args[at:at + 2]
    if "--list" in args:
        for name, file, _, _ in FAULTS:
            print(f"{name:34} {file}")
        return 0
    problems = check_faults()
    if problems or "--check" in args:
        print("\n".join(problems) if problems else f"{len(FAULTS)} faults, each applies once")
        return 1 if problems else 0
    chosen = [f for f in FAULTS if not args or f[0] in args]
    if args and len(chosen) != len(args):
        print("unknown fault:", " ".join(sorted(set(args) - {f[0] for f in chosen})))
        return 2

    # SIGTERM unwinds like Ctrl-C, so that the planted file is put back.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    os.makedirs(LOGS, exist_ok=True)
    sync_tree(revision)
    baseline = os.path.join(LOGS, "baseline.log")
    if os.path.exists(baseline):
        os.remove(baseline)
    if not os.path.exists(os.path.join(BUILD, "CMakeCache.txt")):
        run(["cmake", "-S", TREE, "-B", BUILD], baseline, check=True)
    if run(["cmake", "--build", BUILD, "-j2"], baseline).returncode != 0:
        print("the unplanted tree does not build: see", baseline)
        return 1
    if not no_baseline and len(chosen) > 1:
        if run(["ctest", "--test-dir", BUILD, "-j2", "--timeout", "300"], baseline).returncode != 0:
            print("the unplanted tree fails its tests: see", baseline)
            return 1

    results = []
    with open(os.path.join(WORK, "results.txt" if revision is None else f"results-{revision}.txt"), "w") as summary:
        for fault in chosen:
            started = time.time()
            outcome, failed = try_fault(fault)
            line = f"{fault[0]:34} {outcome:14} {int(time.time() - started):4}s  {' '.join(failed[:3])}"
            print(line, flush=True)
            summary.write(line + "\n")
            summary.flush()
            results.append((fault[0], outcome))
        # Put the last planted file's object back as the tree has it.
        run(["cmake", "--build", BUILD, "-j2"], baseline)

        totals = {}
        for name, outcome in results:
            area = AREAS.get(name.split(".")[0], "other")
            caught, planted = totals.get(area, (0, 0))
            totals[area] = (caught + (outcome == "caught"), planted + (outcome in ("caught", "missed")))
        for area, (caught, planted) in totals.items():
            line = f"{area:26} {caught} of {planted} caught"
            print(line)
            summary.write(line + "\n")
        caught = sum(c for c, _ in totals.values())
        planted = sum(p for _, p in totals.values())
        line = f"{'all':26} {caught} of {planted} caught" + (f" ({100 * caught // planted}%)" if planted else "")
        print(line)
        summary.write(line + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
