#include "import/tsplib.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Matrix = std::vector<std::vector<int64_t>>;

Matrix rows_of(const Problem& problem) {
  Matrix rows(problem.dimension);
  for (int64_t r = 0; r < problem.dimension; ++r) {
    rows[r].assign(problem.costs.begin() + r * problem.dimension,
                   problem.costs.begin() + (r + 1) * problem.dimension);
  }
  return rows;
}

// Parses text that must be accepted, and returns its matrix.
Matrix parse_ok(const std::string& text) {
  Problem problem;
  ImportError error;
  EXPECT_TRUE(parse_tsplib(text, &problem, &error))
      << "line " << error.line << ": " << error.message << "\n"
      << text;
  return rows_of(problem);
}

std::string explicit_instance(const char* type, const char* format, const char* numbers,
                              int dimension = 4) {
  return std::string("NAME: tiny\nTYPE: ") + type + "\nDIMENSION: " + std::to_string(dimension) +
         "\nEDGE_WEIGHT_TYPE: EXPLICIT\nEDGE_WEIGHT_FORMAT: " + format + "\nEDGE_WEIGHT_SECTION\n" +
         numbers + "\nEOF\n";
}

TEST(Distances, EachTypeRoundsItsOwnWay) {
  struct Case {
    const char* rule;
    double (*distance)(Point, Point);
    Point a, b;
    double expected;
  } cases[] = {
      {"EUC_2D", euc_2d_distance, {0, 0}, {3, 4}, 5},
      {"EUC_2D", euc_2d_distance, {0, 0}, {1, 1}, 1},    // 1.414
      {"EUC_2D", euc_2d_distance, {0, 0}, {1, 2}, 2},    // 2.236
      {"EUC_2D", euc_2d_distance, {0, 0}, {1.5, 2}, 3},  // 2.5: halves go up
      {"EUC_2D", euc_2d_distance, {-1, -1}, {2, 3}, 5},
      {"EUC_2D", euc_2d_distance, {0, 0}, {0, 0.49}, 0},
      {"CEIL_2D", ceil_2d_distance, {0, 0}, {3, 4}, 5},
      {"CEIL_2D", ceil_2d_distance, {0, 0}, {1, 1}, 2},
      {"CEIL_2D", ceil_2d_distance, {0, 0}, {0, 0.01}, 1},
      {"ATT", att_distance, {0, 0}, {10, 30}, 10},  // sqrt(1000 / 10) is exactly 10
      {"ATT", att_distance, {0, 0}, {10, 0}, 4},    // 3.162 rounds to 3, below: 4
      {"ATT", att_distance, {0, 0}, {0, 25}, 8},    // 7.906 rounds up to 8 already
      {"ATT", att_distance, {5, 5}, {5, 5}, 0},
      // One degree on the equator is 111.32 km; the formula adds 1 and cuts.
      {"GEO", geo_distance, {0, 0}, {0, 1.00}, 112},
      {"GEO", geo_distance, {0, 0}, {1.00, 0}, 112},
      // 0.30 is 30 minutes, half a degree, not 0.3 degrees.
      {"GEO", geo_distance, {0, 0}, {0, 0.30}, 56},
      {"GEO", geo_distance, {0, -1.00}, {0, 1.00}, 223},
      {"GEO", geo_distance, {90, 0}, {-90, 0}, 20039},
      {"GEO", geo_distance, {12.34, 56.07}, {12.34, 56.07}, 1},
      {"EUC_3D", euc_3d_distance, {0, 0, 0}, {1, 2, 2}, 3},
      {"EUC_3D", euc_3d_distance, {0, 0, 0}, {1, 1, 1}, 2},  // 1.732
      {"MAN_2D", man_2d_distance, {0, 0}, {0.3, -0.3}, 1},   // the sum 0.6 is rounded
      {"MAN_2D", man_2d_distance, {0, 0}, {0.2, 0.2}, 0},
      {"MAN_3D", man_3d_distance, {0, 0, 0}, {-0.2, 0.2, 0.2}, 1},
      {"MAX_2D", max_2d_distance, {0, 0}, {-2.4, 1.5}, 2},  // each difference is rounded
      {"MAX_2D", max_2d_distance, {0, 0}, {0.4, 0.45}, 0},
      {"MAX_3D", max_3d_distance, {0, 0, 0}, {0.4, 1.4, -2.5}, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.distance(c.a, c.b), c.expected)
        << c.rule << " (" << c.a.x << ", " << c.a.y << ") to (" << c.b.x << ", " << c.b.y << ")";
    EXPECT_EQ(c.distance(c.b, c.a), c.expected) << c.rule << " reversed";
  }
}

