// The connection of an AppSocket device (PAPPL 1.x, 1.4.9 included: no
// version has an accessor for it).
//
// The status query's answer must be read with a short time-out of its own
// (PAPPL's device reads wait ten seconds), and what the printer has taken of
// a job is read from the connection's send queue; both need the connection
// that PAPPL opened for the device. PAPPL's network device keeps it as the
// first member of its device data (from 1.0 to 1.4.9). It is taken only
// from a socket:// device, and only where it is a connected stream socket
// whose peer has the port the device URI names.
//
// At run time: where the connection cannot be told, a printer's status is
// not asked and its delivery is not confirmed (as for a USB printer).
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "patches.h"

namespace vellum_app {

int DeviceConnection(pappl_device_t *device, const char *uri) {
  char scheme[32], user[256], host[256], resource[256];
  int port = 0;
  if (device == nullptr || uri == nullptr ||
      httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, user, sizeof user, host,
                      sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK ||
      std::strcmp(scheme, "socket") != 0)
    return -1;
  const auto *data = static_cast<const int *>(papplDeviceGetData(device));
  if (data == nullptr)
    return -1;
  const int fd = *data;
  struct stat info {};
  int type = 0;
  socklen_t size = sizeof type;
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode) ||
      getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM ||
      getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
    return -1;
  const int want = port > 0 ? port : 9100;
  const int peer_port =
      peer.ss_family == AF_INET    ? ntohs(reinterpret_cast<const sockaddr_in &>(peer).sin_port)
      : peer.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6 &>(peer).sin6_port)
                                   : -1;
  return peer_port == want ? fd : -1;
}

} // namespace vellum_app
