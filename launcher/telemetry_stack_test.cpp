#include "launcher/telemetry_stack.h"

#include <gtest/gtest.h>

#include "libs/crashreport/crash_reporter.h"

TEST(TelemetryStack, OneReporterInstalledWithTheFirstSinkServesTheNext) {
  TelemetryStack stack;
  const char* server = "127.0.0.1:1";  // nobody listens: the reporter does not need the service
  CCSharedPtr<TovikLogger> first = stack.OpenSink("4.0.0.320", server, 0, 0);
  Vorq::CrashReporter* reporter = Vorq::CurrentCrashReporter();
  ASSERT_NE(reporter, nullptr);
  EXPECT_TRUE(reporter->IsInstalled());
  EXPECT_TRUE(Vorq::CrashReporterFlags & Vorq::CrashFlag::NoSymbols);

  // As the start-up sequence exchanges the sink once the application DLL's version is known:
  // the second sink runs on the first one's telemetry thread once that one is done.
  CCSharedPtr<TovikLogger> second = stack.OpenSink("1.2.3.200", server, 0, *first);
  first.Reset();
  EXPECT_EQ(Vorq::CurrentCrashReporter(), reporter);
  EXPECT_TRUE(reporter->IsInstalled());
  stack.StartIsOver();
  // The telemetry threads give up on a service out of reach as soon as they are let go.
  EXPECT_TRUE(second->Close(4000));
  EXPECT_TRUE(TovikLogger::WaitForThreads(2000));
  EXPECT_TRUE(stack.WaitForKeptReports(15000));
  stack.CloseSink();
  EXPECT_EQ(Vorq::CurrentCrashReporter(), nullptr);
}
