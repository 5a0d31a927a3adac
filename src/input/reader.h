// The problem file reader: the numbered file table, the byte source with its text-mode
// translation, the item reader and the conversion of an item into a signed 64-bit number.
//
// Reading never fails: a missing or malformed item reads as 0 or as the value of its numeric
// beginning. Only opening and closing report errors. Every operation except free_file_number
// stores its result code as the calling thread's error number and returns it:
// 0 success, 1 "illegal function call", 2 "file not found", 3 "file I/O error".
#pragma once

#include <cstdint>

constexpr int32_t FILE_NUMBER_LIMIT = 255;
constexpr int32_t PUSHBACK_CAPACITY = 4;
constexpr int32_t MAX_ITEM_LENGTH = 67;
constexpr int32_t SHORT_ITEM_LENGTH = 9;
constexpr int32_t FILE_BUFFER_BYTES = 8192;
constexpr int END_OF_DATA = -1;

enum FileMode : int32_t { FILE_FREE = 0, FILE_INPUT = 1, FILE_OUTPUT = 2 };

struct FileHandle {
  int32_t mode;
  int descriptor;
  int64_t size;  // bytes at the open; 0 for output
  unsigned char pushback[PUSHBACK_CAPACITY];
  int32_t pushback_count;
  int32_t lookahead;    // byte read after a CR that was not an LF, or END_OF_DATA
  bool stream_ended;    // the stream gave no more bytes (end of file or a failed read)
  bool text_ended;      // byte 26 was met: no further byte is ever delivered
  bool write_failed;
  int32_t buffer_position;
  int32_t buffer_length;
  unsigned char buffer[FILE_BUFFER_BYTES];
};

struct Item {
  char text[MAX_ITEM_LENGTH + 1];
  int32_t length;
  bool is_float;
};

// The file table.
int32_t free_file_number();  // lowest free number 1..255, 0 when all are in use
int32_t open_for_input(const char* name, int32_t number);
int32_t open_for_output(const char* name, int32_t number);
int32_t begin_input(int32_t number);
int32_t read_number(int64_t* value);
// Closes the file. For a file open for output the code is 3 when any byte could not be
// written or the close failed: a truncated solution file is never reported as written.
int32_t close_file(int32_t number);
// Appends bytes to a file open for output. Stores 0, or 1 when the number is not open for
// output; a failed write is remembered and reported by close_file.
int32_t write_bytes(int32_t number, const char* bytes, int64_t count);
// Closes every open file (the process's end).
void close_all_files();
// Whether every further item of a file open for input can only read as 0: nothing is pushed
// back and the data have ended. The caller may then stop reading.
bool input_exhausted(int32_t number);

// The slot of a file number, or null outside 1..255.
FileHandle* file_handle(int32_t number);

// Inner operations of the reader, exposed for tests.
int get_byte(FileHandle* source);  // a byte 0..255, or END_OF_DATA
int32_t push_back(FileHandle* source, const unsigned char* bytes, int32_t count);
// Reads one item of at most max_length characters; a null source is at its end.
void read_item(FileHandle* source, int32_t max_length, Item* item);
// The value of an item by the integer and float rules.
int64_t item_value(const Item* item);
