// An AppSocket label printer for the demo: listens on a free port of the
// loopback interface (printed on the first line of its output), writes the
// bytes of the first connection that brings any to a file, and exits. Like
// a printer it does not print status queries (ZPL's ~HS, TSPL's <ESC>!?):
// they are left out of the file, and not answered. It gives up, with status
// 1, when nothing has come within the time-out.
//
//   capture_printer OUTPUT [SECONDS]
#include <cstdio>
#include <cstdlib>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Removes the status queries from the data.
void DropQueries(std::string &data) {
  for (const std::string query : {"~HS", "\x1b!?"})
    for (size_t at = data.find(query); at != std::string::npos; at = data.find(query, at))
      data.erase(at, query.size());
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s OUTPUT [SECONDS]\n", argv[0]);
    return 2;
  }
  const int seconds = argc == 3 ? std::atoi(argv[2]) : 60;
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
      listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    std::perror("capture_printer: cannot listen on the loopback interface");
    return 1;
  }
  std::printf("%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  // A connection without bytes (a server checking that the printer
  // answers) prints nothing: wait for the next.
  std::string data;
  pollfd waiting{listener, POLLIN, 0};
  while (data.empty() && poll(&waiting, 1, seconds * 1000) > 0) {
    const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0)
      continue;
    char buffer[65536];
    ssize_t got = 0;
    while ((got = read(connection, buffer, sizeof buffer)) > 0)
      data.append(buffer, static_cast<size_t>(got));
    close(connection);
    DropQueries(data);
  }
  close(listener);
  if (data.empty()) {
    std::fprintf(stderr, "capture_printer: nothing came within %d s\n", seconds);
    return 1;
  }
  FILE *out = std::fopen(argv[1], "wb");
  if (out == nullptr || std::fwrite(data.data(), 1, data.size(), out) != data.size() ||
      std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
