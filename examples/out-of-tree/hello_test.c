/*
 * hello_test.c: tests hello.so inside the real zentserver core with the test harness of the
 * installed SDK (<zentserver/harness.h>, libzentserver-harness). It needs no test framework:
 * it prints one line per check and exits with 1 when one failed.
 *
 *   hello_test PATH/hello.so
 *
 *   with CMake:       cmake -S . -B build && cmake --build build && ctest --test-dir build -V
 *   with pkg-config:  cc hello_test.c $(pkg-config --cflags --libs zentserver-harness) \
 *                        -Wl,-rpath,"$(pkg-config --variable=libdir zentserver-harness)" \
 *                        -o hello_test
 *
 * The harness loads the file as the server would: it and the directories on the way to it
 * must not be writable by group or others.
 */
#include "hello.h"

#include <stdio.h>
#include <string.h>
#include <zentserver/harness.h>

static int g_failed;

static int Check(int ok, const char* what) {
  printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  if (!ok) g_failed = 1;
  return ok;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s PATH/hello.so\n", argv[0]);
    return 2;
  }
  zh_options options;
  zh_options_init(&options);
  options.stdout_mode = ZH_OUTPUT_TEE; /* what the plugin prints is kept for the checks */
  zh_started started;
  zh_harness* h = zh_start(argv[1], &options, &started);
  if (!Check(h != NULL && started.status == ZH_ACCEPTED, "the core accepts hello.so")) {
    printf("  %s\n", started.reason);
    zh_free(h);
    return 1;
  }
  Check(started.info.id == HELLO_ID, "its id is HELLO_ID");
  Check(zh_wait_output(h, 1, "hello 4242: the core runs", 10000) == ZH_OK,
        "it greets the status document");

  /* The probe asks; the plugin answers with a queued message of its own. */
  Message ask = zh_message(options.probe_id, 0, MSG_CLASS_BIT(HELLO_CLASS), HELLO_ASK, "probe", 5);
  Check(zh_send(h, &ask) == RESULT_OK, "the core takes the question");
  zh_sent sent;
  if (Check(zh_next(h, &sent, 10000) == ZH_OK, "hello sends a message")) {
    Check(sent.message.code == HELLO_ANSWER && sent.message.source == HELLO_ID,
          "its answer, under its own id");
    Check(sent.message.length == 12 && memcmp(sent.message.data, "hello, probe", 12) == 0,
          "saying \"hello, probe\"");
    Check(sent.entry == ZH_ENTRY_WRITE && sent.result == RESULT_OK,
          "sent from inside Write, and taken by the core");
  }

  zh_report report;
  Check(zh_stop(h, &report) == ZH_OK, "it stops");
  for (size_t i = 0; i < report.violation_count; ++i) {
    printf("  %s: %s\n", zh_violation_name(report.violations[i].kind), report.violations[i].text);
  }
  Check(report.violation_count == 0, "it keeps the plugin contract");
  zh_free(h);
  return g_failed;
}