TEST(Distances, GeoCoordinatesAreDegreesAndMinutes) {
  const double pi = 3.141592;
  struct Case {
    double written;
    double degrees;
  } cases[] = {{16.30, 16.5},
               {10.0, 10.0},
               {0.45, 0.75},
               {-5.21, -5.35},
               {-0.30, -0.5},
               // Past half a degree as written, still whole degrees and minutes.
               {0.55, 55.0 / 60},
               {-7.59, -(7 + 59.0 / 60)}};
  for (const Case& c : cases) {
    EXPECT_NEAR(geo_radians(c.written), pi * c.degrees / 180.0, 1e-12) << c.written;
  }
}

const Matrix SYMMETRIC_WITH_DIAGONAL = {{7, 1, 2, 3}, {1, 8, 4, 5}, {2, 4, 9, 6}, {3, 5, 6, 10}};
const Matrix SYMMETRIC_ZERO_DIAGONAL = {{0, 1, 2, 3}, {1, 0, 4, 5}, {2, 4, 0, 6}, {3, 5, 6, 0}};

TEST(MatrixFormats, EachFormatListsTheSameSymmetricMatrix) {
  struct Case {
    const char* format;
    const char* numbers;
    const Matrix* expected;
  } cases[] = {
      {"FULL_MATRIX", "7 1 2 3\n1 8 4 5\n2 4 9 6\n3 5 6 10", &SYMMETRIC_WITH_DIAGONAL},
      {"UPPER_ROW", "1 2 3\n4 5\n6", &SYMMETRIC_ZERO_DIAGONAL},
      {"LOWER_ROW", "1\n2 4\n3 5 6", &SYMMETRIC_ZERO_DIAGONAL},
      {"UPPER_DIAG_ROW", "7 1 2 3\n8 4 5\n9 6\n10", &SYMMETRIC_WITH_DIAGONAL},
      {"LOWER_DIAG_ROW", "7\n1 8\n2 4 9\n3 5 6 10", &SYMMETRIC_WITH_DIAGONAL},
      {"UPPER_COL", "1\n2 4\n3 5 6", &SYMMETRIC_ZERO_DIAGONAL},
      {"LOWER_COL", "1 2 3\n4 5\n6", &SYMMETRIC_ZERO_DIAGONAL},
      {"UPPER_DIAG_COL", "7\n1 8\n2 4 9\n3 5 6 10", &SYMMETRIC_WITH_DIAGONAL},
      {"LOWER_DIAG_COL", "7 1 2 3\n8 4 5\n9 6\n10", &SYMMETRIC_WITH_DIAGONAL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_ok(explicit_instance("TSP", c.format, c.numbers)), *c.expected) << c.format;
  }
}

TEST(MatrixFormats, FullMatrixIsTakenAsWritten) {
  const Matrix asymmetric = {{9999, 3, 5}, {4, 9999, -2}, {0, 8, 9999}};
  const char* numbers = "9999 3 5\n4 9999 -2\n0 8 9999";
  EXPECT_EQ(parse_ok(explicit_instance("ATSP", "FULL_MATRIX", numbers, 3)), asymmetric);
  EXPECT_EQ(parse_ok(explicit_instance("TSP", "FULL_MATRIX", numbers, 3)), asymmetric);
}

TEST(MatrixFormats, NumbersMayBeSpreadOverLinesInAnyWay) {
  const char* layouts[] = {
      "7 1 2 3 8 4 5 9 6 10",
      "7\n1\n2\n3\n8\n4\n5\n9\n6\n10",
      "  7 1 2\n\n 3 8 4 5 9\t6\n10  ",
      "7 1 2 3 8\r\n4 5 9 6 10\r",
  };
  for (const char* layout : layouts) {
    EXPECT_EQ(parse_ok(explicit_instance("TSP", "UPPER_DIAG_ROW", layout)), SYMMETRIC_WITH_DIAGONAL)
        << layout;
  }
}

const Matrix THREE_BY_THREE = {{0, 1, 2}, {1, 0, 3}, {2, 3, 0}};

