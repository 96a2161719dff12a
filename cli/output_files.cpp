#include "output_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "cli_error.h"
#include "scan_output.h"

namespace cli {

namespace fs = std::filesystem;

namespace {

fs::path folderOf(const std::string& path) {
  const fs::path target(path);
  return target.has_parent_path() ? target.parent_path() : fs::path(".");
}

std::string reason(int error) { return std::strerror(error); }

// Writes the whole text to a new file; returns 0 or the errno of the failure (the file is removed then).
int writeNewFile(const fs::path& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int error = 0;
  std::size_t done = 0;
  while (done < text.size() && error == 0) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno != EINTR) error = errno;
    } else {
      done += static_cast<std::size_t>(n);
    }
  }
  // A full disk may show only when the data reaches it.
  if (error == 0 && ::fsync(fd) != 0 && errno != EINVAL) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) ::unlink(path.c_str());
  return error;
}

}  // namespace

void checkOutputPath(const std::string& path, const std::string& option) {
  if (path == "-") return;
  const std::string what = option + " " + path + ": ";
  if (path.empty()) throw CliError(option + ": the path is empty");
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw CliError(what + "is a folder, not a file");
    // A device (/dev/stdout) or a pipe is written directly (see writeFilesAtomically); nothing else but a file.
    if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode))
      throw CliError(what + "is not a file, a device or a pipe");
    if (!S_ISREG(st.st_mode)) {
      if (::access(path.c_str(), W_OK) != 0) {
        const int error = errno;
        throw CliError(what + reason(error));
      }
      return;
    }
  }
  const fs::path dir = folderOf(path);
  if (::stat(dir.c_str(), &st) != 0) {
    const int error = errno;
    throw CliError(what + "cannot use the folder " + dir.string() + ": " + reason(error));
  }
  if (!S_ISDIR(st.st_mode)) throw CliError(what + dir.string() + " is not a folder");
  if (::access(dir.c_str(), W_OK | X_OK) != 0) {
    const int error = errno;
    throw CliError(what + "cannot write in the folder " + dir.string() + ": " + reason(error));
  }
}

void writeFilesAtomically(const std::vector<std::pair<std::string, std::string>>& files,
                          const std::function<void()>& beforeRename) {
  std::vector<fs::path> temporaries;
  auto removeTemporaries = [&] {
    for (const fs::path& t : temporaries) ::unlink(t.c_str());
  };
  // A device or a pipe (/dev/stdout) cannot be replaced by a rename: it is written directly, last, together
  // with standard output.
  std::vector<std::pair<std::string, std::string>> regular, direct;
  for (const auto& f : files) {
    struct stat st {};
    (::stat(f.first.c_str(), &st) == 0 && !S_ISREG(st.st_mode) ? direct : regular).push_back(f);
  }
  for (const auto& [path, text] : regular) {
    const fs::path tmp =
        folderOf(path) / ("." + fs::path(path).filename().string() + ".tmp" + std::to_string(::getpid()));
    ::unlink(tmp.c_str());  // a leftover of a killed run with the same process id
    if (const int error = writeNewFile(tmp, text); error != 0) {
      removeTemporaries();
      throw CliError("cannot write " + path + ": " + reason(error));
    }
    temporaries.push_back(tmp);
  }
  try {
    if (beforeRename) beforeRename();
    for (const auto& [path, text] : direct) {
      std::ofstream f(path, std::ios::binary);
      f << text;
      f.flush();
      if (!f) throw CliError("cannot write " + path);
    }
  } catch (...) {
    removeTemporaries();
    throw;
  }
  for (std::size_t i = 0; i < regular.size(); ++i) {
    if (::rename(temporaries[i].c_str(), regular[i].first.c_str()) != 0) {
      const int error = errno;
      for (std::size_t k = i; k < temporaries.size(); ++k) ::unlink(temporaries[k].c_str());
      throw CliError("cannot write " + regular[i].first + ": " + reason(error));
    }
  }
}

void writeFileAtomically(const std::string& path, const std::string& text) { writeFilesAtomically({{path, text}}); }

void writeStream(std::ostream& out, const std::string& text) {
  out << text;
  out.flush();
  if (!out) throw CliError("cannot write to standard output (closed, or the disk or pipe is full)");
}

}  // namespace cli
