// bench/RESULTS.md holds one section per benchmark program; each program
// rewrites its own and keeps the others.
#ifndef VELLUM_BENCH_RESULTS_H
#define VELLUM_BENCH_RESULTS_H

#include <string>

namespace vellum_bench {

// Replaces the section `name` of the results file at path with text (or
// appends it), under the file's title.
void WriteResultsSection(const std::string &path, const std::string &name, const std::string &text);

// The machine the benchmark ran on, in one line.
std::string Machine();

// A number with `digits` decimals, as the tables show it.
std::string Fixed(double value, int digits);

} // namespace vellum_bench

#endif
