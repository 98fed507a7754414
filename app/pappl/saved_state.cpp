// PAPPL's saved queue, mended before PAPPL loads it (the jobs a server
// stopped or killed left behind); read without a server, so that it can be
// fuzzed. The state file has a line per job inside its printer's
// <Printer ...> block: `Job id="3" state="5" filename="..."`; a job not yet
// ended also has its settings in the spool, in a file named as its
// document with the extension "ipp". The faults it mends:
//
// - A job that was being printed when the server stopped is loaded as
//   still printing, with nothing printing it: the printer's queue stays
//   blocked (PAPPL 1.3.x and 1.4.x, 1.4.9 included; no release fixes it
//   yet). It is queued again and prints again, whole.
// - A job whose settings file is gone is lost without a word, and one whose
//   document is gone is aborted without one (1.3.x and 1.4.x, 1.4.9
//   included). It ends aborted, with a message that names the file.
// - A job PAPPL loads is given its job-id, job-uri and the like anew, and
//   then its saved settings, which hold them too: each is twice in the
//   job's attributes and in every answer about the job (1.3.x and 1.4.x,
//   1.4.9 included). They leave the settings file before PAPPL reads it.
// - PAPPL 1.4.0 to 1.4.9 keep a printer's stopped state, but also stop a
//   printer that cannot be reached while a job waits for it (1.3.x saves no
//   printer state): only the printers their owner paused keep it (the
//   queue file beside the state names them: queue_file.cpp).
//
// At run time: the log says which jobs print again, and which ended
// aborted and why.
#include "saved_state.h"

#include "../whole_file.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include <cups/cups.h>
#include <fcntl.h>
#include <unistd.h>

namespace vellum_app {

namespace {

// The options of a state file line after its name: key="value" pairs.
struct Options {
  int count = 0;
  cups_option_t *list = nullptr;
  explicit Options(const std::string &text) { count = cupsParseOptions(text.c_str(), 0, &list); }
  ~Options() { cupsFreeOptions(count, list); }
  Options(const Options &) = delete;
  Options &operator=(const Options &) = delete;
  const char *Get(const char *name) const { return cupsGetOption(name, count, list); }
  void Set(const char *name, const std::string &value) {
    count = cupsAddOption(name, value.c_str(), count, &list);
  }
  void Remove(const char *name) { count = cupsRemoveOption(name, count, &list); }
  // The line again, as PAPPL writes it.
  std::string Line(const std::string &name) const {
    std::string line = name;
    for (int i = 0; i < count; ++i) {
      line += std::string(" ") + list[i].name + "=\"";
      for (const char *c = list[i].value; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '"')
          line += '\\';
        line += *c;
      }
      line += '"';
    }
    return line;
  }
};

// The file name PAPPL gives a job's files in the spool: its printer and
// job IDs and its name, lowercase letters, digits and '-' kept, any run of
// other characters one '_'.
std::string SpoolName(int printer_id, int job_id, const std::string &job_name) {
  std::string name = job_name.empty() ? "untitled" : job_name;
  const size_t slash = name.rfind('/');
  if (slash != std::string::npos && slash + 1 < name.size())
    name = name.substr(slash + 1);
  std::string kept;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (std::isalnum(c) || c == '-') {
      kept += static_cast<char>(std::tolower(c));
    } else {
      kept += '_';
      while (i + 1 < name.size() && !std::isalnum(static_cast<unsigned char>(name[i + 1])) &&
             name[i + 1] != '-')
        ++i;
    }
  }
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "p%05dj%09d-", printer_id, job_id);
  return prefix + kept;
}

bool Readable(const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  close(fd);
  return true;
}

// The file of a job's settings in the spool.
std::string SettingsPath(const Options &job, int printer_id, const std::string &spool) {
  const char *id = job.Get("id");
  return spool + "/" +
         SpoolName(printer_id, id != nullptr ? std::atoi(id) : 0,
                   job.Get("name") != nullptr ? job.Get("name") : "") +
         ".ipp";
}

// Why a job not yet ended cannot be restored, or "".
std::string Unrestorable(const Options &job, int printer_id, const std::string &spool) {
  const char *document = job.Get("filename");
  if (document == nullptr)
    return "its document had not come whole when the server stopped.";
  if (!Readable(document))
    return std::string("its document ") + document + " is " +
           (access(document, F_OK) == 0 ? "unreadable" : "gone") + " since the server stopped.";
  const std::string settings = SettingsPath(job, printer_id, spool);
  if (!Readable(settings))
    return "its settings file " + settings + " is gone since the server stopped.";
  return "";
}

