// A CUPS backend for the scheduler tests: copies the job to what its device
// URI names. "vellumcap:/path" writes the file /path; "vellumcap:/dir/"
// writes /dir/JOB.prn and /dir/JOB.options (the options argument, as the
// filters get it) for every job; "vellumcap:tcp:PORT" sends it to an
// AppSocket printer on port PORT of the loopback interface, as the
// scheduler's socket backend (not in Debian's cups-daemon) would. "?slow" reads at about 200 KB/s,
// as a slow printer link would; "?hold" keeps the job processing after its data until it is
// cancelled. SIGTERM (a cancelled job) only makes it copy the rest at full speed, so that whatever
// the filters still send after a cancel is captured too.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

static volatile std::sig_atomic_t cancelled = 0;

static void Cancel(int) { cancelled = 1; }

static bool WriteAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n <= 0)
      return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int main(int argc, char **argv) {
  if (argc == 1) {
    std::puts("direct vellumcap \"Unknown\" \"Vellum test capture\"");
    return 0;
  }
  if (argc < 6)
    return 1;
  struct sigaction action {};
  action.sa_handler = Cancel;
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  const char *uri = std::getenv("DEVICE_URI");
  if (uri == nullptr || std::strncmp(uri, "vellumcap:", 10) != 0)
    return 1;
  std::string path = uri + 10;
  const std::string mode =
      path.find('?') == std::string::npos ? "" : path.substr(path.find('?') + 1);
  path = path.substr(0, path.find('?'));
  if (!path.empty() && path.back() == '/') {
    const std::string job = path + argv[1];
    const int options = open((job + ".options").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (options < 0 || !WriteAll(options, argv[5], std::strlen(argv[5])))
      return 1;
    close(options);
    path = job + ".prn";
  }
  const int in = argc >= 7 ? open(argv[6], O_RDONLY) : 0;
  int out = -1;
  if (path.compare(0, 4, "tcp:") == 0) {
    out = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(std::atoi(path.c_str() + 4)));
    if (connect(out, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
      return 1;
  } else {
    out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  if (in < 0 || out < 0)
    return 1;
  char chunk[4096];
  ssize_t n;
  while ((n = read(in, chunk, sizeof chunk)) > 0) {
    if (!WriteAll(out, chunk, static_cast<size_t>(n)))
      return 1;
    if (mode == "slow" && !cancelled)
      usleep(20000);
  }
  close(out);
  while (mode == "hold" && !cancelled)
    usleep(50000);
  return 0;
}
