// The numbered file table and the byte source of an open file.
#include <cstring>

#include "input/reader.h"
#include "platform/platform.h"
#include "runtime/runtime.h"

// Slot 0 stands for the console and is never handed out.
static FileHandle file_table[FILE_NUMBER_LIMIT + 1];

static bool valid_number(int32_t number) { return number >= 1 && number <= FILE_NUMBER_LIMIT; }

FileHandle* file_handle(int32_t number) {
  return valid_number(number) ? &file_table[number] : nullptr;
}

static void clear_slot(FileHandle* slot) {
  slot->mode = FILE_FREE;
  slot->descriptor = -1;
  slot->size = 0;
  slot->pushback_count = 0;
  slot->lookahead = END_OF_DATA;
  slot->stream_ended = false;
  slot->text_ended = false;
  slot->write_failed = false;
  slot->buffer_position = 0;
  slot->buffer_length = 0;
}

int32_t free_file_number() {
  lock_global();
  int32_t found = 0;
  for (int32_t number = 1; number <= FILE_NUMBER_LIMIT; ++number) {
    if (file_table[number].mode == FILE_FREE) {
      found = number;
      break;
    }
  }
  unlock_global();
  return found;
}

static int32_t open_file(const char* name, int32_t number, FileMode mode) {
  lock_global();
  arm_exit_step(EXIT_CLOSE_FILES, close_all_files);
  int32_t code = 0;
  if (!valid_number(number) || file_table[number].mode != FILE_FREE) {
    code = 1;
  } else {
    FileHandle* slot = &file_table[number];
    clear_slot(slot);
    int descriptor = -1;
    int64_t size = 0;
    code = mode == FILE_INPUT ? platform_open_input(name, &descriptor, &size)
                              : platform_open_output(name, &descriptor);
    if (code == 0) {
      slot->mode = mode;
      slot->descriptor = descriptor;
      slot->size = size;
    }
  }
  unlock_global();
  return set_error_number(code);
}

int32_t open_for_input(const char* name, int32_t number) {
  return open_file(name, number, FILE_INPUT);
}

int32_t open_for_output(const char* name, int32_t number) {
  return open_file(name, number, FILE_OUTPUT);
}

static bool flush_output(FileHandle* slot) {
  if (slot->buffer_length > 0) {
    if (!platform_write(slot->descriptor, slot->buffer, slot->buffer_length)) {
      slot->write_failed = true;
    }
    slot->buffer_length = 0;
  }
  return !slot->write_failed;
}

int32_t write_bytes(int32_t number, const char* bytes, int64_t count) {
  lock_global();
  FileHandle* slot = file_handle(number);
  int32_t code = 0;
  if (!slot || slot->mode != FILE_OUTPUT) {
    code = 1;
  } else {
    while (count > 0) {
      if (slot->buffer_length == FILE_BUFFER_BYTES) flush_output(slot);
      int64_t room = FILE_BUFFER_BYTES - slot->buffer_length;
      int64_t part = count < room ? count : room;
      memcpy(slot->buffer + slot->buffer_length, bytes, static_cast<size_t>(part));
      slot->buffer_length += static_cast<int32_t>(part);
      bytes += part;
      count -= part;
    }
  }
  unlock_global();
  return set_error_number(code);
}

// Closes an open slot; false when an output file lost bytes or did not close cleanly.
static bool close_slot(FileHandle* slot) {
  bool sound = true;
  if (slot->mode == FILE_OUTPUT) sound = flush_output(slot);
  bool closed = platform_close(slot->descriptor);
  if (slot->mode == FILE_OUTPUT) sound = sound && closed;
  clear_slot(slot);
  return sound;
}

int32_t close_file(int32_t number) {
  lock_global();
  FileHandle* slot = file_handle(number);
  int32_t code = 0;
  if (!slot || slot->mode == FILE_FREE) {
    code = 1;
  } else if (!close_slot(slot)) {
    code = 3;
  }
  unlock_global();
  return set_error_number(code);
}

void close_all_files() {
  lock_global();
  for (int32_t number = 1; number <= FILE_NUMBER_LIMIT; ++number) {
    if (file_table[number].mode != FILE_FREE) close_slot(&file_table[number]);
  }
  unlock_global();
}

bool input_exhausted(int32_t number) {
  lock_global();
  const FileHandle* slot = file_handle(number);
  const bool exhausted =
      slot && slot->mode == FILE_INPUT && slot->pushback_count == 0 &&
      (slot->text_ended || (slot->stream_ended && slot->lookahead == END_OF_DATA &&
                            slot->buffer_position == slot->buffer_length));
  unlock_global();
  return exhausted;
}

// The next byte of the stream as stored in the file, or END_OF_DATA.
static int stream_byte(FileHandle* source) {
  if (source->buffer_position == source->buffer_length) {
    if (source->stream_ended || source->mode != FILE_INPUT) return END_OF_DATA;
    int64_t got = platform_read(source->descriptor, source->buffer, FILE_BUFFER_BYTES);
    if (got <= 0) {
      source->stream_ended = true;
      return END_OF_DATA;
    }
    source->buffer_position = 0;
    source->buffer_length = static_cast<int32_t>(got);
  }
  return source->buffer[source->buffer_position++];
}

// Text mode: CR LF arrives as LF, and byte 26 ends the data for good.
int get_byte(FileHandle* source) {
  lock_global();
  int byte;
  if (source->pushback_count > 0) {
    byte = source->pushback[0];
    source->pushback_count--;
    memmove(source->pushback, source->pushback + 1, static_cast<size_t>(source->pushback_count));
  } else if (source->text_ended) {
    byte = END_OF_DATA;
  } else {
    if (source->lookahead != END_OF_DATA) {
      byte = source->lookahead;
      source->lookahead = END_OF_DATA;
    } else {
      byte = stream_byte(source);
    }
    if (byte == 26) {
      source->text_ended = true;
      byte = END_OF_DATA;
    } else if (byte == '\r') {
      int next = stream_byte(source);
      if (next == '\n') {
        byte = '\n';
      } else {
        source->lookahead = next;
      }
    }
  }
  unlock_global();
  return byte;
}

int32_t push_back(FileHandle* source, const unsigned char* bytes, int32_t count) {
  lock_global();
  int32_t code = 0;
  if (count < 0 || source->pushback_count + count > PUSHBACK_CAPACITY) {
    code = 3;
  } else {
    memmove(source->pushback + count, source->pushback,
            static_cast<size_t>(source->pushback_count));
    memcpy(source->pushback, bytes, static_cast<size_t>(count));
    source->pushback_count += count;
  }
  unlock_global();
  return set_error_number(code);
}
