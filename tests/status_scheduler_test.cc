// The status document every plugin receives at start, and the scheduler's start calls and
// clock reports.
#include <cctype>
#include <dirent.h>
#include <map>

#include <gtest/gtest.h>

#include "support/core_harness.h"
#include "support/run_command.h"

namespace {

using zt::Event;
using zt::EventsNamed;
using zt::ReadEvents;
using zt::StatusDocuments;
using zt::WaitForEvents;

constexpr const char* kDocumentHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?><Zent Delta=\"0\"><Modules>"
    "<Module Name=\"Core\" Version=\"3.5.9.17308\" ID=\"-2147483648\">"
    "<Plugin Filename=\"zentserver\" Opened=\"1\" OpenCode=\"0\" ID=\"-2147483648\" />";
constexpr const char* kDocumentTail = "</Module></Modules></Zent>";

// Whether text is pattern with every "#" standing for a decimal number; the numbers go to
// numbers in order.
bool MatchWithNumbers(const std::string& text, const std::string& pattern,
                      std::vector<long>* numbers) {
  size_t t = 0;
  for (size_t p = 0; p < pattern.size(); ++p) {
    if (pattern[p] != '#') {
      if (t >= text.size() || text[t] != pattern[p]) return false;
      ++t;
      continue;
    }
    const size_t start = t;
    while (t < text.size() && std::isdigit(static_cast<unsigned char>(text[t]))) ++t;
    if (t == start) return false;
    numbers->push_back(std::stol(text.substr(start, t - start)));
  }
  return t == text.size();
}

TEST(StatusDocumentTest, EveryPluginButTheCoresNamesakeReceivesTheDocumentOnce) {
  zt::Installation install;
  const std::string cam = install.AddPlugin("cam.so", "id 7\nsleep load 300\nsleep open 100\n");
  const std::string odd = install.AddPlugin("Cam.SO.so", "id 0xffffffff\nopen_result -3\n");
  const std::string namesake = install.AddPlugin("core.so", "id 0x80000000\n");
  const zt::CommandResult server = zt::RunConsoleOnce(install);
  ASSERT_EQ(server.exitCode, 0) << server.Describe();

  // The plugins in the order they were loaded, each with its own attributes; "#" stands for
  // the load and open times.
  const std::map<std::string, std::string> element = {
      {"cam.so",
       "<Plugin Filename=\"cam.so\" Opened=\"1\" OpenCode=\"0\" LoadTime=\"#\" "
       "OpenTime=\"#\" ID=\"7\" />"},
      {"Cam.SO.so",
       "<Plugin Filename=\"cam.so.so\" Opened=\"1\" OpenCode=\"-3\" "
       "LoadTime=\"#\" OpenTime=\"#\" ID=\"-1\" />"},
      {"core.so",
       "<Plugin Filename=\"core.so\" Opened=\"1\" OpenCode=\"0\" LoadTime=\"#\" "
       "OpenTime=\"#\" ID=\"-2147483648\" />"}};
  std::string pattern = kDocumentHead;
  const std::vector<std::string> order = zt::ListingOrder(install.plugins());
  for (const std::string& name : order) pattern += element.at(name);
  pattern += kDocumentTail;

  for (const std::string& record : {cam, odd}) {
    const auto documents = StatusDocuments(record);
    ASSERT_EQ(documents.size(), 1u) << record;
    const std::string text = zt::Unhex(documents[0]["hex"]);
    EXPECT_EQ(documents[0].Number("len"), text.size()) << "no terminating zero byte";
    std::vector<long> times;
    ASSERT_TRUE(MatchWithNumbers(text, pattern, &times)) << text << "\n" << pattern;
    ASSERT_EQ(times.size(), 2 * order.size());
    for (size_t i = 0; i < order.size(); ++i) {
      const long loadTime = times[2 * i], openTime = times[2 * i + 1];
      if (order[i] != "cam.so") continue;  // the one whose Load and Open take known times
      EXPECT_GE(loadTime, 300);
      EXPECT_LT(loadTime, 60000);
      EXPECT_GE(openTime, 100);
      EXPECT_LT(openTime, 60000);
    }
  }
  EXPECT_TRUE(StatusDocuments(namesake).empty()) << "a plugin with the core's id is the core";
}

TEST(StatusDocumentTest, AnyFileNameIsLoadedByItsBytesAndListedInWellFormedXml) {
  // Shown as they are: markup characters (escaped by the XML printer), a space, UTF-8. Shown
  // as \xHH: a control byte, a Latin-1 byte, an ampersand that would start a character
  // reference. Checked in the C locale, where a conversion to wide characters would fail.
  const std::map<std::string, std::string> shown = {
      {"amp&.so", "Filename=\"amp&amp;.so\""},
      {"lt<.so", "Filename=\"lt&lt;.so\""},
      {"quote\".so", "Filename='quote&quot;.so'"},
      {"a space.so", "Filename=\"a space.so\""},
      {"Caf\xc3\xa9.so", "Filename=\"caf\xc3\xa9.so\""},
      {"ctl\x01.so", "Filename=\"ctl\\x01.so\""},
      {"lat\xe9.so", "Filename=\"lat\\xe9.so\""},
      {"ref&#x1;.so", "Filename=\"ref\\x26#x1;.so\""}};
  zt::Installation install;
  std::string record;
  for (const auto& [name, unused] : shown) record = install.AddPlugin(name, "id 1\n");
  install.AddPlugin("refused\xff.so", "load_result 7\n");
  const zt::CommandResult server = zt::RunConsoleOnce(install, {"LC_ALL=C"});
  ASSERT_EQ(server.exitCode, 0) << server.Describe();
  EXPECT_NE(server.err.find("plugin refused\\xff.so load returned 7 error 0"), std::string::npos)
      << server.err;

  const auto documents = StatusDocuments(record);
  ASSERT_EQ(documents.size(), 1u);
  const std::string text = zt::Unhex(documents[0]["hex"]);
  for (const auto& [name, form] : shown) {
    EXPECT_NE(text.find(form), std::string::npos) << form << "\n" << text;
  }
  zt::TempDir dir;
  zt::WriteFile(dir / "status.xml", text);
  const zt::CommandResult parsed =
      zt::RunCommand("/usr/bin/xmllint", {"--noout", dir / "status.xml"});
  EXPECT_EQ(parsed.exitCode, 0) << parsed.Describe() << text;
}

TEST(StatusDocumentTest, WithoutPluginsItListsTheCoreAlone) {
  zt::Installation install;
  zt::CoreHarness harness(install);
  EXPECT_EQ(harness.core().BuildStatusDocument(), std::string(kDocumentHead) + kDocumentTail);
}

// A calendar clock that the test sets.
class SchedulerTest : public ::testing::Test {
 protected:
  zt::CalendarScope clock_{1700000000};
};

TEST_F(SchedulerTest, StartsOneReadPerReadingPluginAndReportsClockSteps) {
  zt::Installation install;
  const std::string reader =
      install.AddPlugin("reader.so", "id 1\naccepts_read 1\naccepts_write 1\nmask 6 0x02000002\n");
  const std::string deaf = install.AddPlugin("deaf.so", "id 2\nmask 6 0x00800002\n");
  zt::CoreHarness harness(install);
  harness.Start();
  const auto reads = EventsNamed(WaitForEvents(reader, "read"), "read");
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads[0].Number("size"), zt::kReadRequestSize);
  EXPECT_EQ(reads[0].Number("reply_size"), zt::kReadReplySize);
  EXPECT_EQ(reads[0]["async"], "1");
  EXPECT_EQ(reads[0]["len"], "0");
  EXPECT_EQ(reads[0]["data"], "(nil)");
  EXPECT_EQ(reads[0]["channel"], "0");