TEST(KeywordLines, AcceptedLayouts) {
  const char* texts[] = {
      "TYPE: TSP\nDIMENSION: 3\nEDGE_WEIGHT_TYPE: EXPLICIT\nEDGE_WEIGHT_FORMAT: UPPER_ROW\n"
      "EDGE_WEIGHT_SECTION\n1 2\n3\nEOF\n",
      // Blanks around the colon or none; CR LF line ends; no EOF; no final line end.
      "TYPE:TSP\r\nDIMENSION :3\r\nEDGE_WEIGHT_TYPE : EXPLICIT\r\n"
      "EDGE_WEIGHT_FORMAT:\tUPPER_ROW \r\nEDGE_WEIGHT_SECTION\r\n1 2 3",
      // Indented lines, blank lines, an empty NAME, COMMENT twice, a colon after a section.
      "  NAME:\n\nCOMMENT : a: b\nCOMMENT : again\n\tTYPE : TSP\nDIMENSION: 3\n"
      "EDGE_WEIGHT_TYPE: EXPLICIT\nEDGE_WEIGHT_FORMAT: UPPER_ROW\nEDGE_WEIGHT_SECTION :\n1 2 3\n"
      "   EOF   \n",
      // Display data and tours are passed over, anything after EOF is not read.
      "TYPE: TSP\nDIMENSION: 3\nEDGE_WEIGHT_TYPE: EXPLICIT\nEDGE_WEIGHT_FORMAT: UPPER_ROW\n"
      "DISPLAY_DATA_TYPE: TWOD_DISPLAY\nDISPLAY_DATA_SECTION\n1 0.5 0.5\n2 1 1\n3 2 2\n"
      "TOUR_SECTION\n1 3 2\n-1\nEDGE_WEIGHT_SECTION\n1 2 3\nEOF\nDIMENSION: 99\nnonsense\n",
      // Coordinates alongside explicit weights are checked but do not change the costs.
      "TYPE: TSP\nDIMENSION: 3\nEDGE_WEIGHT_TYPE: EXPLICIT\nEDGE_WEIGHT_FORMAT: UPPER_ROW\n"
      "NODE_COORD_SECTION\n3 0 0\n1 5 5\n2 9 9\nEDGE_WEIGHT_SECTION\n1 2 3\n",
  };
  for (const char* text : texts) EXPECT_EQ(parse_ok(text), THREE_BY_THREE) << text;
}

TEST(Coordinates, NodesInAnyOrderAndAZeroDiagonal) {
  const char* header = "NAME: t\nTYPE: TSP\nDIMENSION: 3\nEDGE_WEIGHT_TYPE: ";
  struct Case {
    const char* weight_type;
    const char* nodes;
    Matrix expected;
  } cases[] = {
      {"EUC_2D\nEDGE_WEIGHT_FORMAT: FUNCTION",
       "1 0 0\n2 3 4\n3 0 1.5\n",
       {{0, 5, 2}, {5, 0, 4}, {2, 4, 0}}},
      {"EUC_2D", "3 0 1.5\n1 0.0 0e0\n2 3.0 4.0\n", {{0, 5, 2}, {5, 0, 4}, {2, 4, 0}}},
      {"CEIL_2D", "1 0 0\n2 3 4\n3 0 1.5\n", {{0, 5, 2}, {5, 0, 4}, {2, 4, 0}}},
      {"ATT", "1 0 0\n2 10 30\n3 10 0\n", {{0, 10, 4}, {10, 0, 10}, {4, 10, 0}}},
      // The formula gives 1 for a node and itself; the diagonal is still 0.
      {"GEO", "1 0 0\n2 0 1.00\n3 0 0.30\n", {{0, 112, 56}, {112, 0, 56}, {56, 56, 0}}},
      {"MAN_2D", "1 0 0\n2 3 4\n3 0 1.5\n", {{0, 7, 2}, {7, 0, 6}, {2, 6, 0}}},
      {"MAX_2D", "1 0 0\n2 3 4\n3 0 1.5\n", {{0, 4, 2}, {4, 0, 3}, {2, 3, 0}}},
      // Three coordinates a node, with or without NODE_COORD_TYPE saying so.
      {"EUC_3D", "1 0 0 0\n2 1 2 2\n3 0 0 7\n", {{0, 3, 7}, {3, 0, 5}, {7, 5, 0}}},
      {"MAN_3D\nNODE_COORD_TYPE: THREED_COORDS",
       "1 0 0 0\n2 1 2 2\n3 0 0 7\n",
       {{0, 5, 7}, {5, 0, 8}, {7, 8, 0}}},
      {"MAX_3D", "1 0 0 0\n2 1 2 2\n3 0 0 7\n", {{0, 2, 7}, {2, 0, 5}, {7, 5, 0}}},
  };
  for (const Case& c : cases) {
    const std::string text =
        std::string(header) + c.weight_type + "\nNODE_COORD_SECTION\n" + c.nodes + "EOF\n";
    EXPECT_EQ(parse_ok(text), c.expected) << text;
  }
}

