// This is an internal header of the platform tests.
// The fixture of the support library's own tests: every test ends with the descriptors and
// windows it started with.
#pragma once

#include <gtest/gtest.h>

#include "LeakCheck.h"
#include "WinMessages.h"

namespace vantrel::test {

class SupportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The thread's message queue lives as long as the thread: make it exist before counting.
    MSG msg;
    PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE);
    // Windows first: the first window count may open handles that last as long as the process.
    windows_ = LiveWindowCount();
    fds_ = OpenDescriptorCount();
  }
  void TearDown() override {
    // A skipped test opened nothing; reporting the skip may open handles of its own (Windows).
    if (IsSkipped()) return;
    EXPECT_EQ(OpenDescriptorCount(), fds_) << "descriptors left open";
    EXPECT_EQ(LiveWindowCount(), windows_) << "windows left open";
  }

 private:
  int fds_ = 0;
  int windows_ = 0;
};

}  // namespace vantrel::test
