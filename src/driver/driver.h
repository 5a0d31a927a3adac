// The run driver: the program's main flow from the command line to the solution file.
#pragma once

#include <cstdint>

#include "solver/solver.h"

// Source lines of the driver's failing steps.
constexpr int32_t LINE_OPEN_PROBLEM = 25;
constexpr int32_t LINE_MATRIX = 29;
constexpr int32_t LINE_CLOSE_PROBLEM = 34;
constexpr int32_t LINE_TOUR = 36;
constexpr int32_t LINE_OPEN_SOLUTION = 40;
constexpr int32_t LINE_CLOSE_SOLUTION = 45;
constexpr int32_t ERROR_REPORT_PAUSE_MS = 5000;

// The matrix the solver and its workers read; it lives until the process ends.
extern DistanceMatrix distance_matrix;

// Runs the whole program and ends the process; never returns.
[[noreturn]] void run_driver(int argc, char** argv);