TEST(Refusals, EachFaultIsNamedWithItsLine) {
  const std::string tsp = "TYPE: TSP\nDIMENSION: 3\n";
  const std::string explicit_upper =
      tsp + "EDGE_WEIGHT_TYPE: EXPLICIT\nEDGE_WEIGHT_FORMAT: UPPER_ROW\n";  // lines 1-4
  const std::string euc = tsp + "EDGE_WEIGHT_TYPE: EUC_2D\n";               // lines 1-3
  struct Case {
    std::string text;
    int64_t line;
    const char* message;
  } cases[] = {
      // Missing parts.
      {"", 0, "no TYPE"},
      {"TYPE: TSP\nEDGE_WEIGHT_TYPE: EUC_2D\nEOF\n", 0, "no DIMENSION"},
      {tsp, 0, "no EDGE_WEIGHT_TYPE"},
      {explicit_upper, 0, "no EDGE_WEIGHT_SECTION"},
      {euc + "EOF\n", 0, "no NODE_COORD_SECTION"},
      {tsp + "EDGE_WEIGHT_TYPE: EXPLICIT\nEDGE_WEIGHT_SECTION\n1 2 3\n", 4,
       "EDGE_WEIGHT_TYPE EXPLICIT needs an EDGE_WEIGHT_FORMAT before EDGE_WEIGHT_SECTION"},
      {"TYPE: TSP\nEDGE_WEIGHT_TYPE: EUC_2D\nNODE_COORD_SECTION\n1 0 0\n", 3,
       "no DIMENSION before NODE_COORD_SECTION"},
      // Dimensions.
      {"TYPE: TSP\nDIMENSION: -4\n", 2, "DIMENSION must be a whole number from 2 to 5000"},
      {"TYPE: TSP\nDIMENSION: 1\n", 2, "DIMENSION must be"},
      {"TYPE: TSP\nDIMENSION: 5001\n", 2, "not '5001'"},
      {"TYPE: TSP\nDIMENSION: 3.0\n", 2, "DIMENSION must be"},
      {"TYPE: TSP\nDIMENSION: 99999999999999999999\n", 2, "DIMENSION must be"},
      // Types and formats this tool does not handle, or that do not go together.
      {"TYPE: HCP\n", 1, "TYPE HCP is not supported (supported: TSP, ATSP)"},
      {"TYPE: tsp\n", 1, "unknown TYPE 'tsp' (supported: TSP, ATSP)"},
      {tsp + "EDGE_WEIGHT_TYPE: SPECIAL\n", 3, "EDGE_WEIGHT_TYPE SPECIAL is not supported"},
      {tsp + "EDGE_WEIGHT_TYPE: XRAY1\n", 3, "EDGE_WEIGHT_TYPE XRAY1 is not supported"},
      {tsp + "EDGE_WEIGHT_TYPE: EUC2D\n", 3,
       "unknown EDGE_WEIGHT_TYPE 'EUC2D' (supported: EXPLICIT, EUC_2D, CEIL_2D, ATT, GEO, EUC_3D, "
       "MAX_2D, MAX_3D, MAN_2D, MAN_3D)"},
      {tsp + "EDGE_WEIGHT_TYPE: EXPLICIT\nEDGE_WEIGHT_FORMAT: UPPER_ROWS\n", 4,
       "unknown EDGE_WEIGHT_FORMAT 'UPPER_ROWS'"},
      {tsp + "EDGE_WEIGHT_TYPE: EXPLICIT\nEDGE_WEIGHT_FORMAT: FUNCTION\nEOF\n", 0,
       "EDGE_WEIGHT_FORMAT FUNCTION needs a coordinate EDGE_WEIGHT_TYPE"},
      {"TYPE: ATSP\nDIMENSION: 3\nEDGE_WEIGHT_TYPE: EXPLICIT\nEDGE_WEIGHT_FORMAT: UPPER_ROW\n"
       "EDGE_WEIGHT_SECTION\n1 2 3\n",
       5, "TYPE ATSP needs EDGE_WEIGHT_FORMAT FULL_MATRIX, not UPPER_ROW"},
      {euc + "EDGE_WEIGHT_FORMAT: FULL_MATRIX\nEOF\n", 0,
       "EDGE_WEIGHT_FORMAT FULL_MATRIX does not go with EDGE_WEIGHT_TYPE EUC_2D"},
      {euc + "EDGE_WEIGHT_SECTION\n1 2 3\n", 4,
       "EDGE_WEIGHT_SECTION does not go with EDGE_WEIGHT_TYPE EUC_2D"},
      {euc + "NODE_COORD_TYPE: THREED_COORDS\nNODE_COORD_SECTION\n1 0 0 0\n", 5,
       "EDGE_WEIGHT_TYPE EUC_2D needs two coordinates a node, not NODE_COORD_TYPE THREED_COORDS"},
      {tsp + "EDGE_WEIGHT_TYPE: EUC_3D\nNODE_COORD_TYPE: TWOD_COORDS\nNODE_COORD_SECTION\n", 5,
       "EDGE_WEIGHT_TYPE EUC_3D needs three coordinates a node, not NODE_COORD_TYPE TWOD_COORDS"},
      {tsp + "EDGE_WEIGHT_TYPE: MAX_3D\nNODE_COORD_SECTION\n1 0 0\n", 5,
       "a node line needs a node number and 3 coordinates, not 3 numbers"},
      {tsp + "EDGE_WEIGHT_TYPE: EXPLICIT\nEDGE_WEIGHT_FORMAT: UPPER_ROW\n"
             "NODE_COORD_TYPE: NO_COORDS\nNODE_COORD_SECTION\n1 0 0\n",
       6, "NODE_COORD_SECTION with NODE_COORD_TYPE NO_COORDS"},
      {euc + "FIXED_EDGES_SECTION\n1 2\n-1\n", 4, "FIXED_EDGES_SECTION is not supported"},
      {euc + "CAPACITY: 5\n", 4, "CAPACITY is not supported"},
      // Keyword lines.
      {"TYPE: TSP\nSIZE: 3\n", 2, "unknown keyword 'SIZE'"},
      {"TYPE: TSP\nDIMENSION 3\n", 2, "DIMENSION needs ':' before its value"},
      {"TYPE:\n", 1, "TYPE has no value"},
      {"TYPE: TSP\nTYPE: TSP\n", 2, "TYPE appears twice"},
      {"NAME a b: c\n", 1, "expected a keyword, found 'NAME a b: c'"},
      {": TSP\n", 1, "expected a keyword"},
      {"3 4 5\n", 1, "expected a keyword, found '3 4 5'"},
      {explicit_upper + "EDGE_WEIGHT_SECTION 1 2 3\n", 5, "EDGE_WEIGHT_SECTION takes no value"},
      {explicit_upper + "EOF: now\n", 5, "EOF takes no value"},
      // Weights.
      {explicit_upper + "EDGE_WEIGHT_SECTION\n1 2\nEOF\n", 7,
       "EDGE_WEIGHT_SECTION ends after 2 of 3 numbers for DIMENSION 3 in UPPER_ROW"},
      {explicit_upper + "EDGE_WEIGHT_SECTION\n1\n2\n", 7, "ends after 2 of 3 numbers"},
      {explicit_upper + "EDGE_WEIGHT_SECTION\n1 2 3 4\n", 6,
       "EDGE_WEIGHT_SECTION holds more than 3 numbers for DIMENSION 3 in UPPER_ROW; the first "
       "surplus is '4'"},
      {explicit_upper + "EDGE_WEIGHT_SECTION\n1 2 3\n\n-4 5\nEOF\n", 8,
       "EDGE_WEIGHT_SECTION holds more than 3 numbers for DIMENSION 3 in UPPER_ROW; the first "
       "surplus is '-4'"},
      {explicit_upper + "EDGE_WEIGHT_SECTION\n1 x 3\n", 6, "'x' is not a whole number"},
      {explicit_upper + "EDGE_WEIGHT_SECTION\n1 2.5 3\n", 6, "'2.5' is not a whole number"},
      {explicit_upper + "EDGE_WEIGHT_SECTION\n1 2 9223372036854775808\n", 6,
       "'9223372036854775808' is not a whole number"},
      {explicit_upper + "EDGE_WEIGHT_SECTION\n1 2 3\nEDGE_WEIGHT_SECTION\n1 2 3\n", 7,
       "EDGE_WEIGHT_SECTION appears twice"},
      // Coordinates.
      {euc + "NODE_COORD_SECTION\n1 0 0\n2 1 1\nEOF\n", 6,
       "NODE_COORD_SECTION has no coordinates for node 3"},
      {euc + "NODE_COORD_SECTION\n1 0 0\n3 1 1\n", 6, "no coordinates for node 2"},
      {euc + "NODE_COORD_SECTION\n1 0 0\n2 1 1\n1 2 2\n", 7, "node 1 has coordinates twice"},
      {euc + "NODE_COORD_SECTION\n0 0 0\n", 5, "node number '0' is not one of 1..3"},
      {euc + "NODE_COORD_SECTION\n4 0 0\n", 5, "node number '4' is not one of 1..3"},
      {euc + "NODE_COORD_SECTION\n1 0\n", 5,
       "a node line needs a node number and 2 coordinates, not 2 numbers"},
      {euc + "NODE_COORD_SECTION\n1 0 north\n", 5, "'north' is not a coordinate"},
      {euc + "NODE_COORD_SECTION\n1 nan 0\n", 5, "'nan' is not a coordinate"},
      {euc + "NODE_COORD_SECTION\n1 1e999 0\n", 5, "'1e999' is not a coordinate"},
      {euc + "NODE_COORD_SECTION\n1 -1e300 0\n2 1e300 0\n3 0 0\n", 0,
       "the distance from node 1 to node 2 is too large"},
      // Display data, read as strictly as coordinates.
      {"TYPE: TSP\nDISPLAY_DATA_SECTION\n", 2, "no DIMENSION before DISPLAY_DATA_SECTION"},
      {euc + "DISPLAY_DATA_SECTION\n1 0 0\n3 1 1\n", 6,
       "DISPLAY_DATA_SECTION has no coordinates for node 2"},
      {euc + "DISPLAY_DATA_SECTION\n1 0 0 0\n", 5,
       "a node line needs a node number and 2 coordinates, not 4 numbers"},
  };
  for (const Case& c : cases) {
    Problem problem;
    ImportError error;
    EXPECT_FALSE(parse_tsplib(c.text, &problem, &error)) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text << "\n" << error.message;
    EXPECT_NE(error.message.find(c.message), std::string::npos)
        << "got: " << error.message << "\nwanted: " << c.message;
  }
}

