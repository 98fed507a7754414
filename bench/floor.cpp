// The benchmark's floor: reads a raster job with libcups and writes only what
// a label filter cannot avoid: one printer byte per 8 pixels of every row,
// flushed per row, and one debug line per row on unbuffered standard error.
// Takes the filter's command line, the raster file as its sixth argument.
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <cups/raster.h>

int main(int argc, char **argv) {
  std::setbuf(stderr, nullptr);
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s job user title copies options FILE\n", argv[0]);
    return 1;
  }
  const int fd = open(argv[6], O_RDONLY);
  if (fd < 0) {
    std::perror(argv[6]);
    return 1;
  }
  cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_READ);
  cups_page_header2_t header;
  std::vector<unsigned char> row;
  while (cupsRasterReadHeader2(ras, &header)) {
    row.resize(header.cupsBytesPerLine);
    const size_t row_bytes = (row.size() + 7) / 8;
    for (unsigned y = 0; y < header.cupsHeight; ++y) {
      if (cupsRasterReadPixels(ras, row.data(), header.cupsBytesPerLine) == 0)
        break;
      std::fwrite(row.data(), 1, row_bytes, stdout);
      std::fflush(stdout);
      std::fprintf(stderr, "DEBUG: *CUPS_BYTES_PER_LINE = %s\n", "auto");
    }
  }
  cupsRasterClose(ras);
  close(fd);
  return 0;
}
