#include "harness.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace vellum_test {

const char *FilterPath(Variant variant) {
  return variant == Variant::kBase ? VELLUMFILTER_PATH : VELLUMFILTER_03_PATH;
}

const char *VariantName(Variant variant) {
  return variant == Variant::kBase ? "base" : "variant03";
}

std::string ScratchDir() {
  // Never destroyed, so that the exit handler that removes it can still read it.
  static const std::string *const dir = [] {
    char tmpl[] = "/tmp/vellum-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    // VELLUM_KEEP_TEST_FILES keeps the folder for a look after a failure.
    if (std::getenv("VELLUM_KEEP_TEST_FILES") == nullptr)
      std::atexit([] { std::filesystem::remove_all(*dir); });
    return new std::string(tmpl);
  }();
  return *dir;
}

std::string WriteScratchFile(const std::string &name, const std::string &content) {
  const std::string path = ScratchDir() + "/" + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

RasterPage GreyPage(uint32_t width, uint32_t height, unsigned char fill, uint32_t xdpi,
                    uint32_t ydpi) {
  RasterPage page;
  std::memset(&page.header, 0, sizeof page.header);
  page.header.HWResolution[0] = xdpi;
  page.header.HWResolution[1] = ydpi;
  page.header.cupsWidth = width;
  page.header.cupsHeight = height;
  page.header.cupsBitsPerColor = 8;
  page.header.cupsBitsPerPixel = 8;
  page.header.cupsBytesPerLine = width;
  page.header.cupsColorSpace = CUPS_CSPACE_W;
  page.header.NumCopies = 1;
  page.pixels.assign(size_t{width} * height, fill);
  return page;
}

std::string RasterStream(const std::vector<RasterPage> &pages, cups_mode_t mode) {
  static int serial = 0;
  const std::string path = ScratchDir() + "/stream-" + std::to_string(++serial) + ".ras";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  cups_raster_t *ras = cupsRasterOpen(fd, mode);
  for (const RasterPage &page : pages) {
    cups_page_header2_t header = page.header;
    cupsRasterWriteHeader2(ras, &header);
    const size_t full = size_t{header.cupsBytesPerLine} * header.cupsHeight;
    if (!page.pixels.empty()) {
      std::vector<unsigned char> pixels = page.pixels;
      cupsRasterWritePixels(ras, pixels.data(), static_cast<unsigned>(pixels.size()));
    }
    if (page.pixels.size() < full)
      break;
  }
  cupsRasterClose(ras);
  close(fd);
  return ReadFile(path);
}

std::string PpdText(int model_number, const std::vector<PpdOption> &options) {
  std::ostringstream ppd;
  ppd << "*PPD-Adobe: \"4.3\"\n"
      << "*FormatVersion: \"4.3\"\n"
      << "*LanguageVersion: English\n"
      << "*ModelName: \"Test Label Printer\"\n"
      << "*cupsModelNumber: " << model_number << "\n";
  for (const PpdOption &option : options) {
    const std::string &def =
        option.default_choice.empty() ? option.choices.front() : option.default_choice;
    ppd << "*OpenUI *" << option.keyword << "/" << option.keyword << ": PickOne\n"
        << "*Default" << option.keyword << ": " << def << "\n";
    for (const std::string &choice : option.choices)
      ppd << "*" << option.keyword << " " << choice << "/" << choice << ": \"\"\n";
    ppd << "*CloseUI: *" << option.keyword << "\n";
  }
  return ppd.str();
}

std::vector<std::string> FilterEnv() {
  return {"LC_ALL=C", "HOME=" + ScratchDir(), "CUPS_SERVER=" + ScratchDir() + "/no-scheduler.sock"};
}

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

Process Spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
              const Streams &streams) {
  static int serial = 0;
  Process process;
  const std::string base = ScratchDir() + "/run-" + std::to_string(++serial);
  process.out_path = streams.stdout_path.empty() ? base + ".out" : "";
  process.err_path = base + ".err";

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  if (streams.stdin_path == kPipe) {
    if (pipe(in_pipe) != 0)
      throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    posix_spawn_file_actions_addclose(&actions, in_pipe[1]);
  } else {
    const char *path = streams.stdin_path.empty() ? "/dev/null" : streams.stdin_path.c_str();
    posix_spawn_file_actions_addopen(&actions, 0, path, O_RDONLY, 0);
  }
  if (streams.stdout_path == kPipe) {
    if (pipe(out_pipe) != 0)
      throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  } else {
    const std::string &path = streams.stdout_path.empty() ? process.out_path : streams.stdout_path;
    posix_spawn_file_actions_addopen(&actions, 1, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  posix_spawn_file_actions_addopen(&actions, 2, process.err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);

  std::vector<char *> args;
#ifdef VELLUM_EMULATOR
  // The kernel runs only the machine's own programs; the build's, made for
  // another processor, run under qemu-user as the test itself does.
  const bool emulated = argv[0].rfind(VELLUM_BINARY_DIR "/", 0) == 0;
  const std::string program = emulated ? VELLUM_EMULATOR : argv[0];
  if (emulated)
    args.push_back(const_cast<char *>(VELLUM_EMULATOR));
#else
  const std::string &program = argv[0];
#endif
  for (const std::string &arg : argv)
    args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  // The child sees only what the test sets, plus PATH.
  std::vector<std::string> env_strings = env;
  if (const char *path = std::getenv("PATH"))
    env_strings.push_back(std::string("PATH=") + path);
  std::vector<char *> envp;
  for (std::string &entry : env_strings)
    envp.push_back(entry.data());
  envp.push_back(nullptr);

  const int spawned =
      posix_spawn(&process.pid, program.c_str(), &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (in_pipe[0] != -1) {
    close(in_pipe[0]);
    process.stdin_fd = in_pipe[1];
  }
  if (out_pipe[1] != -1) {
    close(out_pipe[1]);
    process.stdout_fd = out_pipe[0];
  }
  if (spawned != 0)
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(spawned));
  return process;
}

Result Wait(Process &process) {
  if (process.stdin_fd != -1)
    close(process.stdin_fd);
  if (process.stdout_fd != -1)
    close(process.stdout_fd);
  process.stdin_fd = process.stdout_fd = -1;
  int status = 0;
  waitpid(process.pid, &status, 0);
  Result run;
  if (WIFEXITED(status))
    run.exit_status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    run.signal = WTERMSIG(status);
  if (!process.out_path.empty())
    run.out = ReadFile(process.out_path);
  run.err = SplitLines(ReadFile(process.err_path));
  return run;
}

Result RunProgram(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                  const std::string &stdin_path) {
  Process process = Spawn(argv, env, {stdin_path, ""});
  return Wait(process);
}

std::vector<std::string> FilterEnv(const std::string &ppd) {
  static int serial = 0;
  std::vector<std::string> env = FilterEnv();
  env.push_back("PPD=" + WriteScratchFile("printer-" + std::to_string(++serial) + ".ppd", ppd));
  return env;
}

std::vector<std::string> FilterArgs(Variant variant, const std::string &options) {
  return {FilterPath(variant), "1", "user", "title", "1", options};
}

Result RunFilter(const std::string &ppd, const std::string &raster, const std::string &options,
                 Variant variant, Input input) {
  const std::string raster_path = WriteScratchFile("job.ras", raster);
  std::vector<std::string> argv = FilterArgs(variant, options);
  if (input == Input::kFile) {
    argv.push_back(raster_path);
    return RunProgram(argv, FilterEnv(ppd));
  }
  return RunProgram(argv, FilterEnv(ppd), raster_path);
}

std::string Frame(unsigned char code, std::initializer_list<unsigned char> payload, bool crlf) {
  std::string frame = "\x1B\xFF\xFE\x01";
  frame += static_cast<char>(code);
  frame += static_cast<char>(payload.size());
  for (const unsigned char byte : payload)
    frame += static_cast<char>(byte);
  frame += "\x1B\xFE\xFF";
  if (crlf)
    frame += "\r\n";
  return frame;
}

std::string EndOfPageFrame() { return Frame(0x45, {0xFF}, false); }

bool Contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::vector<std::string> LinesStartingWith(const std::vector<std::string> &lines,
                                           const std::string &prefix) {
  std::vector<std::string> found;
  for (const std::string &line : lines)
    if (line.compare(0, prefix.size(), prefix) == 0)
      found.push_back(line);
  return found;
}

} // namespace vellum_test