TEST(Drawing, DisplayDataElseNodeCoordinates) {
  const std::string head = "NAME: t\nTYPE: TSP\nDIMENSION: 2\nEDGE_WEIGHT_TYPE: ";
  const std::string upper = "EXPLICIT\nEDGE_WEIGHT_FORMAT: UPPER_ROW\nEDGE_WEIGHT_SECTION\n5\n";
  struct Case {
    std::string text;
    std::vector<double> xy;  // x and y of node 1, then node 2
    bool geographic;
  } cases[] = {
      {head + "GEO\nNODE_COORD_SECTION\n1 1.30 2\n2 3 4\n", {1.30, 2, 3, 4}, true},
      {head + "EUC_2D\nNODE_COORD_SECTION\n2 3 4\n1 1 2\n", {1, 2, 3, 4}, false},
      {head + "GEO\nNODE_COORD_SECTION\n1 0 0\n2 1 1\nDISPLAY_DATA_SECTION\n1 7 8\n2 9 6\n",
       {7, 8, 9, 6},
       false},
      {head + upper + "DISPLAY_DATA_SECTION\n1 7 8\n2 9 6\n", {7, 8, 9, 6}, false},
      {head + upper, {}, false},
      {head + "EUC_2D\nDISPLAY_DATA_TYPE: NO_DISPLAY\nNODE_COORD_SECTION\n1 1 2\n2 3 4\n", {},
       false},
  };
  for (const Case& c : cases) {
    Problem problem;
    ImportError error;
    ASSERT_TRUE(parse_tsplib(c.text, &problem, &error)) << c.text << error.message;
    std::vector<double> xy;
    for (const Point& point : problem.drawing) xy.insert(xy.end(), {point.x, point.y});
    EXPECT_EQ(xy, c.xy) << c.text;
    EXPECT_EQ(problem.geographic, c.geographic) << c.text;
    EXPECT_EQ(problem.name, "t");
  }
}

