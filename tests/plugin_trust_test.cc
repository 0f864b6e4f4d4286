// Plugin files and plugins directories that another user could change are not loaded, and one
// error line names the path and the reason.
#include "core/plugin_trust.h"

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/core_harness.h"
#include "support/run_command.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUid = 12345;

// Installs the test plugin at target (outside the plugins directory) and makes plugins/name a
// symbolic link to it.
void AddLinkedPlugin(const zt::Installation& install, const std::string& name,
                     const std::string& target, mode_t mode) {
  zt::CopyFile(zt::TestPluginFile(), target, mode);
  fs::create_symlink(target, install.plugins() + "/" + name);
  zt::WriteFile(install.plugins() + "/" + name + ".conf", "id 9\n");
}

bool Loaded(const zt::Installation& install, const std::string& name) {
  return zt::FileExists(install.RecordOf(name));
}

TEST(PluginTrustTest, FilesThatOthersCouldChangeAreRefusedByTheServer) {
  zt::Installation install;
  install.AddPlugin("ok.so", "id 1\n");
  install.AddPlugin("gw.so", "id 2\n");
  chmod((install.plugins() + "/gw.so").c_str(), 0775);
  install.AddPlugin("ww.so", "id 3\n");
  chmod((install.plugins() + "/ww.so").c_str(), 0757);
  zt::TempDir outside;
  AddLinkedPlugin(install, "link.so", outside / "real.so", 0777);
  // A file of ours in a directory that anybody may add to but not take from is safe; in one
  // without the sticky bit anybody could replace it.
  zt::MakeDirectory(outside / "open", 0757);
  AddLinkedPlugin(install, "open.so", outside / "open/real.so", 0755);
  struct stat tmp;
  const bool tmpIsSticky = stat("/tmp", &tmp) == 0 && tmp.st_uid == 0 && (tmp.st_mode & S_ISVTX);
  char sticky[] = "/tmp/zt-trust-XXXXXX";
  if (tmpIsSticky) {
    close(mkstemp(sticky));
    AddLinkedPlugin(install, "sticky.so", sticky, 0755);
  }

  const zt::CommandResult server = zt::RunConsoleOnce(install);
  if (tmpIsSticky) unlink(sticky);
  EXPECT_EQ(server.exitCode, 0) << server.Describe();
  const std::string err = server.err;
  for (const std::string& line : std::vector<std::string>{
           "plugin gw.so not loaded: writable by group",
           "plugin ww.so not loaded: writable by others",
           "plugin link.so not loaded: " + (outside / "real.so") +
               " is writable by group and others",
           "plugin open.so not loaded: " + (outside / "open") + " is writable by others"}) {
    EXPECT_EQ(zt::CountOf(err, line + "\n"), 1u) << line << "\n" << err;
  }
  EXPECT_TRUE(Loaded(install, "ok.so")) << err;
  if (tmpIsSticky) {
    EXPECT_TRUE(Loaded(install, "sticky.so")) << err;
  }
  for (const char* name : {"gw.so", "ww.so", "link.so", "open.so"}) {
    EXPECT_FALSE(Loaded(install, name)) << name;
  }
}

