// What the simulator and the stand-in need of the operating system's files:
// bytes at offsets, never translated, shared with other processes that use
// the same state file or trace. Each platform has its own file; the build
// picks it. Failures return -1 (or false) with errno set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ksim {

// An existing file, for reading or for both. Never waits: a FIFO in its
// place must not hang the open.
int file_open(const char* path, bool writable);
// A new file for writing; fails when something is there already.
int file_create_new(const char* path);
// For appending with file_append, created when missing.
int file_open_append(const char* path);
// Whether fd is a regular file, and its size.
bool file_regular(int fd, uint64_t& size);
long file_read_at(int fd, void* out, size_t length, uint64_t at); // 0: the file ends there
long file_write_at(int fd, const void* data, size_t length, uint64_t at);
long file_write(int fd, const void* data, size_t length);
// One piece at the end of the file, whole, even when other processes append
// to the same file.
long file_append(int fd, const void* data, size_t length);
// Makes the file size bytes long with its space taken now: 0, or an errno.
int file_reserve(int fd, uint64_t size);
int file_sync(int fd);
int file_close(int fd);
// Puts the finished file temp at path unless something is there already
// (EEXIST): 0, or an errno. temp is gone afterwards either way.
int file_publish(const char* temp, const char* path);
bool file_exists(const char* path);
void file_remove(const char* path);

// Whether the name a file was opened by still names it. A state file removed
// or replaced under a running instrument is no longer its state: a later run
// would find another instrument there.
enum class file_name : uint8_t { same, removed, replaced };
// What keeps watch over path's name (its folder, wherever the process's
// current folder goes later); -1 when nothing needs keeping or on failure.
int file_watch_open(const char* path);
void file_watch_close(int watch);
// What became of path's name, opened as fd and watched by watch; same when
// it cannot be told.
file_name file_name_now(int fd, int watch, const char* path);

// An exclusive lock of fd's file across processes, which the system drops
// when the process ends however it ends. A file open several times in one
// process holds one lock per opening. The lock lies beyond any data, so the
// file's bytes stay free to read and write.
enum class file_lock : uint8_t { taken, busy, failed };
file_lock file_lock_try(int fd);
void file_lock_release(int fd);
// Whether another opening of the file, here or in another process, holds
// the lock: 1 yes, 0 no, -1 failed (errno set). Taking no lock meanwhile.
int file_lock_held_elsewhere(int fd);

long process_id();
// An environment variable's value in UTF-8, or null when it is not set.
// The value stays until the next call.
const char* process_variable(const char* name);

// Whether a path names its file from the root (or a drive), and how long the
// folder part of a path is, its last separator included (0: none).
bool path_absolute(std::string_view path);
size_t path_folder_length(std::string_view path);

} // namespace ksim