TEST(MemoryNote, TheSolversTwoLayersInCellsOfTheNeededWidth) {
  // Three points: one layer of 2 cells. B is the largest absolute cost of row 1.
  struct Case {
    int64_t cost;
    long double bytes;
  } cases[] = {
      {32766, 4},  {-32766, 4},  {32767, 8},   {2147483646, 8},
      {2147483647, 16}, {INT64_MAX - 1, 16}, {INT64_MAX, 32}, {INT64_MIN, 32},
  };
  for (const Case& c : cases) {
    Problem problem;
    problem.dimension = 3;
    problem.costs = {INT64_MIN, c.cost, 0, 0, 0, 0, 0, 0, 0};  // the diagonal does not count
    EXPECT_EQ(solver_footprint(problem), c.bytes) << c.cost;
  }
  Problem two;
  two.dimension = 2;
  two.costs = {0, 1, 1, 0};
  EXPECT_EQ(solver_footprint(two), 0);
  // 30 points: layers 14 and 15 are the largest of each parity.
  Problem thirty;
  thirty.dimension = 30;
  thirty.costs.assign(30 * 30, 1000);
  EXPECT_EQ(solver_footprint(thirty), 4498408080.0L);
}

TEST(MemoryNote, WhatTheSolverDoesInTheMemoryGiven) {
  // 28 points of costs 1000: every subset takes 1083148200 bytes in two layers of 2-byte cells.
  const std::string fill =
      "note: filling every subset for 28 points needs 1.0 GiB, more than the 1.0 GiB of memory "
      "here; tourplan will fill only those its bounds leave open, and search by branch and cut if "
      "they grow too many";
  struct Case {
    int64_t points;
    long double memory;
    std::string note;
  } cases[] = {
      {28, 1083148200.0L, ""},
      {28, 1083148199.0L, fill},
      // Beyond 28 points the bounds or the search are the way, needing n x n x 64 bytes.
      {29, 53824, ""},
      {128, 1048576, ""},
      {128, 1048575,
       "note: tourplan's branch-and-cut search for 128 points needs about 1.0 MiB, more than the "
       "1.0 MiB of memory here; tourplan will stop with error 4 (out of memory)"},
      {200, 4e9L, ""},
      {200, 2e6L,
       "note: tourplan's branch-and-cut search for 200 points needs about 2.4 MiB, more than the "
       "1.9 MiB of memory here; tourplan will stop with error 4 (out of memory)"},
      {5000, 1.5e9L,
       "note: tourplan's branch-and-cut search for 5000 points needs about 1.5 GiB, more than the "
       "1.4 GiB of memory here; tourplan will stop with error 4 (out of memory)"},
  };
  for (const Case& c : cases) {
    Problem problem;
    problem.dimension = c.points;
    problem.costs.assign(c.points <= 200 ? c.points * c.points : 0, 1000);
    EXPECT_EQ(memory_note(problem, c.memory), c.note) << c.points << " " << c.memory;
  }
}

