// promtool (Debian's prometheus package) as the judge of Prometheus' text format: the tests of
// what the status page writes. ZENT_PROMTOOL names it (empty or missing: the check skips).
#ifndef ZENT_TESTS_SUPPORT_PROMTOOL_H_
#define ZENT_TESTS_SUPPORT_PROMTOOL_H_

#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/run_command.h"
#include "support/test_support.h"

namespace zt {

inline bool HavePromtool() { return access(ZENT_PROMTOOL, X_OK) == 0; }
constexpr const char* kNoPromtool =
    "promtool is not installed (scripts/setup installs Debian's prometheus)";

// Expects "promtool check metrics" to accept text without a remark; skips without promtool.
inline void ExpectPromtoolAccepts(const std::string& text) {
  if (!HavePromtool()) GTEST_SKIP() << kNoPromtool;
  TempDir dir;
  WriteFile(dir / "metrics", text);
  const CommandResult check = RunCommand(
      "/bin/sh", {"-c", std::string(ZENT_PROMTOOL) + " check metrics <metrics"}, {}, dir.path());
  EXPECT_EQ(check.exitCode, 0) << check.Describe() << "\n" << text;
  EXPECT_EQ(check.out + check.err, "") << text;
}

}  // namespace zt

#endif  // ZENT_TESTS_SUPPORT_PROMTOOL_H_
