#include "core/plugin_trust.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What is wrong with one file or directory; empty when nothing is. A parent is a directory
// above the one being judged.
std::string FaultOf(const struct stat& st, bool parent) {
  if (st.st_uid != 0 && st.st_uid != geteuid()) {
    return "owned by uid " + std::to_string(st.st_uid);
  }
  const bool byGroup = (st.st_mode & S_IWGRP) != 0;
  const bool byOthers = (st.st_mode & S_IWOTH) != 0;
  if (!byGroup && !byOthers) return "";
  // Anyone may add entries to a root-owned sticky directory, but only an entry's owner (or
  // root) may remove or rename it, so what is below stays as its owner left it.
  if (parent && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0 && st.st_uid == 0) return "";
  if (byGroup && byOthers) return "writable by group and others";
  return byGroup ? "writable by group" : "writable by others";
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// Resolves asked and judges what it leads to (a regular file when file, otherwise a
// directory), then every directory above that up to "/".
TrustVerdict Check(const std::string& asked, bool file) {
  TrustVerdict verdict;
  char* resolved = realpath(asked.c_str(), nullptr);
  if (resolved == nullptr) {
    verdict.trusted = false;
    verdict.reason = std::string("cannot resolve the path: ") + std::strerror(errno);
    return verdict;
  }
  const std::string real = resolved;
  std::free(resolved);
  // The path at fault is named unless it is the one asked about.
  const auto fail = [&](const std::string& path, const std::string& fault) {
    verdict.trusted = false;
    verdict.reason = path == asked ? fault : path + " is " + fault;
    return verdict;
  };
  std::string path = real;
  for (bool first = true;; first = false) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      return fail(path, std::string("not accessible (") + std::strerror(errno) + ")");
    }
    if (first && file && !S_ISREG(st.st_mode)) return fail(path, "not a regular file");
    // realpath leaves no symbolic link on the way: anything above the file that is not a
    // directory means that the tree changed in between.
    if ((!first || !file) && !S_ISDIR(st.st_mode)) return fail(path, "not a directory");
    const std::string fault = FaultOf(st, !first);
    if (!fault.empty()) return fail(path, fault);
    if (path == "/") return verdict;
    path = ParentOf(path);
  }
}

}  // namespace

TrustVerdict CheckPluginDirectory(const std::string& dir) { return Check(dir, false); }

TrustVerdict CheckPluginFile(const std::string& dir, const std::string& name) {
  return Check(dir + "/" + name, true);
}
