// Files with 32-bit handles, the path resolver and the error-code mapping.
#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "handles.h"
#include "internal.h"
#include "platform/text.h"

namespace plat {
namespace {

// An open file; the descriptor is closed when the last user lets go, so a
// close racing a read never closes a descriptor under it.
struct File {
  int fd;
  explicit File(int f) : fd(f) {}
  ~File() { close(fd); }
};

HandleTable<File>& files() {
  static auto* t = new HandleTable<File>(0x100);  // apart from small descriptor numbers
  return *t;
}

bool is_dir(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The error code of a failed call on `resolved`: a missing file whose
// directory is missing too is a missing path.
int32_t open_error(int err, const std::string& resolved) {
  if (err == ENOENT) {
    std::size_t slash = resolved.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : resolved.substr(0, slash == 0 ? 1 : slash);
    if (!is_dir(dir)) return 3;
  }
  return dos_error_from_errno(err);
}

void set(int32_t* out, int32_t v) {
  if (out != nullptr) *out = v;
}

// The entry of `dir` whose name equals `part` without regard to case, or ""
// when none does. A directory's entries change only with its modification
// time, so the answer found by reading the directory is kept and given again
// while the directory's inode and time are the same: scenario searches ask
// for the same names in the same directories over and over.
std::string match_entry(const std::string& dir, const std::string& part) {
  struct Known {
    dev_t dev;
    ino_t ino;
    timespec mtime;
    std::string answer;
  };
  static std::mutex mu;
  static auto* known = new std::unordered_map<std::string, Known>;
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return {};
  const std::string key = dir + '\0' + part;
  {
    std::lock_guard<std::mutex> lock(mu);
    auto it = known->find(key);
    if (it != known->end() && it->second.dev == st.st_dev && it->second.ino == st.st_ino &&
        it->second.mtime.tv_sec == st.st_mtim.tv_sec &&
        it->second.mtime.tv_nsec == st.st_mtim.tv_nsec) {
      return it->second.answer;
    }
  }
  std::string answer;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (name_equal_nocase(e->d_name, part)) {
        answer = e->d_name;
        break;
      }
    }
    closedir(d);
  }
  std::lock_guard<std::mutex> lock(mu);
  if (known->size() > 4096) known->clear();  // bounded: a cache, not a record
  (*known)[key] = Known{st.st_dev, st.st_ino, st.st_mtim, answer};
  return answer;
}

}  // namespace

// Case-blind comparison of two names in code page 932: ASCII letters fold,
// the bytes of a double-byte character must match exactly.
bool name_equal_nocase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (kCodePage932(x) && i + 1 < a.size()) {
      if (x != y || a[i + 1] != b[i + 1]) return false;
      ++i;
      continue;
    }
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::string resolve_path(const char* path) {
  if (path == nullptr) return {};
  std::string in = path;
  std::size_t i = 0;
  // A drive prefix ("C:") names nothing here: it is dropped, and the rest
  // counts from the root when a separator follows.
  if (in.size() >= 2 && in[1] == ':' &&
      ((in[0] >= 'A' && in[0] <= 'Z') || (in[0] >= 'a' && in[0] <= 'z')))
    i = 2;
  // Split at '\' and '/', but never inside a double-byte character, whose
  // trail byte can be 0x5C.
  std::vector<std::string> parts;
  bool absolute = i < in.size() && (in[i] == '/' || in[i] == '\\');
  std::string cur;
  for (; i < in.size(); ++i) {
    auto c = static_cast<unsigned char>(in[i]);
    if (kCodePage932(c) && i + 1 < in.size()) {
      cur += in[i];
      cur += in[++i];
    } else if (c == '/' || c == '\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur += in[i];
    }
  }
  if (!cur.empty()) parts.push_back(cur);

  std::string out = absolute ? "/" : "";
  bool exists = true;  // everything so far is on disk
  for (const std::string& part : parts) {
    std::string name = part;
    if (exists && part != "." && part != "..") {
      std::string dir = out.empty() ? "." : out;
      std::string exact = (out.empty() || out.back() == '/' ? out : out + "/") + part;
      struct stat st;
      if (lstat(exact.c_str(), &st) != 0) {
        const std::string found = match_entry(dir, part);
        exists = !found.empty();
        if (exists) name = found;
      }
    }
    if (!out.empty() && out.back() != '/') out += '/';
    out += name;
  }
  if (out.empty()) out.push_back('.');  // not `out = "."`: GCC 12 warns falsely (-Wrestrict)
  return out;
}

