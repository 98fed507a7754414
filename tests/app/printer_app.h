// The printer application as the tests run it: a private server with its
// own state, socket and spool under /tmp and a free port on the loopback
// interface (never an installed copy's), and AppSocket printers that keep
// what they receive.
#ifndef VELLUM_TESTS_PRINTER_APP_H
#define VELLUM_TESTS_PRINTER_APP_H

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <cups/cups.h>

#include "harness.h"

namespace vellum_test {

// A printer on an AppSocket port of the loopback interface: every
// connection's bytes are one capture (a connection without bytes, none).
// How a SocketPrinter reads: at full speed, slowly (a thermal printer's
// pace), or dropping the connection after some bytes.
struct PrinterBehaviour {
  size_t bytes_per_second = 0; // 0: as fast as it comes
  size_t drop_after = 0;       // 0: never
  // Whom it answers a status query as: nobody (it never answers), a ZPL
  // printer (~HS: three strings) or a TSPL printer (<ESC>!?: one byte).
  enum class Answers { kNothing, kZpl, kTspl } answers = Answers::kNothing;
  size_t stall_after = 0; // stops reading after this many bytes until Resume(); 0: never
};

// What a printer can report: a fault of the printer, or none.
enum class PrinterFault { kNone, kPaperOut, kHeadOpen, kRibbonOut, kPaused, kJam };

class SocketPrinter {
public:
  explicit SocketPrinter(PrinterBehaviour behaviour = {}, int port = 0,
                         const std::string &address = "127.0.0.1");
  SocketPrinter(const SocketPrinter &) = delete;
  SocketPrinter &operator=(const SocketPrinter &) = delete;
  ~SocketPrinter();

  int Port() const { return port_; }
  std::string Uri() const { return "socket://" + address_ + ":" + std::to_string(port_); }
  // The captures of the connections that have ended, in order.
  std::vector<std::string> Captures();
  // Waits up to `seconds` for `count` ended connections; false on time-out.
  bool AwaitCaptures(size_t count, int seconds);
  // Every byte received so far, also of connections still open (a server
  // may send several jobs over one connection).
  size_t Bytes() const { return bytes_; }
  // Waits up to `seconds` until Bytes() reaches `bytes`; false on time-out.
  bool AwaitBytes(size_t bytes, int seconds) const;
  // What it reports from now on, as a printer out of labels, with its head
  // open and so on does.
  void SetFault(PrinterFault fault) { fault_ = fault; }
  // The status queries it has received between labels. They are no
  // printer data: they are not in the captures or Bytes(), as a printer
  // does not print them. A query inside a label is printed, as a printer
  // would, and so shows in the capture.
  size_t Queries() const { return queries_; }
  // A printer that stalled (stall_after) reads again.
  void Resume() { stalled_ = false; }

private:
  void Serve();
  void Answer(int fd) const;
  PrinterBehaviour behaviour_;
  std::atomic<PrinterFault> fault_{PrinterFault::kNone};
  std::atomic<size_t> queries_{0};
  std::atomic<bool> stalled_{true};
  int listen_fd_ = -1;
  int port_ = 0;
  std::string address_;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> bytes_{0};
  std::mutex mutex_;
  std::vector<std::string> captures_;
  std::thread thread_;
};

// An IPP attribute of a job request, as text: "name=value" with value's
// syntax chosen by the attribute (integers, keywords, media-col members).
struct JobAttribute {
  std::string name, value;
};

class PrinterApp {
public:
  // The application under test: the build's, or an installed one.
  explicit PrinterApp(std::string program = VELLUM_PRINTER_APP_PATH)
      : program_(std::move(program)) {}
  PrinterApp(const PrinterApp &) = delete;
  PrinterApp &operator=(const PrinterApp &) = delete;
  ~PrinterApp();

