// Prints a readable summary of a printer job written by the filters.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "job_decoder.h"

using vellum_test::DecodedJob;
using vellum_test::JobItem;

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s JOBFILE\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot open\n", argv[1]);
    return 1;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  const DecodedJob job = vellum_test::DecodeJob(bytes.str());
  for (const JobItem &item : job.items)
    std::printf("%8zu  %s\n", item.offset, vellum_test::Describe(item).c_str());
  std::string error = job.error;
  const auto labels = vellum_test::Labels(job, &error);
  std::printf("%zu bytes, %zu items, %zu labels\n", bytes.str().size(), job.items.size(),
              labels.size());
  if (!error.empty()) {
    std::fprintf(stderr, "malformed job %s\n", error.c_str());
    return 1;
  }
  return 0;
}
