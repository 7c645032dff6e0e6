// mrvvfs: packs the files of a folder into a .vfs archive, lists and
// extracts archives, in the layout the file manager reads.
//
// Layout: a 16-byte header (bytes 4-5 the number of entries, 6-7 the bytes
// of each entry that are read, 8-11 the size of the directory; the rest is
// written as zero and never read), then the directory of 32-byte entries
// (name NUL-terminated in bytes 0-18, data offset from the archive's start
// in 19-22, size in 23-26, little-endian), then the files' data.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr uint32_t kHeader = 16;
constexpr uint32_t kEntry = 32;
constexpr uint32_t kNameField = 19;       // the name and its terminator
constexpr uint32_t kOffsetField = 19;     // unsigned 32-bit
constexpr uint32_t kSizeField = 23;       // unsigned 32-bit
constexpr uint32_t kMaxEntries = 0xFFFF;  // the count is 16-bit
constexpr uint64_t kMaxEnd = 0xFFFFFFFF;  // offsets and sizes are 32-bit

constexpr char kUsage[] =
    "usage: mrvvfs create ARCHIVE.vfs FOLDER\n"
    "       mrvvfs list ARCHIVE.vfs\n"
    "       mrvvfs extract ARCHIVE.vfs [-C DIR] [NAME...]\n"
    "       mrvvfs --help\n";

constexpr char kHelp[] =
    "\n"
    "Packs, lists and unpacks the archives from which the engine reads files. A\n"
    "file D\\N that a title reads may live in the archive D.vfs beside the folder\n"
    "D instead of in the folder; when D.vfs exists, the engine looks only there.\n"
    "\n"
    "  create ARCHIVE FOLDER   pack every file of FOLDER (not its subfolders) into\n"
    "                          ARCHIVE, in the order of their names\n"
    "  list ARCHIVE            one line per entry: the name, then the size in bytes\n"
    "  extract ARCHIVE [-C DIR] [NAME...]\n"
    "                          write every entry, or the entries NAME (found without\n"
    "                          regard to case, as the engine finds them), into DIR\n"
    "                          (default: the current directory)\n"
    "  -h, --help              this text\n"
    "\n"
    "Names are kept byte for byte as on disk (the engine's names are code page\n"
    "932) and may have at most 18 bytes; names that differ only in case are\n"
    "refused, because the engine would see only the first. An archive holds at\n"
    "most 65535 files and all data must end within its first 4 GiB. Archives\n"
    "whose header, directory or entries do not fit the file are refused.\n"
    "\n"
    "Exit status: 0 success, 1 failure (message on standard error), 2 wrong usage.\n";

struct Entry {
  std::string name;
  uint32_t offset = 0;
  uint32_t size = 0;
};

int fail(const std::string& message) {
  std::fprintf(stderr, "mrvvfs: %s\n", message.c_str());
  return kExitFailed;
}

int usage_error(const std::string& message) {
  std::fprintf(stderr, "mrvvfs: %s\n%s", message.c_str(), kUsage);
  return kExitUsage;
}

std::string upper(std::string s) {
  plat::upper_cp932(s.data());
  return s;
}

// A file descriptor closed on every way out.
struct Fd {
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int fd;
};

