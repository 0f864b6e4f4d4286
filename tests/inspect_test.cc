// zentserver-inspect on plugins the server accepts, on ones it rejects and on files that are
// not plugins: exit status, the report (text and JSON) and the one line on standard error.
#include <cstring>
#include <elf.h>
#include <filesystem>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "demo_protocol.h"
#include "support/run_command.h"
#include "support/test_support.h"

namespace {

using nlohmann::json;

std::string DemoPlugin(const std::string& name) {
  return std::string(ZENT_DEMO_DIR) + "/plugins/" + name;
}

zt::CommandResult Inspect(const std::vector<std::string>& args,
                          const std::vector<std::string>& env = {}) {
  return zt::RunCommand(ZENT_INSPECT_EXE, args, env);
}

json ParseReport(const zt::CommandResult& result) {
  json report = json::parse(result.out, nullptr, false);
  EXPECT_FALSE(report.is_discarded()) << result.Describe();
  return report.is_discarded() ? json::object() : report;
}

// The inspector's own last line on standard error (a plugin may have printed before it).
std::string LastLine(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
  const size_t at = trimmed.rfind('\n');
  return at == std::string::npos ? trimmed : trimmed.substr(at + 1);
}

TEST(InspectTest, DescribesAnExamplePluginTheServerAccepts) {
  const std::string recorder = DemoPlugin("recorder.so");
  const zt::CommandResult text = Inspect({recorder});
  EXPECT_EQ(text.exitCode, 0) << text.Describe();
  EXPECT_NE(text.out.find("exports     Load Unload Open Close Read Write Seek IOCTL"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("id          102 (0x00000066)"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("mask 2 (class bit 0x004)  0x08000001"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("ioctlAtLoad 0  acceptsRead 0  acceptsWrite 1"), std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("verdict     accepted: Load returned 0 with error 0"), std::string::npos)
      << text.out;
  EXPECT_EQ(text.err,
            "zentserver-inspect: " + recorder + ": accepted: Load returned 0 with error 0\n");

  const zt::CommandResult result = Inspect({"--json", DemoPlugin("monitor.so")});
  EXPECT_EQ(result.exitCode, 0) << result.Describe();
  const json report = ParseReport(result);
  EXPECT_EQ(report["verdict"], "accepted");
  EXPECT_EQ(report["loadable"], true);
  for (const char* entry : {"Load", "Unload", "Open", "Close", "Read", "Write", "Seek", "IOCTL"}) {
    EXPECT_EQ(report["exports"][entry], true) << entry;
  }
  const json& info = report["info"];
  EXPECT_EQ(info["id"], DEMO_MONITOR_ID);
  EXPECT_EQ(info["idHex"], "0x00000067");
  ASSERT_EQ(info["masks"].size(), 9u);
  EXPECT_EQ(info["masks"][2]["mask"], DEMO_FRAME_MATCH | DEMO_STREAM_MATCH | DEMO_MEDIA_MATCH);
  EXPECT_EQ(info["masks"][6]["mask"], DEMO_CLOCK_MATCH);
  EXPECT_EQ(info["masks"][6]["classBit"], 0x40);
  EXPECT_EQ(info["masks"][8]["classBit"], 0x400);
  EXPECT_EQ(info["acceptsRead"], true);
  EXPECT_EQ(info["acceptsWrite"], true);
  EXPECT_EQ(info["ioctlAtLoad"], false);
  EXPECT_EQ(info["error"], 0);
  EXPECT_EQ(report["load"]["result"], 0);
  // Stopped as the server stops it, and nothing of it is left running.
  EXPECT_EQ(report["close"]["called"], true);
  EXPECT_EQ(report["unload"]["called"], true);
  EXPECT_EQ(report["threadsLeft"], 0);
  EXPECT_TRUE(report["warnings"].empty()) << report["warnings"];
}

TEST(InspectTest, ReportsAPluginWhoseLoadFailsAsRejected) {
  // The camera refuses settings it cannot use: Load returns 0 with error 1.
  const std::string camera = DemoPlugin("camera.so");
  const zt::CommandResult text = Inspect({camera}, {"ZENT_DEMO_SIZE=7x7"});
  EXPECT_EQ(text.exitCode, 1) << text.Describe();
  EXPECT_NE(text.out.find("verdict     rejected: Load returned 0 with error 1"), std::string::npos)
      << text.out;
  EXPECT_EQ(LastLine(text.err),
            "zentserver-inspect: " + camera + ": rejected: Load returned 0 with error 1");

  // A non-zero result of Load rejects as well; a rejected plugin gets no Close and no Unload.
  zt::TempDir dir;
  const std::string plugin = dir / "fails.so";
  zt::CopyFile(zt::TestPluginFile(), plugin);
  zt::WriteFile(plugin + ".conf", "id 9\nload_result 7\n");
  const zt::CommandResult result = Inspect({"--json", plugin});
  EXPECT_EQ(result.exitCode, 1) << result.Describe();
  const json report = ParseReport(result);
  EXPECT_EQ(report["verdict"], "rejected");
  EXPECT_EQ(report["accepted"], false);
  EXPECT_EQ(report["load"]["result"], 7);
  EXPECT_EQ(report["close"]["called"], false);
  EXPECT_EQ(report["unload"]["called"], false);
  EXPECT_EQ(report["reason"], "Load returned 7 with error 0");
  const std::string record = zt::ReadFile(plugin + ".log");
  EXPECT_EQ(record.find("close"), std::string::npos) << record;
  EXPECT_EQ(record.find("unload"), std::string::npos) << record;
}

TEST(InspectTest, RecordsWhatThePluginSendsAndAnswersAsTheServerWould) {
  zt::TempDir dir;
  const std::string plugin = dir / "sender.so";
  zt::CopyFile(zt::TestPluginFile(), plugin);
  // A broadcast opens channel 5, so a queued message on it is accepted; channel 9 was never
  // opened, so the server would refuse the one on it.
  zt::WriteFile(plugin + ".conf",
                "id 7\naccepts_write 1\nmask 0 0x02000001\n"
                "send load 0 5 0x01 0x01000001 hello\n"
                "send load self 5 0x01 0x01000001 #4\n"
                "send load self 9 0x01 0x01000001 -\n"
                "send close 0 0 0x01 0x01000002 bye\n");
  const zt::CommandResult result = Inspect({"--json", plugin});
  EXPECT_EQ(result.exitCode, 0) << result.Describe();
  const json report = ParseReport(result);
  const json& sent = report["messages"];
  ASSERT_EQ(sent.size(), 4u) << sent;
  EXPECT_EQ(sent[0]["kind"], "broadcast");
  EXPECT_EQ(sent[0]["payload"], "\"hello\"");
  EXPECT_EQ(sent[0]["phase"], "Load");
  EXPECT_EQ(sent[0]["thread"], "calling thread");
  EXPECT_EQ(sent[1]["kind"], "queued");
  EXPECT_EQ(sent[1]["source"], 7);
  EXPECT_EQ(sent[1]["length"], 4);
  EXPECT_EQ(sent[1]["result"], RESULT_OK);
  EXPECT_EQ(sent[2]["channel"], 9);
  EXPECT_EQ(sent[2]["result"], RESULT_CHANNEL_REFUSED);
  EXPECT_EQ(sent[3]["phase"], "Close");
  ASSERT_EQ(report["warnings"].size(), 1u) << report["warnings"];
  EXPECT_NE(report["warnings"][0].get<std::string>().find("channel 9 was refused"),
            std::string::npos);
  // The test plugin records what the callback answered.
  const std::string record = zt::ReadFile(plugin + ".log");
  EXPECT_NE(record.find("channel=9 flags=0x1 code=0x1000001 len=0 data=(nil) rc=0 result=1"),
            std::string::npos)
      << record;

  // --strict: warnings fail the check.
  const zt::CommandResult strict = Inspect({"--strict", plugin});
  EXPECT_EQ(strict.exitCode, 1) << strict.Describe();
  EXPECT_NE(strict.err.find("accepted: Load returned 0 with error 0 (1 warning)"),
            std::string::npos)
      << strict.err;
}

TEST(InspectTest, WarnsOfAThreadThePluginLeavesRunningAfterUnload) {
  const zt::CommandResult result =
      Inspect({"--json", "--strict", zt::TestPluginFile("straythread")});
  EXPECT_EQ(result.exitCode, 1) << result.Describe();
  const json report = ParseReport(result);
  EXPECT_EQ(report["accepted"], true);
  EXPECT_EQ(report["unload"]["called"], true);
  EXPECT_EQ(report["threadsLeft"], 1);
  ASSERT_EQ(report["warnings"].size(), 1u) << report["warnings"];
  EXPECT_NE(report["warnings"][0].get<std::string>().find("still run after Unload"),
            std::string::npos);
}

TEST(InspectTest, ExerciseOpensThePluginDeliversAndReportsWhatItDidAgainstTheContract) {
  zt::TempDir dir;
  const std::string plugin = dir / "keeper.so";
  zt::CopyFile(zt::TestPluginFile(), plugin);
  // It keeps the status document it is given by IOCTL and never gives it back.
  zt::WriteFile(plugin + ".conf", "id 7\naccepts_read 1\nretain 1\nrelease none\n");

  // Without --exercise nothing is opened or delivered: nothing to complain of.
  const json loaded = ParseReport(Inspect({"--json", "--strict", plugin}));
  EXPECT_EQ(loaded["open"]["called"], false);
  EXPECT_EQ(loaded["violations"].size(), 0u) << loaded["violations"];

  const zt::CommandResult result = Inspect({"--json", "--strict", "--exercise", plugin});
  EXPECT_EQ(result.exitCode, 1) << result.Describe();
  const json report = ParseReport(result);
  EXPECT_EQ(report["accepted"], true);
  EXPECT_EQ(report["open"]["called"], true);
  EXPECT_EQ(report["close"]["called"], true);
  ASSERT_EQ(report["violations"].size(), 1u) << report["violations"];
  EXPECT_EQ(report["violations"][0]["kind"], "kept after Close");
  const std::string record = zt::ReadFile(plugin + ".log");
  EXPECT_NE(record.find(" cmd=2 "), std::string::npos) << "the status document\n" << record;
  EXPECT_NE(record.find("read "), std::string::npos) << "the start Read\n" << record;

  // The text report lists it among the warnings.
  const zt::CommandResult text = Inspect({"--exercise", plugin});
  EXPECT_EQ(text.exitCode, 0) << text.Describe();
  EXPECT_NE(text.out.find(report["violations"][0]["text"].get<std::string>()), std::string::npos)
      << text.out;
}

// A file that starts like an ELF shared object of the other word size.
void WriteForeignElf(const std::string& path) {
  unsigned char header[64] = {};
  std::memcpy(header, ELFMAG, SELFMAG);
  header[EI_CLASS] = sizeof(void*) == 8 ? ELFCLASS32 : ELFCLASS64;
  header[EI_DATA] = ELFDATA2LSB;
  header[EI_VERSION] = EV_CURRENT;
  header[16] = ET_DYN;
  header[18] = sizeof(void*) == 8 ? EM_386 : EM_X86_64;
  zt::WriteFile(path, std::string(reinterpret_cast<char*>(header), sizeof header));
}

TEST(InspectTest, TellsFilesThatAreNoLoadablePluginApart) {
  zt::TempDir dir;
  zt::WriteFile(dir / "notes.so", "this is not a shared object\n");
  WriteForeignElf(dir / "foreign.so");
  const std::string bits = sizeof(void*) == 8 ? "64" : "32";
  const struct {
    std::string file;
    std::string reason;
  } cases[] = {
      {zt::TestPluginFile("noload"), "exports no Load"},
      {dir / "notes.so", "not an ELF object"},
      {dir / "foreign.so", "-bit object; this server is " + bits + "-bit"},
      {dir / "missing.so", "cannot open: No such file or directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const zt::CommandResult text = Inspect({c.file});
    EXPECT_EQ(text.exitCode, 2) << text.Describe();
    const std::string prefix = "zentserver-inspect: " + c.file + ": not a loadable plugin: ";
    EXPECT_EQ(text.err.compare(0, prefix.size(), prefix), 0) << text.err;
    EXPECT_NE(text.err.find(c.reason, prefix.size()), std::string::npos) << text.err;
    EXPECT_EQ(std::count(text.err.begin(), text.err.end(), '\n'), 1) << text.err;

    const zt::CommandResult result = Inspect({"--json", c.file});
    EXPECT_EQ(result.exitCode, 2) << result.Describe();
    const json report = ParseReport(result);
    EXPECT_EQ(report["verdict"], "not loadable");
    EXPECT_EQ(report["loadable"], false);
    EXPECT_NE(report["reason"].get<std::string>().find(c.reason), std::string::npos);
  }
  // Files the server would refuse before loading them: one cut short (the loader would die on
  // it) is no loadable plugin; one that others could change is rejected.
  const std::string image = zt::ReadFile(zt::TestPluginFile());
  zt::WriteFile(dir / "truncated.so", image.substr(0, 4096));
  const zt::CommandResult truncated = Inspect({dir / "truncated.so"});
  EXPECT_EQ(truncated.exitCode, 2) << truncated.Describe();
  EXPECT_NE(truncated.err.find("not a loadable plugin: " + (dir / "truncated.so") + ": truncated:"),
            std::string::npos)
      << truncated.err;
  zt::CopyFile(zt::TestPluginFile(), dir / "shared.so", 0775);
  const zt::CommandResult shared = Inspect({dir / "shared.so"});
  EXPECT_EQ(shared.exitCode, 1) << shared.Describe();
  EXPECT_EQ(LastLine(shared.err),
            "zentserver-inspect: " + (dir / "shared.so") +
                ": rejected: the server would not load it: writable by group");
  EXPECT_FALSE(zt::FileExists(dir / "shared.so.log")) << "loaded although it was refused";

  // A shared object without Load is still opened: the report says what it does export.
  const json report = ParseReport(Inspect({"--json", zt::TestPluginFile("noload")}));
  EXPECT_EQ(report["exports"]["Load"], false);
  EXPECT_EQ(report["exports"]["IOCTL"], true);
  EXPECT_FALSE(report.contains("info"));
}

}  // namespace
