// Where the tests (and the fuzz target) make their temporary directories.
//
// The server loads plugins only from a place that nobody but root and its own user can change,
// and it judges every directory on the way there (core/plugin_trust.h). A TMPDIR below a
// directory that others may write (a shared home, a group-writable scratch area) would make
// every test that loads a plugin fail for a reason that has nothing to do with what it tests,
// and a TMPDIR that other users cannot enter would fail the tests that run the server as
// another user. So the base is the first of $TMPDIR, /tmp and /var/tmp that passes those
// checks; a TMPDIR passed over is named once, with the reason, on standard error.
#ifndef ZENT_TESTS_SUPPORT_TRUSTED_TEMP_H_
#define ZENT_TESTS_SUPPORT_TRUSTED_TEMP_H_

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace zt {

// Why dir cannot be the base of the tests' directories; empty when it can. Every directory from
// dir up to "/" must be owned by root or by this user and must not be writable by group or
// others unless it is root's and sticky (as /tmp); as root, every one must also let others in,
// for the tests that run the server as nobody. dir must be free of symbolic links.
inline std::string UnusableTempBase(const std::string& dir) {
  if (dir.empty() || dir[0] != '/') return "not an absolute path";
  const bool root = geteuid() == 0;
  std::string path = dir;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  for (;;) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return path + " does not exist";
    if (!S_ISDIR(st.st_mode)) return path + " is not a directory";
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
      return path + " is owned by uid " + std::to_string(st.st_uid);
    }
    const bool sticky = (st.st_mode & S_ISVTX) != 0 && st.st_uid == 0;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky) {
      return path + " is writable by group or others";
    }
    if (root && (st.st_mode & S_IXOTH) == 0) return path + " is closed to other users";
    if (path == "/") return "";
    const size_t slash = path.find_last_of('/');
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
}

// The base for the tests' directories, without symbolic links; empty when none of the
// candidates can be, and then *why says why not, for each.
inline std::string TrustedTempBase(std::string* why) {
  std::string reasons;
  const char* tmpdir = std::getenv("TMPDIR");
  for (const char* candidate : {tmpdir, "/tmp", "/var/tmp"}) {
    if (candidate == nullptr || *candidate == 0) continue;
    char* resolved = realpath(candidate, nullptr);
    const std::string dir = resolved != nullptr ? resolved : candidate;
    std::free(resolved);
    const std::string fault = UnusableTempBase(dir);
    if (fault.empty()) {
      if (!reasons.empty()) {
        std::fprintf(stderr, "test support: %s; using %s instead\n", reasons.c_str(), dir.c_str());
      }
      return dir;
    }
    if (!reasons.empty()) reasons += "; ";
    reasons += (candidate == tmpdir ? "TMPDIR " : "") + std::string(candidate) + " cannot hold " +
               "the tests' plugins: " + fault;
  }
  *why = reasons;
  return "";
}

}  // namespace zt

#endif  // ZENT_TESTS_SUPPORT_TRUSTED_TEMP_H_
