// Whether code or configuration may be read from a place.
//
// Every plugin runs inside the server with the server's rights. A plugin file, or a directory
// on the way to it, that another user could change would let that user run code as the server
// (as root, for the installed service). So a path is trusted only when everything that decides
// what it names is owned by root or by the server's effective user and is not writable by group
// or others: the file itself, every directory that is visited while the path is resolved, and
// every symbolic link that is followed (its owner; a link's own mode means nothing). A directory
// visited on the way may be writable by everybody when it is owned by root and has the sticky
// bit (such as /tmp): there nobody can remove or rename an entry that is not theirs.
//
// The path is resolved here component by component, as the kernel resolves it: a link's target
// is walked in turn, from "/" when it is absolute, from the link's directory when it is not, so
// the directory that holds each link is judged as well as the directories of its target. When
// every one of them passes, nobody else can change what the path names, and opening the same
// path afterwards (dlopen, fopen) opens what was judged. Paths are byte strings, as the file
// system has them.
//
// The same rules judge the files that plugins read their configuration and secrets from; a
// secret (a password file) must in addition not be readable by others.
//
// Thread safety: the checks keep no state; any thread may call them.
#ifndef ZENT_CORE_PLUGIN_TRUST_H_
#define ZENT_CORE_PLUGIN_TRUST_H_

#include <string>

struct TrustVerdict {
  bool trusted = true;
  // Why not, for the log: "writable by others" when the path asked about is at fault itself,
  // otherwise the path at fault first ("/srv is writable by group", "/opt/x.so is owned by
  // uid 1000", "/srv/current is a link owned by uid 1000").
  std::string reason;
};

// The plugins directory dir: the directory it names and everything on the way to it.
TrustVerdict CheckPluginDirectory(const std::string& dir);

// The file name of the plugins directory dir: the regular file that dir/name names and
// everything on the way to it. The directory that holds the file is judged as a directory on
// the way (a root-owned sticky one passes), so dir itself must have passed
// CheckPluginDirectory first.
TrustVerdict CheckPluginFile(const std::string& dir, const std::string& name);

// A file that configures the server or a plugin (secret false), or one that holds a secret such
// as a password or a key (secret true, and then it must not be readable by others either): the
// regular file that path names and everything on the way to it. A relative path is taken from
// the working directory.
TrustVerdict CheckConfigFile(const std::string& path, bool secret);

// Why the shared object at path must not be handed to the dynamic loader; empty when it may be.
// The loader maps a file's segments without checking that the file holds them, and the first
// touch of a page past the end of a truncated file (while it relocates) ends the process with
// SIGBUS. Only that is judged here, for files of the caller's own ELF class; anything else (not
// ELF, the other class, unreadable, too short for its headers) the loader refuses itself.
std::string TruncatedObject(const std::string& path);

#endif  // ZENT_CORE_PLUGIN_TRUST_H_
