// Whether plugin code may be loaded from a place.
//
// Every plugin runs inside the server with the server's rights. A plugin file, or a directory
// on the way to it, that another user could change would let that user run code as the server
// (as root, for the installed service). So a path is trusted only when the file and every
// directory above it up to "/" are owned by root or by the server's effective user and are not
// writable by group or others. A directory above the one that holds the file may be writable
// by everybody when it is owned by root and has the sticky bit (such as /tmp): there nobody
// can remove or rename an entry that is not theirs.
//
// Symbolic links are resolved first: what is judged is the file a path leads to and the
// directories that really hold it. Paths are byte strings, as the file system has them.
#ifndef ZENT_CORE_PLUGIN_TRUST_H_
#define ZENT_CORE_PLUGIN_TRUST_H_

#include <string>

struct TrustVerdict {
  bool trusted = true;
  // Why not, for the log: "writable by others" when the path asked about is at fault itself,
  // otherwise the path at fault first ("/srv is writable by group", "/opt/x.so is owned by
  // uid 1000").
  std::string reason;
};

// The plugins directory dir: the directory it resolves to and every directory above that.
TrustVerdict CheckPluginDirectory(const std::string& dir);

// The file name of the plugins directory dir: the file that dir/name resolves to and every
// directory above that file. Judges the directories above as CheckPluginDirectory does, with
// one difference: the directory that holds the file counts as a parent (a root-owned sticky
// one passes), so dir itself must have passed CheckPluginDirectory first.
TrustVerdict CheckPluginFile(const std::string& dir, const std::string& name);

#endif  // ZENT_CORE_PLUGIN_TRUST_H_
