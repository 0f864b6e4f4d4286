#include "core/plugin_trust.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// As many links as the kernel follows in one path before it gives up (ELOOP).
constexpr int kMostLinks = 40;

enum class Kind { kDirectory, kFile, kSecret };

std::string OwnerFault(const struct stat& st) {
  if (st.st_uid != 0 && st.st_uid != geteuid()) {
    return "owned by uid " + std::to_string(st.st_uid);
  }
  return "";
}

// What is wrong with one file or directory; empty when nothing is. onTheWay: a directory that is
// visited on the way to the object asked about, not that object itself.
std::string FaultOf(const struct stat& st, bool onTheWay) {
  std::string fault = OwnerFault(st);
  if (!fault.empty()) return fault;
  const bool byGroup = (st.st_mode & S_IWGRP) != 0;
  const bool byOthers = (st.st_mode & S_IWOTH) != 0;
  if (!byGroup && !byOthers) return "";
  // Anyone may add entries to a root-owned sticky directory, but only an entry's owner (or
  // root) may remove or rename it, so what is below stays as its owner left it.
  if (onTheWay && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0 && st.st_uid == 0) return "";
  if (byGroup && byOthers) return "writable by group and others";
  return byGroup ? "writable by group" : "writable by others";
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string Join(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

// The components of path, in order, without empty ones and ".".
std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(at, slash - at);
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    at = slash + 1;
  }
  return parts;
}

// Resolves asked component by component and judges everything that decides what it names (see
// plugin_trust.h); the object it leads to must be a directory (kDirectory) or a regular file.
TrustVerdict Check(const std::string& asked, Kind kind) {
  TrustVerdict verdict;
  // The path at fault is named unless it is the one asked about.
  const auto fail = [&](const std::string& path, const std::string& fault) {
    verdict.trusted = false;
    verdict.reason = path == asked ? fault : path + " is " + fault;
    return verdict;
  };
  if (asked.empty()) return fail(asked, "an empty path");
  std::deque<std::string> todo;
  for (std::string& part : Components(asked)) todo.push_back(std::move(part));
  if (asked[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
      return fail(asked, std::string("cannot resolve the path: ") + std::strerror(errno));
    }
    const std::vector<std::string> base = Components(cwd);
    std::free(cwd);
    todo.insert(todo.begin(), base.begin(), base.end());
  }

  // Invariant: current is free of links and "..", and it and every directory above it have
  // been judged as directories on the way.
  std::string current = "/";
  struct stat st;
  if (lstat("/", &st) != 0)
    return fail("/", std::string("not accessible (") + std::strerror(errno) + ")");
  if (std::string fault = FaultOf(st, true); !fault.empty()) return fail("/", fault);
  int links = 0;
  while (!todo.empty()) {
    const std::string part = std::move(todo.front());
    todo.pop_front();
    if (part == "..") {
      current = ParentOf(current);
      continue;
    }
    const std::string next = Join(current, part);
    if (lstat(next.c_str(), &st) != 0) {
      return fail(next, std::string("not accessible (") + std::strerror(errno) + ")");
    }
    if (S_ISLNK(st.st_mode)) {
      // Whoever owns the link may point it elsewhere when its directory lets them (a sticky
      // one does); the directory itself is current, judged already.
      if (std::string fault = OwnerFault(st); !fault.empty()) return fail(next, "a link " + fault);
      if (++links > kMostLinks) return fail(asked, "a path with too many symbolic links");
      std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
      const ssize_t length = readlink(next.c_str(), target.data(), target.size());
      if (length <= 0 || static_cast<size_t>(length) >= target.size()) {
        return fail(next, "a link that cannot be read");
      }
      target.resize(static_cast<size_t>(length));
      const std::vector<std::string> parts = Components(target);
      todo.insert(todo.begin(), parts.begin(), parts.end());
      if (target[0] == '/') current = "/";
      continue;
    }
    if (!todo.empty()) {
      // Something follows: this must be a directory, judged as one on the way.
      if (!S_ISDIR(st.st_mode)) return fail(next, "not a directory");
      if (std::string fault = FaultOf(st, true); !fault.empty()) return fail(next, fault);
    }
    current = next;
  }

  // The object itself, without the leniency of a directory on the way.
  if (lstat(current.c_str(), &st) != 0) {
    return fail(current, std::string("not accessible (") + std::strerror(errno) + ")");
  }
  if (kind == Kind::kDirectory && !S_ISDIR(st.st_mode)) return fail(current, "not a directory");
  if (kind != Kind::kDirectory && !S_ISREG(st.st_mode)) return fail(current, "not a regular file");
  if (std::string fault = FaultOf(st, false); !fault.empty()) return fail(current, fault);
  if (kind == Kind::kSecret && (st.st_mode & S_IROTH) != 0) {
    return fail(current, "readable by others");
  }
  return verdict;
}

}  // namespace

TrustVerdict CheckPluginDirectory(const std::string& dir) { return Check(dir, Kind::kDirectory); }

TrustVerdict CheckPluginFile(const std::string& dir, const std::string& name) {
  return Check(dir + "/" + name, Kind::kFile);
}

TrustVerdict CheckConfigFile(const std::string& path, bool secret) {
  return Check(path, secret ? Kind::kSecret : Kind::kFile);
}

std::string TruncatedObject(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::string fault;
  struct stat st;
  ElfW(Ehdr) header;
  if (fstat(fd, &st) == 0 && pread(fd, &header, sizeof header, 0) == sizeof header &&
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
      header.e_ident[EI_CLASS] == (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) &&
      header.e_phentsize == sizeof(ElfW(Phdr))) {
    const unsigned long long size = static_cast<unsigned long long>(st.st_size);
    unsigned long long needed = 0;
    for (unsigned i = 0; i < header.e_phnum; ++i) {
      ElfW(Phdr) segment;
      const unsigned long long at = header.e_phoff + 1ull * i * sizeof segment;
      if (pread(fd, &segment, sizeof segment, static_cast<off_t>(at)) != sizeof segment) {
        needed = 0;  // the program headers themselves are cut: the loader says so
        break;
      }
      if (segment.p_type != PT_LOAD) continue;
      const unsigned long long end =
          static_cast<unsigned long long>(segment.p_offset) + segment.p_filesz;
      if (end > needed) needed = end;
    }
    if (needed > size) {
      fault = path + ": truncated: its segments need " + std::to_string(needed) +
              " bytes, the file has " + std::to_string(size);
    }
  }
  close(fd);
  return fault;
}
