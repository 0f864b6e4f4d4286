// Files in the plugins directory that cannot be loaded: the real server refuses each with one
// error line that names the file and says why (the dynamic loader's own text where the loader
// refuses it), and starts, serves the plugins that do load and stops as usual.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/run_command.h"

namespace {

// The server's error lines about plugin name.
std::vector<std::string> RefusalsOf(const std::string& log, const std::string& name) {
  std::vector<std::string> lines;
  const std::string key = "plugin " + name + " not loaded: ";
  size_t start = 0;
  while (start < log.size()) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(start, end - start);
    if (line.find(key) != std::string::npos) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

void ExpectRefused(const zt::CommandResult& run, const std::string& name,
                   const std::string& reason) {
  const auto lines = RefusalsOf(run.err, name);
  ASSERT_EQ(lines.size(), 1u) << name << "\n" << run.Describe();
  EXPECT_NE(lines[0].find(reason), std::string::npos) << lines[0];
}

TEST(BadPluginFileTest, EachIsRefusedWithItsReasonWhileTheOthersServe) {
  zt::Installation install;
  const std::string good = install.AddPlugin("good.so", "id 5\naccepts_read 1\n");
  const std::string dir = install.plugins();
  const std::string image = zt::ReadFile(zt::TestPluginFile());
  // Cut after its first page: the headers are whole, the code and data they describe are not,
  // and the loader would map pages past the end of the file.
  zt::WriteFile(dir + "/truncated.so", image.substr(0, 4096));
  zt::WriteFile(dir + "/empty.so", "");
  zt::CopyFile(zt::TestPluginFile("foreign"), dir + "/foreign.so");
  zt::CopyFile(zt::TestPluginFile("undefined"), dir + "/undefined.so");
  ASSERT_EQ(symlink("missing.so", (dir + "/dangling.so").c_str()), 0);

  const zt::CommandResult run = zt::RunConsoleOnce(install);
  ASSERT_EQ(run.exitCode, 0) << run.Describe();
  EXPECT_EQ(run.out, zt::kConsoleTexts);
  ExpectRefused(run, "truncated.so", dir + "/truncated.so: truncated:");
  ExpectRefused(run, "empty.so", dir + "/empty.so: file too short");
  ExpectRefused(run, "foreign.so", "wrong ELF class");
  ExpectRefused(run, "undefined.so", "undefined symbol: zent_defined_nowhere");
  ExpectRefused(run, "dangling.so",
                dir + "/missing.so is not accessible (No such file or directory)");

  // The plugin that loads is served as if it were alone, and the document names it alone.
  const auto events = zt::ReadEvents(good);
  for (const char* call : {"load", "open", "close", "unload"}) {
    EXPECT_EQ(zt::EventsNamed(events, call).size(), 1u) << call;
  }
  EXPECT_EQ(zt::EventsNamed(events, "read").size(), 1u) << "the start Read";
  const auto documents = zt::StatusDocuments(good);
  ASSERT_EQ(documents.size(), 1u);
  const std::string document = zt::Unhex(documents[0]["hex"]);
  EXPECT_EQ(zt::CountOf(document, "<Plugin "), 2u) << "the core and good.so: " << document;
  EXPECT_NE(document.find("Filename=\"good.so\""), std::string::npos) << document;
}

TEST(BadPluginFileTest, AFileWithoutReadPermissionIsRefusedWithTheLoadersReason) {
  zt::Installation install;
  const std::string file = install.plugins() + "/unreadable.so";
  zt::CopyFile(zt::TestPluginFile(), file, 0);
  // Root reads any file: then the server runs as nobody, which the installation (root's, not
  // writable by others) is trusted for, given a home and the way into the directory.
  std::function<bool()> asNobody;
  zt::TempDir home;
  if (geteuid() == 0) {
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(chmod(install.dir().c_str(), 0755), 0);
    ASSERT_EQ(chown(home.path().c_str(), kNobody, kNobody), 0);
    asNobody = [] {
      return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0;
    };
  }
  const zt::CommandResult run =
      zt::RunCommand(install.exe(), {"-d"}, {"HOME=" + home.path()}, "/", zt::kWaitMs, asNobody);
  if (asNobody && run.exitCode == 125) GTEST_SKIP() << "root cannot run the server as nobody here";
  ASSERT_EQ(run.exitCode, 0) << run.Describe();
  ExpectRefused(run, "unreadable.so", file + ": cannot open shared object file: Permission denied");
}

}  // namespace
