#include "launcher/telemetry_stack.h"

#include <gtest/gtest.h>

#include "libs/crashreport/crash_reporter.h"

TEST(TelemetryStack, EachSinkComesWithItsOwnInstalledReporter) {
  TelemetryStack stack;
  const char* server = "127.0.0.1:1";  // nobody listens: the reporter does not need the service
  CCSharedPtr<TovikLogger> first = stack.OpenSink("4.0.0.320", server, 0, 0);
  Vorq::CrashReporter* firstReporter = Vorq::CurrentCrashReporter();
  ASSERT_NE(firstReporter, nullptr);
  EXPECT_TRUE(firstReporter->IsInstalled());
  EXPECT_TRUE(Vorq::CrashReporterFlags & Vorq::CrashFlag::NoSymbols);

  // As the start-up sequence exchanges the sink once the application DLL's version is known.
  stack.CloseSink();
  EXPECT_EQ(Vorq::CurrentCrashReporter(), nullptr);
  CCSharedPtr<TovikLogger> second = stack.OpenSink("1.2.3.200", server, 0, *first);
  first.Reset();
  ASSERT_NE(Vorq::CurrentCrashReporter(), nullptr);
  stack.CloseSink();
  EXPECT_EQ(Vorq::CurrentCrashReporter(), nullptr);
  // The telemetry threads give up on a service out of reach as soon as they are let go.
  EXPECT_TRUE(second->Close(2000));
  EXPECT_TRUE(TovikLogger::WaitForThreads(2000));
}