  // Starts `vellum-printer-app server` (again in the same folders and on
  // the same port after a Stop); returns an empty text, or why not.
  // `options` are further "-o" server options (a later one of the same
  // name wins).
  std::string Start(const std::vector<std::string> &options = {});
  // Stops the server as the system stops a service (SIGTERM); its state
  // stays for the next Start.
  void Stop();
  // Stops it with the `shutdown` sub-command, SIGTERM or SIGKILL (a power
  // cut); returns the seconds until it had ended, or -1 when it had not
  // within a minute (and was killed) or, stopped otherwise than by SIGKILL,
  // did not end with status 0.
  double StopBy(const std::string &how);
  // Runs a sub-command of the application against this server.
  Result Command(const std::vector<std::string> &args) const;
  // Adds a printer with a driver and a device URI; empty text, or why not.
  std::string AddPrinter(const std::string &name, const std::string &driver,
                         const std::string &device_uri) const;
  // Prints a document with Print-Job; returns the job id, or -1.
  int Print(const std::string &printer, const std::string &path, const std::string &format,
            const std::vector<JobAttribute> &attributes = {}) const;
  // The job's job-state now, or 0 when there is no such job.
  int JobState(const std::string &printer, int job) const;
  // A job attribute's first value as text (integers in decimal), or "".
  std::string JobText(const std::string &printer, int job, const char *name) const;
  // The ids of the printer's jobs that have not ended.
  std::vector<int> ActiveJobs(const std::string &printer) const;
  // Cancels a job; false when the server refused.
  bool CancelJob(const std::string &printer, int job) const;
  // The printer's printer-state-reasons, joined by commas.
  std::string PrinterStateReasons(const std::string &printer) const;
  // Waits for the job to end; returns its job-state, or 0 on time-out.
  int AwaitJob(const std::string &printer, int job, int seconds) const;
  // An HTTP request to the web interface: the response's status and body.
  // A POST sends `form` (URL-encoded). `address` is the server's address
  // the request goes to.
  std::pair<int, std::string> Web(const std::string &path, const std::string &form = "",
                                  const std::string &address = "127.0.0.1",
                                  const std::string &cookie = "") const;
  // Signs this machine's browser in where the settings ask for the web
  // password (/vellum-sign-in): the cookie to send with Web(), or "".
  std::string SignIn() const;
  // The IPP requests (printing, attributes, jobs, settings) go to the server
  // at this address from now on, as another machine's would
  // (TestNetwork::kOther); 127.0.0.1 at first.
  void SendTo(const std::string &address) { address_ = address; }
  // The session token (CSRF) of a page's forms, which a POST must carry,
  // or "" when the page has none.
  std::string FormSession(const std::string &path, const std::string &address = "127.0.0.1") const;
  // Environment settings the server and the sub-commands get besides the
  // private folders ("NAME=value").
  void AddEnv(const std::string &setting) { extra_env_.push_back(setting); }
  // Runs the server under another program (its command line before the
  // server's own, as strace's); stop it with the shutdown sub-command.
  void RunUnder(std::vector<std::string> command) { under_ = std::move(command); }
  // The printer's attributes from Get-Printer-Attributes, each value as
  // text (integers in decimal, several joined by commas), every attribute
  // as often as the answer holds it.
  std::multimap<std::string, std::string> PrinterAttributes(const std::string &printer) const;
  // The printers by name with their printer-id, as Get-Printers lists them.
  std::map<std::string, int> Printers() const;
  // Deletes a printer by its printer-id (Delete-Printer); empty text, or why not.
  std::string DeletePrinter(int printer_id) const;
  // Asks for the printer's attributes `count` times over one connection, as
  // a client polling it does; returns the answers that did not come.
  int PollPrinter(const std::string &printer, int count) const;
  // Sets printer attributes (Set-Printer-Attributes); empty text, or why not.
  std::string SetPrinterAttributes(const std::string &printer,
                                   const std::vector<JobAttribute> &attributes) const;

  // The most memory the server has held (its peak resident set), in KiB;
  // 0 when it does not run.
  size_t PeakMemoryKiB() const;

  const std::string &Dir() const { return dir_; }
  int Port() const { return port_; }
  // The server's process, 0 while it does not run.
  pid_t Pid() const { return pid_; }
  std::string PrinterUri(const std::string &printer) const;
  std::string Log() const;

private:
  std::vector<std::string> Env() const;
  std::vector<std::string> extra_env_, under_;
  std::string program_;
  std::string dir_, errors_path_, address_ = "127.0.0.1";
  int port_ = 0;
  pid_t pid_ = 0;
};

// A network of the test's own: the calling thread, and the threads and
// processes it starts, in a new network namespace with its loopback up and
// a veth pair whose one end has the TEST-NET address 192.0.2.1. A client
// that connects to 192.0.2.1 reaches a server in it from an address that
// is not a loopback one, as another machine would. 192.0.2.9 is another
// host, awake (an address of this machine, where a SocketPrinter can
// listen) until silenced: then it drops what is sent to it, as a
// switched-off printer on the LAN does (a connection to it neither fails
// nor comes). The thread returns to the machine's namespace at the end, and
// the namespace goes with the last process in it.
class TestNetwork {
public:
  static constexpr char kOther[] = "192.0.2.1";
  static constexpr char kHost[] = "192.0.2.9";
  TestNetwork();
  ~TestNetwork();
  TestNetwork(const TestNetwork &) = delete;
  TestNetwork &operator=(const TestNetwork &) = delete;
  // Why the network could not be made (the test then skips), or "".
  const std::string &Error() const { return error_; }
  // The other host drops what is sent to it from now on, or answers again.
  void SilenceHost();
  void WakeHost();

private:
  int original_ = -1;
  std::string error_;
};

// What the application gets in its environment under the sanitizers
// (PAPPL's own leaks suppressed); nothing in a normal build. With a
// folder, the suppressions are read from a copy put there, for a server
// run as a user who may not reach the source tree (under /root).
std::vector<std::string> AppSanitizerEnv(const std::string &folder = "");

// The labels of a capture; *all_whole says whether the job decodes without
// a fault and every label is complete.
size_t WholeLabels(const std::string &capture, bool *all_whole);

// A free TCP port on the loopback interface.
int FreePort();

// A PWG raster stream (sGray, 8 bits) of the pages' pixels (0 black); with
// CUPS_RASTER_WRITE_APPLE, the same as Apple raster.
std::string PwgRaster(const std::vector<RasterPage> &pages,
                      cups_mode_t mode = CUPS_RASTER_WRITE_PWG);

// A label page: bars, text-like strokes, a grey ramp and a photo-like
// patch, so that every halftone and gamma decides differently. Grey levels,
// 0 black.
RasterPage LabelPage(uint32_t width, uint32_t height, uint32_t dpi);

// The filter's raster of the same pages: black ink (255 black), as CUPS
// rasterises for the PPDs, with the darkness level and the copies in the
// header as the PPDs put them there.
std::string FilterRaster(std::vector<RasterPage> pages, unsigned darkness, unsigned copies);

// The printer bytes the filter (vellumfilter_03 for a driver ending in
// "-03") writes for the pages with the driver's PPD and the options.
std::string FilterBytes(const std::string &driver, const std::vector<RasterPage> &pages,
                        const std::string &options, unsigned darkness = 0, unsigned copies = 1);

} // namespace vellum_test

#endif
