// The benchmark's jobs: realistic labels (anti-aliased text-like strokes, a
// barcode, grey areas) as 8-bit grey CUPS raster streams.
#ifndef VELLUM_BENCH_JOBS_H
#define VELLUM_BENCH_JOBS_H

#include <cstdint>
#include <string>
#include <vector>

namespace vellum_bench {

struct BenchJob {
  std::string name;
  uint32_t dpi;
  double width_in, height_in;
  unsigned pages;
  bool compressed;
  bool photo = false; // a picture in continuous grey instead of a label
};

// Every job of the benchmark table.
std::vector<BenchJob> BenchJobs();

// The jobs the halftones are measured on: labels and pictures.
std::vector<BenchJob> HalftoneJobs();

// Writes the job's raster stream to path with libcups's raster writer.
void WriteBenchJob(const BenchJob &job, const std::string &path);

// The printer descriptions the filter runs with: ZPL with both shifts and a
// gamma, or TSPL; with a Halftone choice when one is given.
std::string BenchPpd(bool tspl, const std::string &halftone = "");

// FNV-1a, 64 bits: a fingerprint of a job's printer bytes.
uint64_t Fingerprint(const std::string &bytes);

} // namespace vellum_bench

#endif
