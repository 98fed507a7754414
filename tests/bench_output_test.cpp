// The printer bytes of every benchmark job, pinned: the fast row renderer
// writes exactly what the straightforward per-pixel one wrote.
#include <cstdio>

#include <gtest/gtest.h>

#include "harness.h"
#include "jobs.h"

namespace vellum_test {
namespace {

TEST(BenchJobs, PrinterBytesAreUnchanged) {
  // Fingerprints of the jobs as the per-pixel renderer printed them.
  struct Expected {
    const char *job;
    uint64_t zpl, tspl;
  };
  const Expected expected[] = {
      {"4x6 in 203 dpi", 0xbe9b5551e915d6dd, 0x87fdf1db5c426305},
      {"4x6 in 300 dpi", 0x2153c35b49c4ab26, 0xe11d8f305556c5a5},
      {"4x6 in 600 dpi", 0x528953e812b0786, 0x9c10287263673363},
      {"100 x 4x6 in 203 dpi", 0x122df9dca626485, 0xc5c6ac4f8c143f0f},
      {"4x60 in 300 dpi", 0xa10eaaca15172fdc, 0xd1a39b1e2c4bdd11},
  };
  const std::vector<vellum_bench::BenchJob> jobs = vellum_bench::BenchJobs();
  ASSERT_EQ(jobs.size(), 2 * std::size(expected));
  for (const vellum_bench::BenchJob &job : jobs) {
    SCOPED_TRACE(job.name);
    const std::string raster = ScratchDir() + "/bench-job.ras";
    vellum_bench::WriteBenchJob(job, raster);
    // A compressed job prints as its uncompressed twin.
    const std::string plain = job.name.substr(0, job.name.find(", compressed"));
    const Expected *e = nullptr;
    for (const Expected &candidate : expected)
      if (plain == candidate.job)
        e = &candidate;
    ASSERT_NE(e, nullptr);
    for (const bool tspl : {false, true}) {
      std::vector<std::string> argv = FilterArgs(Variant::kBase);
      argv.push_back(raster);
      const Result run = RunProgram(argv, FilterEnv(vellum_bench::BenchPpd(tspl)));
      EXPECT_EQ(run.exit_status, 0);
      EXPECT_EQ(vellum_bench::Fingerprint(run.out), tspl ? e->tspl : e->zpl)
          << (tspl ? "TSPL" : "ZPL");
    }
  }
}

} // namespace
} // namespace vellum_test