bool read_exact(int fd, int64_t offset, void* buf, std::size_t count) {
  auto* p = static_cast<char*>(buf);
  while (count > 0) {
    const ssize_t n = pread(fd, p, count, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    offset += n;
    count -= std::size_t(n);
  }
  return true;
}

bool write_all(int fd, const void* data, std::size_t count) {
  const auto* p = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t n = write(fd, p, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= std::size_t(n);
  }
  return true;
}

// Copies `size` bytes at `offset` of `in` to the end of `out`. On failure
// `why` is `read_failure` or `write_failure` with the system's reason.
bool copy_range(int in, int64_t offset, uint64_t size, int out, const std::string& read_failure,
                const std::string& write_failure, std::string* why) {
  std::vector<char> buf(1 << 16);
  for (uint64_t done = 0; done < size;) {
    const std::size_t n = std::size_t(std::min<uint64_t>(buf.size(), size - done));
    if (!read_exact(in, offset + int64_t(done), buf.data(), n)) {
      *why = read_failure;
      return false;
    }
    if (!write_all(out, buf.data(), n)) {
      *why = write_failure + ": " + std::strerror(errno);
      return false;
    }
    done += n;
  }
  return true;
}

// ---- Reading ---------------------------------------------------------------

// Reads the directory as the file manager does (each entry zero-filled, then
// as many of its bytes as the header says), and checks that the header, the
// directory and every entry's data lie within the file.
bool read_archive(const std::string& path, int fd, std::vector<Entry>* out, std::string* why) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *why = path + ": " + std::strerror(errno);
    return false;
  }
  const int64_t size = st.st_size;
  const std::string damaged = path + ": damaged archive: ";
  uint8_t header[kHeader];
  if (size < kHeader || !read_exact(fd, 0, header, kHeader)) {
    *why = damaged + "shorter than its 16-byte header";
    return false;
  }
  const uint32_t count = plat::get_le16(header + 4);
  const uint32_t per_entry = plat::get_le16(header + 6);
  const uint32_t dir_size = plat::get_le32(header + 8);
  if (per_entry > kEntry) {
    *why = damaged + "entries of " + std::to_string(per_entry) + " bytes (at most 32)";
    return false;
  }
  const uint64_t used = count == 0 ? 0 : uint64_t(count - 1) * kEntry + per_entry;
  if (used > dir_size || kHeader + int64_t(dir_size) > size) {
    *why = damaged + "the directory of " + std::to_string(count) + " entries does not fit the file";
    return false;
  }
  std::vector<uint8_t> directory(used);
  if (used > 0 && !read_exact(fd, kHeader, directory.data(), used)) {
    *why = path + ": cannot read the directory: " + std::strerror(errno);
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t raw[kEntry] = {};
    std::memcpy(raw, directory.data() + std::size_t(i) * kEntry, per_entry);
    Entry e;
    e.name.assign(reinterpret_cast<const char*>(raw),
                  strnlen(reinterpret_cast<const char*>(raw), kNameField));
    e.offset = plat::get_le32(raw + kOffsetField);
    e.size = plat::get_le32(raw + kSizeField);
    const std::string which = "entry " + std::to_string(i + 1) + " (" + e.name + ")";
    if (int64_t(e.offset) + e.size > size) {
      *why = damaged + which + " ends beyond the end of the file";
      return false;
    }
    out->push_back(std::move(e));
  }
  return true;
}

// A name that can be written as a file of its own: no separators, not empty,
// not "." or "..".
bool plain_file_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos;
}

int list(const std::string& path) {
  Fd in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) return fail(path + ": " + std::strerror(errno));
  std::vector<Entry> entries;
  std::string why;
  if (!read_archive(path, in.fd, &entries, &why)) return fail(why);
  for (const Entry& e : entries) std::printf("%-19s %10u\n", e.name.c_str(), e.size);
  return std::fflush(stdout) == 0 ? kExitOk : fail("cannot write the listing");
}

bool extract_entry(int in, const Entry& e, const fs::path& dir, std::string* why) {
  const std::string target = (dir / e.name).string();
  Fd out(open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.fd < 0) {
    *why = target + ": " + std::strerror(errno);
    return false;
  }
  return copy_range(in, e.offset, e.size, out.fd, e.name + ": cannot read its data", target, why);
}

int extract(const std::string& path, const std::string& dir,
            const std::vector<std::string>& names) {
  Fd in(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) return fail(path + ": " + std::strerror(errno));
  std::vector<Entry> entries;
  std::string why;
  if (!read_archive(path, in.fd, &entries, &why)) return fail(why);
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return fail(dir + ": no such directory");

  // The entries to write: all, or for each name the first entry that the
  // engine would find under it. Everything is checked before anything is written.
  std::vector<const Entry*> chosen;
  if (names.empty()) {
    for (const Entry& e : entries) chosen.push_back(&e);
  } else {
    for (const std::string& n : names) {
      auto it = std::find_if(entries.begin(), entries.end(),
                             [&](const Entry& e) { return upper(e.name) == upper(n); });
      if (it == entries.end()) return fail(path + ": no entry " + n);
      chosen.push_back(&*it);
    }
  }
  for (const Entry* e : chosen) {
    if (!plain_file_name(e->name))
      return fail(path + ": damaged archive: the entry name \"" + e->name + "\" is no file name");
  }
  for (const Entry* e : chosen) {
    if (!extract_entry(in.fd, *e, dir, &why)) return fail(why);
  }
  return kExitOk;
}

// ---- Writing ---------------------------------------------------------------

struct Source {
  std::string name;
  fs::path path;
  uint64_t size;
};