  ASSERT_TRUE(clock_.WaitForLooks(2));
  clock_.Set(1700000000 + 3600);  // forward an hour
  WaitForEvents(reader, "write", 1);
  clock_.Set(1700000000 + 3595);  // back five seconds
  WaitForEvents(reader, "write", 2);
  clock_.Set(1700000000 + 3596);  // one second: not a step
  ASSERT_TRUE(clock_.WaitForLooks(2));
  clock_.Set(1700000000 + 3598);  // two seconds: a step
  WaitForEvents(reader, "write", 3);
  harness.Stop();
  // Counted after the scheduler's many later looks and its end: the start Read came once.
  EXPECT_EQ(EventsNamed(ReadEvents(reader), "read").size(), 1u);

  for (const Event& write : EventsNamed(ReadEvents(reader), "write")) {
    EXPECT_EQ(write["source"], std::to_string(CORE_SOURCE));
    EXPECT_EQ(write["flags"], "0x40");
    EXPECT_EQ(write["code"], "0x1000002");
    EXPECT_EQ(write["channel"], "0");
  }
  EXPECT_EQ(zt::Payloads(reader, "write"),
            (std::vector<std::string>{"system time changed by 3600 seconds",
                                      "system time changed by -5 seconds",
                                      "system time changed by 2 seconds"}));
  const auto deafEvents = ReadEvents(deaf);
  EXPECT_TRUE(EventsNamed(deafEvents, "read").empty());
  EXPECT_TRUE(EventsNamed(deafEvents, "write").empty());
}

TEST_F(SchedulerTest, AStallIsNoClockJump) {
  // The machine stalls for 4 seconds (both clocks move), later the wall clock alone is set 7
  // seconds on: only the second is a jump, and exactly its size is reported.
  zt::Installation install;
  const std::string reader =
      install.AddPlugin("reader.so", "id 1\naccepts_write 1\nmask 6 0x02000002\n");
  zt::CoreHarness harness(install);
  harness.Start();
  ASSERT_TRUE(clock_.WaitForLooks(2));
  clock_.Stall(4);
  ASSERT_TRUE(clock_.WaitForLooks(2));
  clock_.Stall(30);
  ASSERT_TRUE(clock_.WaitForLooks(2));
  clock_.Set(1700000000 + 34 + 7);
  WaitForEvents(reader, "write", 1);
  ASSERT_TRUE(clock_.WaitForLooks(2));
  harness.Stop();
  EXPECT_EQ(zt::Payloads(reader, "write"),
            std::vector<std::string>{"system time changed by 7 seconds"});
  EXPECT_EQ(SchedulerThread::ClockStep(2, 100), 2) << "two calendar seconds within 100 ms";
  EXPECT_EQ(SchedulerThread::ClockStep(1, 100), 0);
  EXPECT_EQ(SchedulerThread::ClockStep(5, 4600), 0) << "a stall that crossed a second more";
  EXPECT_EQ(SchedulerThread::ClockStep(-5, 100), -5);
}

TEST_F(SchedulerTest, TheFirstLookReportsNothing) {
  zt::Installation install;
  const std::string reader =
      install.AddPlugin("reader.so", "id 1\naccepts_write 1\nmask 6 0x02000002\n");
  clock_.Set(5);  // far from anything a previous look could have seen
  zt::CoreHarness harness(install);
  harness.Start();
  ASSERT_TRUE(clock_.WaitForLooks(2));
  harness.Stop();
  EXPECT_TRUE(EventsNamed(ReadEvents(reader), "write").empty());
}

}  // namespace
