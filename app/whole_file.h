// Files the server keeps (its state, the queue, the speeds, a job's
// settings) written so that a process killed or a power cut at any moment
// leaves the old file or the new one, whole.
#ifndef VELLUM_APP_WHOLE_FILE_H
#define VELLUM_APP_WHOLE_FILE_H

#include <functional>
#include <string>

namespace vellum_app {

// `write` fills another file beside `path` (it is given that file's path);
// that file is flushed to the disk and then takes the place of `path`, and
// the folder is flushed so that the new name stays. False, with `path`
// untouched, where a step fails.
bool WriteFileWhole(const std::string &path,
                    const std::function<bool(const std::string &temporary)> &write);

// The same for a text.
bool WriteFileWhole(const std::string &path, const std::string &text);

} // namespace vellum_app

#endif
