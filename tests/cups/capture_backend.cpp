// A CUPS backend for the scheduler tests: copies the job to the file its
// device URI names, "vellumcap:/path", or "vellumcap:/path?slow" to read it
// at about 200 KB/s, as a slow printer link would. SIGTERM (a cancelled job)
// only makes it copy the rest at full speed, so that whatever the filters
// still send after a cancel is captured too.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

static volatile std::sig_atomic_t cancelled = 0;

static void Cancel(int) { cancelled = 1; }

int main(int argc, char **argv) {
  if (argc == 1) {
    std::puts("direct vellumcap \"Unknown\" \"Vellum test capture\"");
    return 0;
  }
  struct sigaction action {};
  action.sa_handler = Cancel;
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  const char *uri = std::getenv("DEVICE_URI");
  if (uri == nullptr || std::strncmp(uri, "vellumcap:", 10) != 0)
    return 1;
  std::string path = uri + 10;
  const bool slow = path.find("?slow") != std::string::npos;
  path = path.substr(0, path.find('?'));
  const int in = argc >= 7 ? open(argv[6], O_RDONLY) : 0;
  const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0)
    return 1;
  char chunk[4096];
  ssize_t n;
  while ((n = read(in, chunk, sizeof chunk)) > 0) {
    if (write(out, chunk, static_cast<size_t>(n)) != n)
      return 1;
    if (slow && !cancelled)
      usleep(20000);
  }
  close(out);
  return 0;
}
