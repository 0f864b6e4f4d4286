// The installed SDK and the Debian package, as a plugin author and an operator use them:
// install into a fresh prefix, build an out-of-tree plugin and its test against it with
// pkg-config and with find_package, run the test (the plugin inside the installed harness), let
// the installed server load both plugins; build the package and look inside it.
#include <cstdio>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "support/run_command.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr int kToolMs = 180000;  // configure, compile or package: seconds, not milliseconds

const std::string kOutOfTree = std::string(ZENT_SOURCE_DIR) + "/examples/out-of-tree";

// Runs the out-of-tree example's test against the plugin at path; its output, and whether it
// passed.
bool RunHelloTest(const std::string& test, const std::string& plugin) {
  const zt::CommandResult run = zt::RunCommand(test, {plugin}, {}, "", kToolMs);
  std::printf("%s %s\n%s", test.c_str(), plugin.c_str(), run.out.c_str());
  EXPECT_EQ(run.exitCode, 0) << run.Describe();
  EXPECT_NE(run.out.find("ok: it keeps the plugin contract"), std::string::npos) << run.out;
  return run.exitCode == 0;
}

TEST(SdkTest, OutOfTreePluginsAndTheirTestBuildAgainstTheInstalledSdkAndTheServerLoadsThem) {
  zt::TempDir work;
  const std::string prefix = work / "prefix";
  const zt::CommandResult install = zt::RunCommand(
      ZENT_CMAKE, {"--install", ZENT_BINARY_DIR, "--prefix", prefix}, {}, "", kToolMs);
  ASSERT_EQ(install.exitCode, 0) << install.Describe();
  const std::string appDir = prefix + "/lib/zentserver";
  for (const std::string& file :
       {appDir + "/zentserver", prefix + "/bin/zentserver-inspect",
        prefix + "/include/zentserver/plugin_api.h", prefix + "/include/zentserver/harness.h",
        prefix + "/include/zentserver/demo_protocol.h", prefix + "/lib/libzentserver-harness.so",
        prefix + "/lib/pkgconfig/zentserver-harness.pc",
        prefix + "/lib/cmake/ZentserverHarness/ZentserverHarnessConfig.cmake",
        prefix + "/share/doc/zentserver/testing-plugins.md",
        prefix + "/share/doc/zentserver/examples/out-of-tree/hello_test.c",
        prefix + "/share/pkgconfig/zentserver-plugin.pc",
        prefix + "/share/cmake/ZentserverPlugin/ZentserverPluginConfig.cmake",
        prefix + "/lib/systemd/system/zentserver.service", appDir + "/plugins/mqtt_bridge.so",
        prefix + "/etc/zentserver/mqtt-bridge.conf", appDir + "/plugins/webstatus.so",
        prefix + "/etc/zentserver/webstatus.conf"}) {
    EXPECT_TRUE(zt::FileExists(file)) << file;
  }
  // The bridge would look for a broker on this machine, the status page listen on its port
  // 8090; their own tests run them.
  fs::remove(appDir + "/plugins/mqtt_bridge.so");
  fs::remove(appDir + "/plugins/webstatus.so");
  EXPECT_TRUE(fs::is_directory(appDir + "/plugins"));
  EXPECT_NE(zt::ReadFile(prefix + "/lib/systemd/system/zentserver.service")
                .find("ExecStart=" + appDir + "/zentserver"),
            std::string::npos);

  // pkg-config: the flags, the plugins directory, and a build with the compiler alone.
  const std::vector<std::string> pkgEnv = {"PKG_CONFIG_PATH=" + prefix +
                                           "/share/pkgconfig:" + prefix + "/lib/pkgconfig"};
  const zt::CommandResult flags =
      zt::RunCommand("/usr/bin/pkg-config", {"--cflags", "zentserver-plugin"}, pkgEnv);
  EXPECT_EQ(flags.exitCode, 0) << flags.Describe();
  EXPECT_EQ(flags.out.substr(0, flags.out.find_last_not_of(" \n") + 1), "-I" + prefix + "/include");
  const zt::CommandResult pluginDir =
      zt::RunCommand("/usr/bin/pkg-config", {"--variable=plugindir", "zentserver-plugin"}, pkgEnv);
  EXPECT_EQ(pluginDir.out, appDir + "/plugins\n");
  const zt::CommandResult viaPkgConfig =
      zt::RunCommand("/bin/sh",
                     {"-c", std::string(ZENT_C_COMPILER) +
                                " -std=c11 -Wall -Wextra -Werror -shared -fPIC -fvisibility=hidden"
                                " $(pkg-config --cflags zentserver-plugin) hello.c -o " +
                                (work / "hello_pc.so")},
                     pkgEnv, kOutOfTree, kToolMs);
  ASSERT_EQ(viaPkgConfig.exitCode, 0) << viaPkgConfig.Describe();
  const zt::CommandResult testViaPkgConfig = zt::RunCommand(
      "/bin/sh",
      {"-c", std::string(ZENT_C_COMPILER) +
                 " -std=c11 -Wall -Wextra -Werror hello_test.c"
                 " $(pkg-config --cflags --libs zentserver-harness)"
                 " -Wl,-rpath,\"$(pkg-config --variable=libdir zentserver-harness)\" -o " +
                 (work / "hello_test_pc")},
      pkgEnv, kOutOfTree, kToolMs);
  ASSERT_EQ(testViaPkgConfig.exitCode, 0) << testViaPkgConfig.Describe();
  // The plugin inside the installed harness (the work directory is private: the harness
  // loads the file as the server would).
  RunHelloTest(work / "hello_test_pc", work / "hello_pc.so");
  // The example camera from the installed sources, with the line docs/plugins.md gives; the
  // installed inspector passes it.
  const zt::CommandResult camera = zt::RunCommand(
      "/bin/sh",
      {"-c", std::string(ZENT_C_COMPILER) +
                 " -shared -fPIC -fvisibility=hidden $(pkg-config --cflags zentserver-plugin) " +
                 prefix + "/share/doc/zentserver/examples/plugins/camera.c -o " +
                 (work / "camera.so")},
      pkgEnv, work.path(), kToolMs);
  ASSERT_EQ(camera.exitCode, 0) << camera.Describe();
  const zt::CommandResult inspectCamera =
      zt::RunCommand(prefix + "/bin/zentserver-inspect", {"--strict", work / "camera.so"});
  EXPECT_EQ(inspectCamera.exitCode, 0) << inspectCamera.Describe();

  // find_package(ZentserverPlugin): the example's own CMake project.
  const std::string build = work / "build";
  const zt::CommandResult configure = zt::RunCommand(
      ZENT_CMAKE,
      {"-S", kOutOfTree, "-B", build, "-G", ZENT_GENERATOR, "-DCMAKE_PREFIX_PATH=" + prefix,
       std::string("-DCMAKE_C_COMPILER=") + ZENT_C_COMPILER},
      {}, "", kToolMs);
  ASSERT_EQ(configure.exitCode, 0) << configure.Describe();
  EXPECT_NE(configure.out.find("plugins directory of the server: " + appDir + "/plugins"),
            std::string::npos)
      << configure.out;
  const zt::CommandResult compile = zt::RunCommand(ZENT_CMAKE, {"--build", build}, {}, "", kToolMs);
  ASSERT_EQ(compile.exitCode, 0) << compile.Describe();
  // Its test is registered with CTest, and passes.
  const zt::CommandResult ctest =
      zt::RunCommand(ZENT_CTEST, {"--test-dir", build, "--output-on-failure"}, {}, "", kToolMs);
  EXPECT_EQ(ctest.exitCode, 0) << ctest.Describe();
  EXPECT_NE(ctest.out.find("100% tests passed, 0 tests failed out of 1"), std::string::npos)
      << ctest.out;
  RunHelloTest(build + "/hello_test", build + "/hello.so");

  // The installed inspector passes both, and the installed server loads both.
  zt::CopyFile(work / "hello_pc.so", appDir + "/plugins/hello_pc.so");
  zt::CopyFile(build + "/hello.so", appDir + "/plugins/hello_cmake.so");
  for (const char* name : {"hello_pc.so", "hello_cmake.so"}) {
    const zt::CommandResult check = zt::RunCommand(prefix + "/bin/zentserver-inspect",
                                                   {"--strict", appDir + "/plugins/" + name});
    EXPECT_EQ(check.exitCode, 0) << check.Describe();
  }
  zt::ServerProcess server(appDir + "/zentserver", {"-d"}, work.path());
  const std::string hello = "hello 4242: the core runs";
  EXPECT_TRUE(zt::WaitUntil([&] { return zt::CountOf(server.Stdout(), hello) == 2; }))
      << server.Stdout() << server.Stderr();
  server.CloseStdin();
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.ExitCode(), 0) << server.Stderr();
}

