// tourplan-import: turns a problem in the TSPLIB format into tourplan's problem file.
//
// TSPLIB is a strict format, so this reader is strict too and has nothing in common with the
// forgiving reader of tourplan itself: every fault ends the import with a one-line message, and
// no output file exists unless the whole input was understood and written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Beyond this the matrix text alone runs to hundreds of megabytes, and tourplan solves a few
// hundred points at most.
constexpr int64_t MAX_DIMENSION = 5000;

// A node's coordinates as written (z only for the three-dimensional types). For GEO, x is the
// latitude and y the longitude, both in degrees.minutes.
struct Point {
  double x;
  double y;
  double z = 0;
};

// The library's distance functions, each with its own rounding. The result is a whole number
// held in a double, since absurd coordinates can give one beyond the 64-bit range.
double euc_2d_distance(Point a, Point b);
double ceil_2d_distance(Point a, Point b);
double att_distance(Point a, Point b);
double geo_distance(Point a, Point b);
double euc_3d_distance(Point a, Point b);
double man_2d_distance(Point a, Point b);
double man_3d_distance(Point a, Point b);
double max_2d_distance(Point a, Point b);
double max_3d_distance(Point a, Point b);
// degrees.minutes to radians: the integer part counts degrees, the fraction minutes.
double geo_radians(double degrees_minutes);

// How the nearest points of a point are found for a coordinate type: the types whose costs grow
// with the Euclidean distance between the coordinates (EUC_2D, CEIL_2D, ATT in the plane,
// EUC_3D in space) or with the distance on the sphere (GEO); none for the others.
enum Geometry { GEOMETRY_NONE, GEOMETRY_PLANE, GEOMETRY_SPACE, GEOMETRY_SPHERE };

// Instances of a type with a geometry are read up to this size, without a table of costs past
// MAX_DIMENSION, when the caller asks for it (parse_tsplib).
constexpr int64_t MAX_POINTS_WITHOUT_TABLE = 10000000;

// N x N costs, row by row: costs[(r - 1) * N + (c - 1)] is the cost from node r to node c.
struct Problem {
  int64_t dimension = 0;
  std::vector<int64_t> costs;  // empty when read without a table
  // A coordinate type's nodes (1..N at 0..N-1) and distance rule: costs[(r - 1) * N + (c - 1)]
  // is distance(points[r - 1], points[c - 1]) for r != c.
  std::vector<Point> points;
  double (*distance)(Point, Point) = nullptr;
  Geometry geometry = GEOMETRY_NONE;
  std::string coordinate_type;  // the type's name (EUC_2D, ...); empty for EXPLICIT
  std::string name;  // NAME as written, maybe empty
  // Where to draw each node (1..N at 0..N-1): the display data, else the node coordinates;
  // empty when the file has neither or says NO_DISPLAY.
  std::vector<Point> drawing;
  bool geographic = false;  // drawing holds GEO latitudes (x) and longitudes (y)
};

struct ImportError {
  int64_t line = 0;  // 1-based; 0 when the fault belongs to no single line
  std::string message;
};

// Reads the whole text of a TSPLIB file: TYPE TSP or ATSP, EDGE_WEIGHT_TYPE EXPLICIT (any row or
// column matrix format) or one of the coordinate types. Symmetric matrices come out in full.
// Up to most_table_points nodes the costs come as a table; beyond, up to most_points, only a
// type with a geometry is read, without a table (each distance must stay below 2^40 then).
bool parse_tsplib(std::string_view text, Problem* problem, ImportError* error,
                  int64_t most_table_points = MAX_DIMENSION, int64_t most_points = MAX_DIMENSION);

// A problem given straight by its points under a coordinate type named as EDGE_WEIGHT_TYPE
// names it (EUC_2D, GEO, ...): the costs, checks and limits of a TSPLIB file of that type with
// these points, as parse_tsplib reads it. False with a message (line 0) for a name that is not
// such a type, or points that type refuses.
bool coordinate_problem(std::string_view type_name, std::vector<Point> points, Problem* problem,
                        ImportError* error, int64_t most_table_points = MAX_DIMENSION);
// How many coordinates a point of the named coordinate type has (2 or 3) and its geometry;
// false for a name that is not a coordinate type this reader takes.
bool coordinate_type(std::string_view type_name, int* coordinates, Geometry* geometry);
// The coordinate types this reader takes, for messages: "EUC_2D, CEIL_2D, ...".
std::string coordinate_type_names();

// tourplan's problem file: N, then N rows of N costs separated by single spaces, CR LF ends.
std::string problem_file_text(const Problem& problem);

// "-" stands for standard input and standard output. Both return false with a message that
// names the file.
bool read_input(const std::string& path, std::string* bytes, std::string* message);
// A file is written to a temporary file in the same folder and renamed into place only once it
// is complete; on failure the temporary is removed and an existing file stays as it was.
bool write_output(const std::string& path, std::string_view bytes, std::string* message);

// The same in steps, for several files that appear together or not at all: each temporary is
// created first (a folder that cannot take it fails before any work), then filled, and all
// are renamed at the end; discarding removes a temporary that is still there. Regular files
// only, not "-".
struct StagedOutput {
  std::string path;       // as given, for messages
  std::string target;     // the file it replaces (a link followed)
  std::string temporary;  // empty once renamed or discarded
  int fd = -1;
};
bool stage_output(const std::string& path, StagedOutput* staged, std::string* message);
bool fill_staged_output(StagedOutput* staged, std::string_view bytes, std::string* message);
bool commit_staged_output(StagedOutput* staged, std::string* message);
void discard_staged_output(StagedOutput* staged);

// tourplan's problem file read strictly: N, then the N x N costs row by row, each a whole
// number in the 64-bit range, separated by blanks (spaces, tabs) and line ends (LF, CR LF or
// a lone CR). Anything else is refused with its line. The name and drawing stay empty.
bool parse_problem_file(std::string_view text, Problem* problem, ImportError* error);
// An item quoted for a one-line message: control and non-ASCII bytes escaped, long ones cut.
std::string quoted_item(std::string_view text);

// The least memory, in bytes, that tourplan's full dynamic programme needs for a problem.
long double solver_footprint(const Problem& problem);
// Physical memory, or the memory control group's limit when that is lower.
int64_t machine_memory();
// One line saying that tourplan will refuse the problem for want of memory (memory_bytes), or
// will not fill every subset where it would have; empty when neither.
std::string memory_note(const Problem& problem, long double memory_bytes);

// The whole import, as the command runs it. A note on memory, if any, goes to *note.
bool import_file(const std::string& input, const std::string& output, std::string* message,
                 std::string* note = nullptr);