// A deploy layout: the plugin is reached through a link "current" that lives in a directory of
// its own. Whoever may change that directory may point the link at other code, so the
// directory is judged although the resolved path does not pass through it.
TEST(PluginTrustTest, ADirectoryThatHoldsALinkOnTheWayIsJudged) {
  zt::Installation install;
  zt::TempDir outside;
  zt::MakeDirectory(outside / "releases");
  zt::MakeDirectory(outside / "releases/v7");
  zt::MakeDirectory(outside / "deploy");
  fs::create_symlink(outside / "releases/v7", outside / "deploy/current");
  AddLinkedPlugin(install, "deployed.so", outside / "releases/v7/real.so", 0755);
  fs::remove(install.plugins() + "/deployed.so");
  fs::create_symlink(outside / "deploy/current/real.so", install.plugins() + "/deployed.so");
  ASSERT_EQ(chmod((outside / "deploy").c_str(), 0775), 0);
  std::string expected = outside / "deploy is writable by group";
  if (geteuid() == 0) {
    // As root the same with a directory of another user, which may also replace the link.
    ASSERT_EQ(chmod((outside / "deploy").c_str(), 0755), 0);
    ASSERT_EQ(chown((outside / "deploy").c_str(), kOtherUid, 0), 0);
    expected = outside / "deploy is owned by uid 12345";
  }
  const zt::CommandResult server = zt::RunConsoleOnce(install);
  EXPECT_EQ(zt::CountOf(server.err, "plugin deployed.so not loaded: " + expected + "\n"), 1u)
      << server.Describe();
  EXPECT_FALSE(Loaded(install, "deployed.so"));
}

TEST(PluginTrustTest, ConfigurationAndSecretFilesAreJudgedByTheSameRules) {
  zt::TempDir dir;
  const std::string file = dir / "settings.conf";
  zt::WriteFile(file, "key value\n");
  const struct {
    mode_t mode;
    bool secret;
    std::string reason;  // empty: trusted
  } cases[] = {
      {0644, false, ""}, {0644, true, "readable by others"},
      {0640, true, ""},  {0664, false, "writable by group"},
      {0600, true, ""},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
    const TrustVerdict verdict = CheckConfigFile(file, c.secret);
    EXPECT_EQ(verdict.trusted, c.reason.empty()) << std::oct << c.mode << " " << verdict.reason;
    EXPECT_EQ(verdict.reason, c.reason) << std::oct << c.mode;
  }
  EXPECT_EQ(CheckConfigFile(dir.path(), false).reason, "not a regular file");
  EXPECT_EQ(CheckConfigFile(dir / "none", false).reason,
            "not accessible (No such file or directory)");
}

void ExpectNothingLoaded(const zt::Installation& install, const std::string& reason) {
  zt::LogCapture::Get().Clear();
  zt::CoreHarness harness(install);
  harness.Start();
  EXPECT_TRUE(zt::LoadedNames(harness.core()).empty());
  EXPECT_TRUE(
      zt::LogCapture::Get().Contains("no plugin loaded from " + install.plugins() + ": " + reason))
      << reason;
  EXPECT_FALSE(zt::LogCapture::Get().Contains("plugin ok.so"));
}

TEST(PluginTrustTest, APluginsDirectoryThatOthersCouldChangeLoadsNothing) {
  {
    zt::Installation install;
    install.AddPlugin("ok.so", "id 1\n");
    chmod(install.plugins().c_str(), 0777);
    ExpectNothingLoaded(install, "writable by group and others");
  }
  {
    zt::Installation install;
    install.AddPlugin("ok.so", "id 1\n");
    chmod(install.dir().c_str(), 0730);
    ExpectNothingLoaded(install, install.dir() + " is writable by group");
  }
}

TEST(PluginTrustTest, FilesAndDirectoriesOfAnotherUserAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
  zt::Installation install;
  install.AddPlugin("ok.so", "id 1\n");
  install.AddPlugin("theirs.so", "id 2\n");
  ASSERT_EQ(chown((install.plugins() + "/theirs.so").c_str(), kOtherUid, 0), 0);
  zt::LogCapture::Get().Clear();
  {
    zt::CoreHarness harness(install);
    harness.Start();
    EXPECT_EQ(zt::LoadedNames(harness.core()), std::vector<std::string>{"ok.so"});
    EXPECT_TRUE(zt::LogCapture::Get().Contains("plugin theirs.so not loaded: owned by uid 12345"));
  }
  ASSERT_EQ(chown(install.plugins().c_str(), kOtherUid, 0), 0);
  ExpectNothingLoaded(install, "owned by uid 12345");
}

}  // namespace