// The regular files of `folder` (links followed, subfolders and the archive
// itself left out), sorted by name, checked against the archive's limits.
bool collect(const fs::path& folder, const fs::path& archive, std::vector<Source>* out,
             std::string* why) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::file_status st = it->status(ec);
    if (ec || !fs::is_regular_file(st)) {
      ec.clear();
      continue;
    }
    if (fs::equivalent(it->path(), archive, ec)) continue;  // packing into the folder itself
    ec.clear();
    out->push_back({it->path().filename().string(), it->path(), it->file_size(ec)});
    if (ec) break;
  }
  if (ec) {
    *why = folder.string() + ": " + ec.message();
    return false;
  }
  std::sort(out->begin(), out->end(),
            [](const Source& a, const Source& b) { return a.name < b.name; });
  if (out->size() > kMaxEntries) {
    *why = folder.string() + ": " + std::to_string(out->size()) +
           " files, more than an archive holds (65535)";
    return false;
  }
  for (std::size_t i = 0; i < out->size(); ++i) {
    const std::string& name = (*out)[i].name;
    if (name.size() > kNameField - 1) {
      *why = name + ": name too long for an archive entry (" + std::to_string(name.size()) +
             " bytes, at most 18)";
      return false;
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (upper((*out)[j].name) == upper(name)) {
        *why = (*out)[j].name + " and " + name +
               ": names that differ only in case (the engine would find only one)";
        return false;
      }
    }
  }
  uint64_t end = kHeader + uint64_t(out->size()) * kEntry;
  for (const Source& s : *out) {
    end += s.size;
    if (end > kMaxEnd) {
      *why = s.name + ": too large for the archive's 32-bit offsets (the data would pass 4 GiB)";
      return false;
    }
  }
  return true;
}

bool copy_into(int out, const Source& s, std::string* why) {
  Fd in(open(s.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) {
    *why = s.path.string() + ": " + std::strerror(errno);
    return false;
  }
  return copy_range(in.fd, 0, s.size, out,
                    s.path.string() + ": changed or unreadable while packing",
                    "cannot write the archive", why);
}

int create(const std::string& archive, const std::string& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return fail(folder + ": no such folder");
  std::vector<Source> files;
  std::string why;
  if (!collect(folder, archive, &files, &why)) return fail(why);

  std::vector<uint8_t> head(kHeader + files.size() * kEntry, 0);
  plat::put_le16(&head[4], uint16_t(files.size()));
  plat::put_le16(&head[6], uint16_t(kEntry));
  plat::put_le32(&head[8], uint32_t(files.size() * kEntry));
  uint64_t offset = head.size();
  for (std::size_t i = 0; i < files.size(); ++i) {
    uint8_t* e = &head[kHeader + i * kEntry];
    std::memcpy(e, files[i].name.data(), files[i].name.size());
    plat::put_le32(e + kOffsetField, uint32_t(offset));
    plat::put_le32(e + kSizeField, uint32_t(files[i].size));
    offset += files[i].size;
  }

  // Written beside the target and renamed into place, so a failure never
  // leaves half an archive under the name.
  std::string temp = archive + ".XXXXXX";
  Fd out(mkstemp(temp.data()));
  if (out.fd < 0) return fail(archive + ": " + std::strerror(errno));
  bool ok = write_all(out.fd, head.data(), head.size());
  if (!ok) why = std::string("cannot write the archive: ") + std::strerror(errno);
  for (std::size_t i = 0; ok && i < files.size(); ++i) ok = copy_into(out.fd, files[i], &why);
  if (ok && (fchmod(out.fd, 0644) != 0 || fsync(out.fd) != 0)) {
    ok = false;
    why = archive + ": " + std::strerror(errno);
  }
  if (ok && rename(temp.c_str(), archive.c_str()) != 0) {
    ok = false;
    why = archive + ": " + std::strerror(errno);
  }
  if (!ok) {
    unlink(temp.c_str());
    return fail(why);
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage_error("no command given");
  const std::string& cmd = args[0];
  if (cmd == "-h" || cmd == "--help") {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  if (cmd == "create") {
    if (args.size() != 3) return usage_error("create takes ARCHIVE and FOLDER");
    return create(args[1], args[2]);
  }
  if (cmd == "list") {
    if (args.size() != 2) return usage_error("list takes ARCHIVE");
    return list(args[1]);
  }
  if (cmd == "extract") {
    if (args.size() < 2) return usage_error("extract takes ARCHIVE");
    std::string dir = ".";
    std::vector<std::string> names;
    for (std::size_t i = 2; i < args.size(); ++i) {
      if (args[i] == "-C") {
        if (++i == args.size()) return usage_error("-C needs a directory");
        dir = args[i];
      } else {
        names.push_back(args[i]);
      }
    }
    return extract(args[1], dir, names);
  }
  return usage_error("unknown command " + cmd);
}
