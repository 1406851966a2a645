// Replays the response fuzz target's seed inputs and every input it ever found a fault with
// (tests/http/fuzz_inputs/) through a real client: each must end the request, with the
// outcome the seeds were written for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "LeakCheck.h"
#include "ResponseReplay.h"
#include "WinMessages.h"

namespace vantrel {
namespace {

std::string SourceDir() {
  const char* dir = std::getenv("VANTREL_SOURCE_DIR");
  return dir != nullptr ? dir : VANTREL_SOURCE_DIR_DEFAULT;
}

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

test::ReplayOutcome Replay(test::ResponseReplay& replay, const std::string& input) {
  return replay.Play(reinterpret_cast<const std::uint8_t*>(input.data()), input.size(), 3000);
}

class FuzzRegression : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(replay_.Ready());
    Replay(replay_, std::string(1, '\0'));  // sets up the thread's queue outside the count
    fds_ = test::OpenDescriptorCount();
    windows_ = LiveWindowCount();
  }
  void TearDown() override {
    EXPECT_EQ(test::OpenDescriptorCount(), fds_) << "descriptor left open";
    EXPECT_EQ(LiveWindowCount(), windows_) << "window left open";
  }
  test::ResponseReplay replay_;
  int fds_ = 0;
  int windows_ = 0;
};

TEST_F(FuzzRegression, EverySavedInputEndsTheRequest) {
  int replayed = 0;
  for (const char* folder : {"/fuzz/corpus/http_response", "/tests/http/fuzz_inputs"}) {
    const std::filesystem::path dir = SourceDir() + folder;
    if (!std::filesystem::exists(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (!entry.is_regular_file()) continue;
      const test::ReplayOutcome out = Replay(replay_, ReadAll(entry.path()));
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(out.ended) << name;
      EXPECT_FALSE(out.timedOut) << name;
      EXPECT_EQ(out.doneCount, 1) << name;
      EXPECT_TRUE(out.document == out.delivered) << name;
      ++replayed;
    }
  }
  EXPECT_GE(replayed, 10);
}

TEST_F(FuzzRegression, SeedsGiveTheirOutcomes) {
  const std::string dir = SourceDir() + "/fuzz/corpus/http_response/";
  struct Case {
    const char* seed;
    int responseCode;
    int failureCode;
    std::uint16_t doneError;
    const char* document;
  };
  for (const Case& c : {
           Case{"ok", 200, 0, 0, "hello"},
           Case{"split", 200, 0, 0, "abc"},
           Case{"head", 200, 0, 0, ""},
           Case{"relocate", 200, 0, 0, "x"},
           Case{"relocate-name", 301, 0, 0, "<HTML>hi\n"},  // the code of the relocation stays
           Case{"notfound", 404, 0, 0, nullptr},
           Case{"reset", -1, httpErrShortResponse, 10054, nullptr},
           Case{"long", 200, httpErrLineTooLong, httpErrLineTooLong, ""},
           Case{"nul", 200, httpErrShortResponse, httpErrShortResponse, ""},
       }) {
    const test::ReplayOutcome out = Replay(replay_, ReadAll(dir + c.seed));
    EXPECT_TRUE(out.ended) << c.seed;
    if (c.responseCode >= 0) {
      EXPECT_EQ(out.responseCode, c.responseCode) << c.seed;
    }
    EXPECT_EQ(out.failureCode, c.failureCode) << c.seed;
    EXPECT_EQ(out.doneError, c.doneError) << c.seed;
    if (c.document != nullptr) {
      EXPECT_EQ(out.document, c.document) << c.seed;
    }
  }
}

}  // namespace
}  // namespace vantrel