TEST(ProblemFile, RowsOfSingleSpacesAndCrLf) {
  Problem problem;
  problem.dimension = 2;
  problem.costs = {0, -5, INT64_MAX, INT64_MIN};
  EXPECT_EQ(problem_file_text(problem),
            "2\r\n0 -5\r\n9223372036854775807 -9223372036854775808\r\n");
}

// A scratch folder per test; the files it holds at the end are what the import left behind.
class ImportFiles : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tourplan_import_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
  }
  void TearDown() override {
    for (const std::string& name : names()) unlink(path(name).c_str());
    rmdir(folder.c_str());
  }
  std::string path(const std::string& name) const { return folder + "/" + name; }
  void put(const std::string& name, const std::string& bytes) const {
    FILE* file = fopen(path(name).c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
  }
  std::string contents(const std::string& name) const {
    std::string bytes, message;
    EXPECT_TRUE(read_input(path(name), &bytes, &message)) << message;
    return bytes;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> found;
    DIR* dir = opendir(folder.c_str());
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") found.push_back(name);
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
  }
  std::string folder;
};

const char GOOD[] =
    "TYPE: TSP\nDIMENSION: 3\nEDGE_WEIGHT_TYPE: EXPLICIT\nEDGE_WEIGHT_FORMAT: UPPER_ROW\n"
    "EDGE_WEIGHT_SECTION\n1 2 3\nEOF\n";
