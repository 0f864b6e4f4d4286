// Main of the test executables: initialises the wxWidgets base library as the server does and
// makes a capture of every log record the active log target, so that tests can look at what the
// code under test logged, on any thread.
#include <gtest/gtest.h>
#include <wx/init.h>
#include <wx/log.h>

#include "support/test_support.h"

namespace {

class CaptureLog : public wxLog {
 protected:
  void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) override {
    zt::LogCapture::Get().Add(std::string(msg.utf8_str()));
  }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  wxInitializer library;
  if (!library.IsOk()) return 1;
  delete wxLog::SetActiveTarget(new CaptureLog);
  return RUN_ALL_TESTS();
}