// PAPPL 1.3.1 gives a job it loads these attributes anew and then reads
// the job's saved settings, which hold them too: each would be twice in
// the job's attributes, and in every answer about the job. They are
// dropped from the settings file before PAPPL reads it.
void DropAttributesMadeAgain(const std::string &settings) {
  int fd = open(settings.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return;
  ipp_t *ipp = ippNew();
  const bool read = ippReadFile(fd, ipp) == IPP_STATE_DATA;
  close(fd);
  bool dropped = false;
  for (const char *name : {"job-id", "job-uri", "job-uuid", "job-printer-uri", "job-name",
                           "job-originating-user-name"}) {
    while (ipp_attribute_t *attr = read ? ippFindAttribute(ipp, name, IPP_TAG_ZERO) : nullptr) {
      ippDeleteAttribute(ipp, attr);
      dropped = true;
    }
  }
  if (dropped)
    WriteFileWhole(settings, [ipp](const std::string &temporary) {
      const int to = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      const bool written = to >= 0 && ippWriteFile(to, ipp) == IPP_STATE_DATA;
      return to >= 0 && close(to) == 0 && written;
    });
  ippDelete(ipp);
}

// PAPPL 1.4.0 to 1.4.9 keep a printer's state in its <Printer ...> line and
// pause a printer saved as stopped when they load it. But they also stop a
// printer that cannot be reached while a job waits for it, so that a
// queue saved while its printer was away would stay paused at every start
// and never print. The printers their owner paused are in the queue file;
// the others lose the saved state. (PAPPL 1.3.1 saves no printer state.)
std::string MendPrinterLine(const std::string &line, const std::set<int> &owner_paused) {
#if VELLUM_PAPPL_VERSION >= 10400
  Options printer(line.substr(9, line.size() - 10));
  const char *id = printer.Get("id");
  if (printer.Get("state") == nullptr || (id != nullptr && owner_paused.count(std::atoi(id)) != 0))
    return line;
  printer.Remove("state");
  return "<" + printer.Line("Printer") + ">";
#else
  (void)owner_paused;
  return line;
#endif
}

} // namespace

QueueRepairs MendSavedState(std::string &state, const std::string &spool,
                            const std::set<int> &owner_paused, bool *changed) {
  QueueRepairs repairs;
  std::istringstream in(state);
  std::string text, line;
  int printer_id = 0;
  *changed = false;
  while (std::getline(in, line)) {
    if (line.rfind("<Printer ", 0) == 0) {
      const Options printer(line.substr(9, line.size() - 10));
      printer_id = printer.Get("id") != nullptr ? std::atoi(printer.Get("id")) : 0;
      const std::string mended = MendPrinterLine(line, owner_paused);
      *changed = *changed || mended != line;
      line = mended;
    } else if (line.rfind("Job ", 0) == 0) {
      Options job(line.substr(4));
      const int state = job.Get("state") != nullptr ? std::atoi(job.Get("state")) : 0;
      const int id = job.Get("id") != nullptr ? std::atoi(job.Get("id")) : 0;
      if (state >= IPP_JSTATE_PENDING && state < IPP_JSTATE_CANCELED) {
        const std::string why = Unrestorable(job, printer_id, spool);
        if (!why.empty()) {
          job.Set("state", std::to_string(IPP_JSTATE_ABORTED));
          job.Set("completed", std::to_string(std::time(nullptr)));
          repairs.jobs.push_back({printer_id, id, why});
        } else {
          DropAttributesMadeAgain(SettingsPath(job, printer_id, spool));
          if (state == IPP_JSTATE_PROCESSING || state == IPP_JSTATE_STOPPED) {
            job.Set("state", std::to_string(IPP_JSTATE_PENDING));
            job.Remove("processing");
            repairs.jobs.push_back({printer_id, id, ""});
          }
        }
        const std::string mended = job.Line("Job");
        *changed = *changed || mended != line;
        line = mended;
      }
    }
    text += line + "\n";
  }
  if (*changed)
    state = text;
  return repairs;
}

QueueRepairs MendStateBeforeLoading(const std::string &state_path, const std::string &spool,
                                    const std::set<int> &owner_paused) {
  std::ifstream in(state_path, std::ios::binary);
  if (!in)
    return {};
  std::ostringstream text;
  text << in.rdbuf();
  std::string mended = text.str();
  bool changed = false;
  const QueueRepairs repairs = MendSavedState(mended, spool, owner_paused, &changed);
  if (changed)
    WriteFileWhole(state_path, mended);
  return repairs;
}

} // namespace vellum_app