const char GOOD_OUTPUT[] = "3\r\n0 1 2\r\n1 0 3\r\n2 3 0\r\n";

TEST_F(ImportFiles, WritesTheOutputAndNothingElse) {
  put("in.tsp", GOOD);
  const mode_t mask = umask(022);
  std::string message;
  EXPECT_TRUE(import_file(path("in.tsp"), path("out.dat"), &message)) << message;
  umask(mask);
  EXPECT_EQ(contents("out.dat"), GOOD_OUTPUT);
  EXPECT_EQ(names(), (std::vector<std::string>{"in.tsp", "out.dat"}));
  struct stat status;
  ASSERT_EQ(stat(path("out.dat").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);
}

TEST_F(ImportFiles, ReplacesTheFileALinkNames) {
  put("in.tsp", GOOD);
  put("real.dat", "old");
  ASSERT_EQ(symlink("real.dat", path("link.dat").c_str()), 0);
  std::string message;
  EXPECT_TRUE(import_file(path("in.tsp"), path("link.dat"), &message)) << message;
  struct stat status;
  ASSERT_EQ(lstat(path("link.dat").c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  EXPECT_EQ(contents("real.dat"), GOOD_OUTPUT);
}

TEST_F(ImportFiles, AFailureLeavesNoOutputAndKeepsAnOldOne) {
  struct Case {
    const char* input;
    const char* message;
  } cases[] = {
      {"TYPE: TSP\nDIMENSION: 3\n", "in.tsp: no EDGE_WEIGHT_TYPE"},
      {"TYPE: HCP\n", "in.tsp:1: TYPE HCP is not supported"},
      {"TYPE: TSP\nDIMENSION: x\n", "in.tsp:2: DIMENSION must be"},
      {"TYPE: TSP\nDIMENSION: 3\nEDGE_WEIGHT_TYPE: EXPLICIT\nEDGE_WEIGHT_FORMAT: UPPER_ROW\n"
       "EDGE_WEIGHT_SECTION\n1 2\n",
       "in.tsp:6: EDGE_WEIGHT_SECTION ends after 2 of 3"},
      {"TYPE: TSP\nDIMENSION: 2\nEDGE_WEIGHT_TYPE: GEO\nNODE_COORD_SECTION\n1 0 0\n",
       "in.tsp:5: NODE_COORD_SECTION has no coordinates for node 2"},
  };
  for (const Case& c : cases) {
    put("in.tsp", c.input);
    std::string message;
    EXPECT_FALSE(import_file(path("in.tsp"), path("out.dat"), &message));
    EXPECT_EQ(message.rfind(path(c.message), 0), 0u) << message;
    EXPECT_EQ(names(), std::vector<std::string>{"in.tsp"}) << c.input;

    put("out.dat", "old contents");
    EXPECT_FALSE(import_file(path("in.tsp"), path("out.dat"), &message));
    EXPECT_EQ(contents("out.dat"), "old contents");
    EXPECT_EQ(names(), (std::vector<std::string>{"in.tsp", "out.dat"}));
    unlink(path("out.dat").c_str());
  }
}

TEST_F(ImportFiles, OutputsThatCannotBeWritten) {
  put("in.tsp", GOOD);
  ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(path("folder").c_str(), 0700), 0);
  struct Case {
    std::string output;
    std::string message;
  } cases[] = {
      {path("pipe"), path("pipe") + ": not a regular file"},
      {path("folder"), path("folder") + ": not a regular file"},
      {path("no/such.dat"), path("no/such.dat") + ": cannot create: No such file or directory"},
  };
  for (const Case& c : cases) {
    std::string message;
    EXPECT_FALSE(import_file(path("in.tsp"), c.output, &message));
    EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
  }
  struct stat status;
  ASSERT_EQ(stat(path("pipe").c_str(), &status), 0);
  EXPECT_TRUE(S_ISFIFO(status.st_mode));
  rmdir(path("folder").c_str());
  EXPECT_EQ(names(), (std::vector<std::string>{"in.tsp", "pipe"}));
}

}  // namespace
