// The Notifier's failures, on its own thread, with marker files in a temporary folder, against
// the test web server and the fault-injecting server. A notification that goes through is
// checked with the real launcher (tests/launcher_integration).

#include "logging/notifier.h"

#include <gtest/gtest.h>

#include <string>

#include "launcher/pathutil/path_util.h"
#include "libs/ccutility/file/cc_file.h"
#include "tests/support/exception_text.h"
#include "tests/support/peer_env.h"
#include "tests/support/test_folder.h"

namespace {

using gvtest::PeerText;
using gvtest::UniqueKey;

// A ".notify" marker holding `address` and the place of its ".notified" twin.
struct Markers {
  TestFolder folder;
  CCString notify = folder.Join("Galvorand.notify");
  CCString notified = folder.Join("Galvorand.notified");

  explicit Markers(const std::string& address) {
    cc::File file(notify, cc::File::kWrite);
    file.Write(address.data(), address.size());
  }
  // Starts a notifier as the launcher does and waits for it to finish.
  void Notify() {
    CCSharedPtr<Notifier> notifier(new Notifier(notify, notified));
    cc::Thread::Holder holder(notifier.Get());
    holder.Detach();
    for (int i = 0; i < 60000 && !notifier->HasFinished(); ++i)
      cc::SleepMs(1);
    EXPECT_TRUE(notifier->HasFinished());
  }
};

}  // namespace

TEST(Notifier, AnyFailedAttemptLeavesTheMarkerForTheNextStart) {
  NEED_PEER("GV_HTTP_PORT");
  NEED_PEER("GV_FAULT_PORT");
  const std::string key = UniqueKey();
  const struct {
    const char* name;
    std::string address;
  } cases[] = {
      {"not found", "http://127.0.0.1:" + PeerText("GV_HTTP_PORT") + "/status-404"},
      {"refused", "http://127.0.0.1:1/notify"},
      {"not an address", "gopher://127.0.0.1/notify"},
      {"empty file", ""},
      // The first attempt loses its connection three times; the second one succeeds.
      {"failed once", "http://127.0.0.1:" + PeerText("GV_FAULT_PORT") + "/closing/3?key=" + key},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Markers m(c.address);
    m.Notify();
    EXPECT_TRUE(PathUtil::FileExists(m.notify));
    EXPECT_FALSE(PathUtil::FileExists(m.notified));
  }
}

TEST(Notifier, MissingMarkerEndsTheRunWithAFileError) {
  TestFolder folder;
  CCString notify = folder.Join("absent.notify");
  CCSharedPtr<Notifier> direct(new Notifier(notify, folder.Join("absent.notified")));
  EXPECT_EQ(gvtest::WhatOf<cc::File::Exception>([&] { direct->Run(); }),
            "Cannot open file - " + std::string(notify.c_str()) + " (2)");
  // On its thread the failure ends the body quietly and counts as finished.
  Markers m("");
  PathUtil::DeletePath(m.notify, true);
  m.Notify();
  EXPECT_FALSE(PathUtil::FileExists(m.notified));
}
