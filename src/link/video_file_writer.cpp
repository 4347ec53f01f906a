#include "link/video_file_writer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace dvrlink::link {
namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

// Where an open descriptor really is, from the kernel's view of it.
bool RealPathOf(int fd, std::string& path) {
  char buffer[PATH_MAX];
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
  if (n <= 0) return false;
  path.assign(buffer, static_cast<size_t>(n));
  return true;
}

bool Inside(const std::string& path, const std::string& root) {
  if (root == "/") return true;
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

// Opens the sub-folder part in dir (making it when missing) and checks that
// it lies under root.
int OpenSubfolder(int dir, const std::string& part, const std::string& root, std::string& error) {
  int fd = ::openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    // mkdirat does not follow a symbolic link in its last part: a link
    // leading nowhere gives EEXIST, and nothing is made where it points.
    if (::mkdirat(dir, part.c_str(), 0777) != 0 && errno != EEXIST) {
      error = "cannot make the folder '" + part + "': " + ErrnoText(errno);
      return -1;
    }
    fd = ::openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  if (fd < 0) {
    error = "cannot open the folder '" + part + "': " + ErrnoText(errno);
    return -1;
  }
  std::string real;
  if (!RealPathOf(fd, real) || !Inside(real, root)) {
    ::close(fd);
    error = "the folder '" + part + "' leads out of the export folder";
    return -1;
  }
  return fd;
}

std::atomic<uint64_t> g_temp_counter{0};

}  // namespace

std::vector<std::string> VideoFileWriter::NameParts(const std::string& export_folder, const std::string& name,
                                                    std::string& error) {
  std::vector<std::string> parts;
  if (export_folder.empty()) {
    error = "no export folder is configured";
    return {};
  }
  if (name.empty()) {
    error = "the file name is empty";
    return {};
  }
  if (name.find('\0') != std::string::npos) {
    error = "the file name holds a NUL character";
    return {};
  }
  if (name[0] == '/') {
    error = "the file name is absolute";
    return {};
  }
  size_t start = 0;
  std::string last;
  while (start <= name.size()) {
    size_t slash = name.find('/', start);
    if (slash == std::string::npos) slash = name.size();
    last = name.substr(start, slash - start);
    if (last == "..") {
      if (parts.empty()) {
        error = "the file name leads out of the export folder";
        return {};
      }
      parts.pop_back();
    } else if (!last.empty() && last != ".") {
      parts.push_back(last);
    }
    start = slash + 1;
  }
  // The name must end in a file name: not "dir/", "dir/." or "dir/..".
  if (parts.empty() || last.empty() || last == "." || last == "..") {
    error = "the file name does not end in a file name";
    return {};
  }
  return parts;
}

std::unique_ptr<VideoFileWriter> VideoFileWriter::Open(const std::string& export_folder, const std::string& name,
                                                       std::string& error) {
  std::vector<std::string> parts = NameParts(export_folder, name, error);
  if (parts.empty()) return nullptr;
  char* resolved = ::realpath(export_folder.c_str(), nullptr);
  if (resolved == nullptr) {
    error = "the export folder " + export_folder + " cannot be reached: " + ErrnoText(errno);
    return nullptr;
  }
  std::string root = resolved;
  std::free(resolved);

  std::unique_ptr<VideoFileWriter> writer(new VideoFileWriter());
  writer->dir_fd_ = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (writer->dir_fd_ < 0) {
    error = "cannot open the export folder " + root + ": " + ErrnoText(errno);
    return nullptr;
  }
  writer->path_ = root;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    int next = OpenSubfolder(writer->dir_fd_, parts[i], root, error);
    if (next < 0) return nullptr;
    ::close(writer->dir_fd_);
    writer->dir_fd_ = next;
    writer->path_ += "/" + parts[i];
  }
  writer->final_name_ = parts.back();
  writer->path_ += "/" + writer->final_name_;
  struct stat existing {};
  if (::fstatat(writer->dir_fd_, writer->final_name_.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(existing.st_mode)) {
    error = "'" + name + "' is a folder";
    return nullptr;
  }
  // Hidden, and unique among the retrievals of every process writing here.
  for (int attempt = 0; attempt < 100 && writer->file_fd_ < 0; ++attempt) {
    writer->temp_name_ = "." + writer->final_name_ + ".part-" + std::to_string(::getpid()) + "-" +
                         std::to_string(g_temp_counter++);
    writer->file_fd_ = ::openat(writer->dir_fd_, writer->temp_name_.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (writer->file_fd_ < 0 && errno != EEXIST) break;
  }
  if (writer->file_fd_ < 0) {
    error = "cannot create a file next to " + writer->path_ + ": " + ErrnoText(errno);
    writer->temp_name_.clear();
    return nullptr;
  }
  // Held until the file is closed: a lock that can be taken marks a file
  // whose writer is gone.
  ::flock(writer->file_fd_, LOCK_EX | LOCK_NB);
  return writer;
}

std::vector<std::string> VideoFileWriter::RemoveStalePartialFiles(const std::string& export_folder) {
  static const std::regex kPartName(R"(\..+\.part-([0-9]{1,9})-[0-9]+)");
  std::vector<std::string> removed;
  std::error_code ec;
  auto options = std::filesystem::directory_options::skip_permission_denied;
  for (auto it = std::filesystem::recursive_directory_iterator(export_folder, options, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::smatch match;
    const std::string name = it->path().filename().string();
    if (!it->is_regular_file(ec) || it->is_symlink(ec) || !std::regex_match(name, match, kPartName)) continue;
    pid_t pid = static_cast<pid_t>(std::stol(match[1]));
    if (pid != ::getpid() && (::kill(pid, 0) == 0 || errno != ESRCH)) continue;
    int fd = ::open(it->path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    bool unused = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (unused && ::unlink(it->path().c_str()) == 0) removed.push_back(it->path().string());
    ::close(fd);
  }
  return removed;
}

VideoFileWriter::~VideoFileWriter() {
  Abort();
  if (dir_fd_ >= 0) ::close(dir_fd_);
}

bool VideoFileWriter::Append(int64_t offset, std::string_view bytes, std::string& error) {
  if (file_fd_ < 0) {
    error = "the file is closed";
    return false;
  }
  if (offset != written_) {
    error = "a chunk at byte " + std::to_string(offset) + " where byte " + std::to_string(written_) + " was due";
    return false;
  }
  while (!bytes.empty()) {
    ssize_t n = ::write(file_fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = "cannot write " + path_ + ": " + ErrnoText(n < 0 ? errno : EIO);
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
    written_ += n;
  }
  return true;
}

bool VideoFileWriter::Commit(std::string& error) {
  if (file_fd_ < 0) {
    error = "the file is closed";
    return false;
  }
  int fd = file_fd_;
  file_fd_ = -1;
  if (::close(fd) != 0) {
    error = "cannot close " + path_ + ": " + ErrnoText(errno);
    Abort();
    return false;
  }
  // renameat replaces the final name itself, also when it is a link.
  if (::renameat(dir_fd_, temp_name_.c_str(), dir_fd_, final_name_.c_str()) != 0) {
    error = "cannot name the file " + path_ + ": " + ErrnoText(errno);
    Abort();
    return false;
  }
  temp_name_.clear();
  return true;
}

void VideoFileWriter::Abort() {
  if (file_fd_ >= 0) {
    ::close(file_fd_);
    file_fd_ = -1;
  }
  if (!temp_name_.empty() && dir_fd_ >= 0) ::unlinkat(dir_fd_, temp_name_.c_str(), 0);
  temp_name_.clear();
}

}  // namespace dvrlink::link
