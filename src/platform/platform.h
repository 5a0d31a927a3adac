// The operating-system layer: clock, sleeping, the console's key input, raw files and the
// memory this process may have. Everything above it is portable; only platform_posix.cc
// knows which system calls do the work.
#pragma once

#include <cstdint>

// Run clock: a monotonic reading in seconds; only differences mean anything.
double clock_seconds();

void sleep_milliseconds(int32_t ms);

// Console key input. When standard input is a terminal, the first call of
// console_start_key_input switches it to non-canonical, no-echo input with the signal keys
// still on, so that typed bytes can be read one by one while Ctrl+C stays an interrupt.
// Returns false (and changes nothing) when standard input is not a terminal, is the
// controlling terminal of a background job, or key input has ended.
bool console_start_key_input();
// Reads whatever bytes are pending without waiting; returns their count (0 when none).
int console_read_pending(unsigned char* bytes, int capacity);
// Puts the terminal back into the mode it had before key input, for good. For a thread
// inside a signal handler that ends the process at once: safe there, it takes no lock.
void console_restore();
// The same for ordinary code: waits while another thread changes the mode or holds the
// process stopped, so that no thread can switch key input on afterwards.
void console_end_key_input();
// Runs action(argument), which stops the process (or ends it), with the terminal in the mode
// it had before key input and no thread able to change the mode until action returns; then,
// when key input was on and the process runs on in the foreground, switches it on again.
void console_while_restored(void (*action)(int), int argument);

// Files as raw byte streams. A result of 0 is success; otherwise the run-time error number
// that the caller stores (2 "file not found", 1 "illegal function call").
int platform_open_input(const char* name, int* fd, int64_t* size);
int platform_open_output(const char* name, int* fd);
// Reads up to capacity bytes; returns the count, 0 at the end of the file or on failure.
int64_t platform_read(int fd, unsigned char* bytes, int64_t capacity);
// Writes all bytes; returns false when any could not be written.
bool platform_write(int fd, const unsigned char* bytes, int64_t count);
bool platform_close(int fd);

// Puts /dev/null, open for reading only, in the place of a closed standard stream, so that no
// file opened later takes its number: the console's writes would land in that file. Writes
// to a closed standard output keep failing, now on a descriptor of its own.
void platform_hold_standard_streams();

// Writes bytes to standard error, retrying partial writes. Safe inside a signal handler.
void platform_write_stderr(const char* bytes, int64_t count);

// The most memory this process can have: physical memory, or a control group's limit or the
// address-space limit when one is lower. Read once and remembered.
int64_t process_memory_limit();

// Zero-filled memory straight from the system's pages, advised for huge pages (when
// platform_huge_pages is set); null when none can be had.
void* platform_map_pages(int64_t bytes);
void platform_unmap_pages(void* pages, int64_t bytes);
extern bool platform_huge_pages;

// The number of processors this process may run on (at least 1).
int32_t processor_count();
