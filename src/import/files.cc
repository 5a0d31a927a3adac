// Reading the input whole, writing the output so that it appears complete or not at all.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "import/tsplib.h"

// A larger input is surely not a problem of at most MAX_DIMENSION nodes (or never ends).
constexpr size_t MAX_INPUT_BYTES = size_t{1} << 30;

static std::string input_name(const std::string& path) {
  return path == "-" ? "standard input" : path;
}

// "name: what: reason", the reason from errno as it is on entry.
static std::string system_error(const std::string& name, const char* what) {
  const int code = errno;
  return name + ": " + what + ": " + strerror(code);
}

std::string problem_file_text(const Problem& problem) {
  std::string text;
  text.reserve(static_cast<size_t>(problem.dimension * (problem.dimension + 1) * 6 + 16));
  char digits[24];
  auto append = [&](int64_t value) {
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    text.append(digits, result.ptr);
  };
  append(problem.dimension);
  text += "\r\n";
  for (int64_t r = 0; r < problem.dimension; ++r) {
    for (int64_t c = 0; c < problem.dimension; ++c) {
      if (c > 0) text += ' ';
      append(problem.costs[r * problem.dimension + c]);
    }
    text += "\r\n";
  }
  return text;
}

bool read_input(const std::string& path, std::string* bytes, std::string* message) {
  const int fd = path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *message = system_error(path, "cannot open");
    return false;
  }
  bytes->clear();
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      ok = false;
      *message = system_error(input_name(path), "cannot read");
      break;
    }
    if (count == 0) break;
    if (bytes->size() + static_cast<size_t>(count) > MAX_INPUT_BYTES) {
      ok = false;
      *message = input_name(path) + ": larger than 1 GiB, too large for a problem";
      break;
    }
    bytes->append(buffer, static_cast<size_t>(count));
  }
  if (fd != STDIN_FILENO) close(fd);
  return ok;
}

static bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = write(fd, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(count));
  }
  return true;
}

bool stage_output(const std::string& path, StagedOutput* staged, std::string* message) {
  staged->path = path;
  staged->target = path;
  staged->temporary.clear();
  staged->fd = -1;
  // Renaming over a device or a pipe would replace it, so only regular files are written;
  // a link is followed so that the file it names is replaced and the link kept.
  struct stat status;
  if (stat(path.c_str(), &status) == 0) {
    if (!S_ISREG(status.st_mode)) {
      *message = path + ": not a regular file (use '-' for standard output)";
      return false;
    }
    if (char* resolved = realpath(path.c_str(), nullptr)) {
      staged->target = resolved;
      free(resolved);
    }
  }
  std::string temporary = staged->target + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    *message = system_error(path, "cannot create");
    return false;
  }
  staged->temporary = temporary;
  staged->fd = fd;
  return true;
}

bool fill_staged_output(StagedOutput* staged, std::string_view bytes, std::string* message) {
  // mkstemp makes the file private; the output gets the mode any newly created file would.
  const mode_t mask = umask(0);
  umask(mask);
  bool ok = fchmod(staged->fd, 0666 & ~mask) == 0 && write_all(staged->fd, bytes) &&
            fsync(staged->fd) == 0;
  if (!ok) *message = system_error(staged->path, "cannot write");
  if (close(staged->fd) != 0 && ok) {
    ok = false;
    *message = system_error(staged->path, "cannot write");
  }
  staged->fd = -1;
  return ok;
}

bool commit_staged_output(StagedOutput* staged, std::string* message) {
  if (rename(staged->temporary.c_str(), staged->target.c_str()) != 0) {
    *message = system_error(staged->path, "cannot replace");
    return false;
  }
  staged->temporary.clear();
  return true;
}

void discard_staged_output(StagedOutput* staged) {
  if (staged->fd >= 0) close(staged->fd);
  staged->fd = -1;
  if (!staged->temporary.empty()) unlink(staged->temporary.c_str());
  staged->temporary.clear();
}

bool write_output(const std::string& path, std::string_view bytes, std::string* message) {
  if (path == "-") {
    if (write_all(STDOUT_FILENO, bytes)) return true;
    *message = system_error("standard output", "cannot write");
    return false;
  }
  StagedOutput staged;
  if (!stage_output(path, &staged, message)) return false;
  const bool ok =
      fill_staged_output(&staged, bytes, message) && commit_staged_output(&staged, message);
  discard_staged_output(&staged);
  return ok;
}

bool import_file(const std::string& input, const std::string& output, std::string* message,
                 std::string* note) {
  std::string text;
  if (!read_input(input, &text, message)) return false;
  Problem problem;
  ImportError error;
  if (!parse_tsplib(text, &problem, &error)) {
    *message = input_name(input) + ":";
    if (error.line > 0) *message += std::to_string(error.line) + ":";
    *message += " " + error.message;
    return false;
  }
  if (!write_output(output, problem_file_text(problem), message)) return false;
  if (note) *note = memory_note(problem, static_cast<long double>(machine_memory()));
  return true;
}