int32_t dos_error_from_errno(int err) {
  switch (err) {
    case 0:
      return 0;
    case ENOENT:
      return 2;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return 3;
    case EMFILE:
    case ENFILE:
      return 4;
    case EACCES:
    case EPERM:
    case EISDIR:
      return 5;
    case EBADF:
      return 6;
    case ENOMEM:
      return 8;
    case EXDEV:
      return 0x11;
    case EROFS:
      return 0x13;
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
      return 0x1D;
    case EBUSY:
    case ETXTBSY:
      return 0x20;
    case EAGAIN:
      return 0x21;
    case ENXIO:
    case ENODEV:
      return 0x37;
    case EOPNOTSUPP:
      return 0x32;
    case EEXIST:
      return 0x50;
    case EINVAL:
      return 0x57;
    default:
      return 0x1F;  // general failure
  }
}

uint32_t file_open(const char* path, FileMode mode, int32_t* dos_error) {
  if (path == nullptr || *path == '\0') {
    set(dos_error, 2);
    return 0;
  }
  std::string p = resolve_path(path);
  int flags = O_CLOEXEC;
  switch (mode) {
    case FileMode::Read:
      flags |= O_RDONLY;
      break;
    case FileMode::ReadWrite:
      flags |= O_RDWR;
      break;
    case FileMode::Create:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      break;
    default:
      set(dos_error, 0x57);
      return 0;
  }
  int fd = open(p.c_str(), flags, 0666);
  if (fd < 0) {
    set(dos_error, open_error(errno, p));
    return 0;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {  // a directory is no file
    close(fd);
    set(dos_error, 5);
    return 0;
  }
  set(dos_error, 0);
  return files().add(std::make_shared<File>(fd));
}

bool file_delete(const char* path, int32_t* dos_error) {
  if (path == nullptr || *path == '\0') {
    set(dos_error, 2);
    return false;
  }
  std::string p = resolve_path(path);
  if (is_dir(p)) {
    set(dos_error, 5);
    return false;
  }
  if (unlink(p.c_str()) != 0) {
    set(dos_error, open_error(errno, p));
    return false;
  }
  set(dos_error, 0);
  return true;
}

int64_t file_read(uint32_t h, void* buf, uint32_t count) {
  auto f = files().get(h);
  if (!f || (buf == nullptr && count != 0)) return -1;
  int fd = f->fd;
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = read(fd, static_cast<char*>(buf) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done ? static_cast<int64_t>(done) : -1;
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

int64_t file_write(uint32_t h, const void* data, uint32_t count) {
  auto f = files().get(h);
  if (!f || (data == nullptr && count != 0)) return -1;
  int fd = f->fd;
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = write(fd, static_cast<const char*>(data) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return done ? static_cast<int64_t>(done) : -1;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

int64_t file_seek(uint32_t h, int64_t offset, int whence) {
  auto f = files().get(h);
  if (!f || whence < 0 || whence > 2) return -1;
  int fd = f->fd;
  static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  off_t r = lseek(fd, static_cast<off_t>(offset), kWhence[whence]);
  return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t file_size(uint32_t h) {
  auto f = files().get(h);
  struct stat st;
  if (!f || fstat(f->fd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool file_close(uint32_t h) {
  return files().remove(h) != nullptr;
}

std::string program_dir() {
  std::string exe = program_path();
  std::size_t slash = exe.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : exe.substr(0, slash);
}

std::string program_path() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace plat