// The .deb files cpack made in dir, by package name.
std::map<std::string, std::string> Packages(const std::string& dir) {
  std::map<std::string, std::string> debs;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".deb") continue;
    const zt::CommandResult name =
        zt::RunCommand("/usr/bin/dpkg-deb", {"-f", entry.path().string(), "Package"});
    debs[name.out.substr(0, name.out.find('\n'))] = entry.path().string();
  }
  return debs;
}

TEST(SdkTest, TheDebianPackagesHoldTheServiceTheSdkAndEveryShippedPlugin) {
  zt::TempDir work;
  const zt::CommandResult pack =
      zt::RunCommand(ZENT_CPACK,
                     {"-G", "DEB", "--config", std::string(ZENT_BINARY_DIR) + "/CPackConfig.cmake",
                      "-B", work.path()},
                     {}, work.path(), kToolMs);
  ASSERT_EQ(pack.exitCode, 0) << pack.Describe();
  const std::map<std::string, std::string> debs = Packages(work.path());
  ASSERT_EQ(debs.count("zentserver"), 1u) << pack.Describe();
  ASSERT_EQ(debs.count("zentserver-mqtt-bridge"), 1u) << pack.Describe();
  ASSERT_EQ(debs.count("zentserver-media"), 1u) << pack.Describe();
  ASSERT_EQ(debs.count("zentserver-webstatus"), 1u) << pack.Describe();
  const std::string deb = debs.at("zentserver");
  const std::string mediaDeb = debs.at("zentserver-media");
  const zt::CommandResult media = zt::RunCommand("/usr/bin/dpkg-deb", {"-c", mediaDeb});
  for (const char* path :
       {"./usr/lib/zentserver/plugins/camera_rtsp.so",
        "./usr/lib/zentserver/plugins/recorder_segments.so", "./etc/zentserver/cameras.conf"}) {
    EXPECT_NE(media.out.find(std::string(path) + "\n"), std::string::npos) << path << media.out;
  }
  EXPECT_EQ(media.out.find("zentserver/zentserver\n"), std::string::npos) << media.out;
  const zt::CommandResult mediaDepends =
      zt::RunCommand("/usr/bin/dpkg-deb", {"-f", mediaDeb, "Depends"});
  for (const char* package : {"zentserver (= ", "libavformat59", "libavcodec59", "libavutil57"}) {
    EXPECT_NE(mediaDepends.out.find(package), std::string::npos) << mediaDepends.out;
  }
  // An upgrade keeps the operator's cameras.conf.
  const zt::CommandResult mediaConffiles =
      zt::RunCommand("/usr/bin/dpkg-deb", {"--info", mediaDeb, "conffiles"});
  EXPECT_EQ(mediaConffiles.out, "/etc/zentserver/cameras.conf\n") << mediaConffiles.Describe();

  const zt::CommandResult contents = zt::RunCommand("/usr/bin/dpkg-deb", {"-c", deb});
  ASSERT_EQ(contents.exitCode, 0) << contents.Describe();
  for (const char* path :
       {"./usr/lib/zentserver/zentserver", "./usr/lib/zentserver/plugins/",
        "./usr/bin/zentserver-inspect", "./usr/lib/systemd/system/zentserver.service",
        "./usr/include/zentserver/plugin_api.h", "./usr/include/zentserver/harness.h",
        "./usr/include/zentserver/demo_protocol.h", "./usr/lib/pkgconfig/zentserver-harness.pc",
        "./usr/share/pkgconfig/zentserver-plugin.pc",
        "./usr/share/cmake/ZentserverPlugin/ZentserverPluginConfig.cmake",
        "./usr/share/cmake/ZentserverPlugin/ZentserverPluginConfigVersion.cmake",
        "./usr/share/cmake/ZentserverPlugin/ZentserverPluginTargets.cmake",
        "./usr/share/doc/zentserver/plugins.md", "./usr/share/doc/zentserver/testing-plugins.md"}) {
    EXPECT_NE(contents.out.find(std::string(path) + "\n"), std::string::npos) << path << "\n"
                                                                              << contents.out;
  }
  EXPECT_NE(contents.out.find("./usr/lib/libzentserver-harness.so -> libzentserver-harness.so.3\n"),
            std::string::npos)
      << contents.out;
  EXPECT_EQ(contents.out.find("mqtt"), std::string::npos) << "the bridge is a package of its own";
  EXPECT_EQ(contents.out.find("webstatus"), std::string::npos) << "a package of its own";
  const zt::CommandResult depends = zt::RunCommand("/usr/bin/dpkg-deb", {"-f", deb, "Depends"});
  for (const char* package : {"libwxbase3.2-1", "libdaemon0", "libtinyxml2.6.2v5"}) {
    EXPECT_NE(depends.out.find(package), std::string::npos) << depends.out;
  }

  // The files made at install time name the package's prefix, not the build's.
  const std::string root = work / "root";
  const zt::CommandResult extract = zt::RunCommand("/usr/bin/dpkg-deb", {"-x", deb, root});
  ASSERT_EQ(extract.exitCode, 0) << extract.Describe();
  EXPECT_NE(zt::ReadFile(root + "/usr/lib/systemd/system/zentserver.service")
                .find("ExecStart=/usr/lib/zentserver/zentserver"),
            std::string::npos);
  EXPECT_NE(zt::ReadFile(root + "/usr/share/pkgconfig/zentserver-plugin.pc").find("prefix=/usr\n"),
            std::string::npos);

  // The bridge: the plugin, and its configuration as a conffile only root may read or change.
  const std::string bridge = debs.at("zentserver-mqtt-bridge");
  const zt::CommandResult files = zt::RunCommand("/usr/bin/dpkg-deb", {"-c", bridge});
  EXPECT_NE(files.out.find("./usr/lib/zentserver/plugins/mqtt_bridge.so\n"), std::string::npos)
      << files.out;
  EXPECT_NE(files.out.find("-rw-r----- root/root"), std::string::npos) << files.out;
  EXPECT_NE(files.out.find("./etc/zentserver/mqtt-bridge.conf\n"), std::string::npos) << files.out;
  const zt::CommandResult conffiles =
      zt::RunCommand("/usr/bin/dpkg-deb", {"-I", bridge, "conffiles"});
  EXPECT_EQ(conffiles.out, "/etc/zentserver/mqtt-bridge.conf\n") << conffiles.Describe();
  const zt::CommandResult bridgeDepends =
      zt::RunCommand("/usr/bin/dpkg-deb", {"-f", bridge, "Depends"});
  for (const char* package : {"zentserver (= ", "libmosquitto1", "libssl3"}) {
    EXPECT_NE(bridgeDepends.out.find(package), std::string::npos) << bridgeDepends.out;
  }

  // The status page: the plugin, and its configuration as a conffile.
  const std::string webstatus = debs.at("zentserver-webstatus");
  const zt::CommandResult webFiles = zt::RunCommand("/usr/bin/dpkg-deb", {"-c", webstatus});
  for (const char* path :
       {"./usr/lib/zentserver/plugins/webstatus.so\n", "./etc/zentserver/webstatus.conf\n"}) {
    EXPECT_NE(webFiles.out.find(path), std::string::npos) << webFiles.out;
  }
  const zt::CommandResult webConffiles =
      zt::RunCommand("/usr/bin/dpkg-deb", {"-I", webstatus, "conffiles"});
  EXPECT_EQ(webConffiles.out, "/etc/zentserver/webstatus.conf\n") << webConffiles.Describe();
  const zt::CommandResult webDepends =
      zt::RunCommand("/usr/bin/dpkg-deb", {"-f", webstatus, "Depends"});
  for (const char* package : {"zentserver (= ", "libmicrohttpd12", "libcrypt1"}) {
    EXPECT_NE(webDepends.out.find(package), std::string::npos) << webDepends.out;
  }
}

}  // namespace
