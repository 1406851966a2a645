// The component framework: ownership, streams, text helpers, string lists and the date type.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Component.h"
#include "DateTime.h"
#include "Exceptions.h"
#include "LeakCheck.h"
#include "Streams.h"
#include "StringList.h"
#include "TextUtils.h"

namespace vantrel {
namespace {

// Logs its destruction with whether the destroying mark was set at that moment.
class Probe : public TComponent {
 public:
  Probe(TComponent* owner, std::string name, std::vector<std::string>& log)
      : TComponent(owner), log_(log) {
    SetName(std::move(name));
  }
  ~Probe() override { log_.push_back(Name() + (Destroying() ? ":marked" : ":plain")); }

 protected:
  void Notification(TComponent* component, TOperation operation) override {
    log_.push_back(Name() + (operation == opInsert ? "+" : "-") + component->Name());
  }

 private:
  std::vector<std::string>& log_;
};

TEST(ComponentTest, OwnerDestroysWhatItOwnsAndMarksItFirst) {
  std::vector<std::string> log;
  auto root = std::make_unique<Probe>(nullptr, "root", log);
  auto* a = new Probe(root.get(), "a", log);  // owned by root
  auto* b = new Probe(a, "b", log);           // owned by a
  auto* c = new Probe(root.get(), "c", log);  // owned by root
  // The name is set after the owner's insertion notice, which therefore shows an empty name.
  EXPECT_EQ(log, (std::vector<std::string>{"root+", "a+", "root+"}));
  log.clear();

  EXPECT_EQ(root->Owner(), nullptr);
  EXPECT_EQ(a->Owner(), root.get());
  EXPECT_EQ(b->Owner(), a);
  ASSERT_EQ(root->ComponentCount(), 2);
  EXPECT_EQ(root->Components(0), a);
  EXPECT_EQ(root->Components(1), c);
  EXPECT_THROW(root->Components(2), std::out_of_range);

  // Destroyed alone: unmarked, and taken off its owner's list.
  delete c;
  EXPECT_EQ(log, (std::vector<std::string>{"c:plain", "root-c"}));
  ASSERT_EQ(root->ComponentCount(), 1);
  EXPECT_EQ(root->Components(0), a);
  log.clear();

  // Destroyed with the owner: every owned component, however deep, sees the mark.
  root.reset();
  EXPECT_EQ(log, (std::vector<std::string>{"root:plain", "a:marked", "b:marked"}));
}

// A private folder for file tests, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vantrel-fw-XXXXXX";
    path_ = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TempDir() {
    for (const auto& f : files_) ::unlink(f.c_str());
    if (!path_.empty()) ::rmdir(path_.c_str());
  }
  std::string File(const std::string& name) {
    files_.push_back(path_ + "/" + name);
    return files_.back();
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

std::string ReadAll(TStream& s) {
  std::string out(static_cast<std::size_t>(s.Size()), '\0');
  s.SetPosition(0);
  s.ReadBuffer(out.data(), static_cast<std::int64_t>(out.size()));
  return out;
}

TEST(StreamTest, FileStreamCreatesTruncatesReadsSeeksAndCloses) {
  int descriptors = test::OpenDescriptorCount();
  TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  std::string name = dir.File("data.bin");
  {
    TFileStream f(name, fmCreate);
    EXPECT_EQ(f.FileName(), name);
    EXPECT_EQ(test::OpenDescriptorCount(), descriptors + 1);
    f.WriteBuffer("hello world", 11);
    EXPECT_EQ(f.Size(), 11);
    EXPECT_EQ(f.Position(), 11);  // Size() leaves the position alone
    f.SetPosition(0);
    char buf[16] = {};
    EXPECT_EQ(f.Read(buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(f.Seek(-5, soEnd), 6);
    EXPECT_EQ(f.Read(buf, 16), 5);
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(f.Read(buf, 16), 0);
    EXPECT_EQ(f.Seek(-3, soCurrent), 8);
    try {
      f.ReadBuffer(buf, 4);
      ADD_FAILURE() << "reading past the end must fail";
    } catch (const EInOutError& e) {
      EXPECT_STREQ(e.what(), "Stream read error");
    }
    f.SetSize(5);
    EXPECT_EQ(f.Size(), 5);
    EXPECT_EQ(f.Position(), 5);
  }
  EXPECT_EQ(test::OpenDescriptorCount(), descriptors);
  EXPECT_TRUE(FileExists(name));
  {
    TFileStream f(name, fmOpenReadWrite);
    EXPECT_EQ(ReadAll(f), "hello");
    f.SetPosition(1);
    f.WriteBuffer("EL", 2);
    EXPECT_EQ(ReadAll(f), "hELlo");
  }
  {
    TFileStream f(name, fmOpenRead);
    EXPECT_EQ(f.Size(), 5);
    try {
      f.WriteBuffer("x", 1);
      ADD_FAILURE() << "a read-only stream must refuse writes";
    } catch (const EInOutError& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot write file \"" + name + "\". Bad file descriptor");
    }
  }
  {
    TFileStream f(name, fmCreate);  // an existing file is emptied
    EXPECT_EQ(f.Size(), 0);
  }
  {
    TFileStream f(name, fmOpenWrite);
    f.WriteBuffer("ab", 2);
  }
  {
    TFileStream f(name, fmOpenRead);
    EXPECT_EQ(ReadAll(f), "ab");
  }
  EXPECT_FALSE(FileExists(dir.Path()));  // a folder is not a file
  EXPECT_TRUE(DeleteFile(name));
  EXPECT_FALSE(FileExists(name));
  EXPECT_FALSE(DeleteFile(name));
  EXPECT_EQ(test::OpenDescriptorCount(), descriptors);
}

TEST(StreamTest, FileStreamErrorsNameTheFileAndTheReason) {
  int descriptors = test::OpenDescriptorCount();
  TempDir dir;
  std::string inMissingDir = dir.Path() + "/no/such/dir/x.gif";
  try {
    TFileStream f(inMissingDir, fmCreate);
    ADD_FAILURE() << "created a file in a missing folder";
  } catch (const EInOutError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot create file \"" + inMissingDir + "\". No such file or directory");
  }
  std::string missing = dir.Path() + "/missing.gif";
  try {
    TFileStream f(missing, fmOpenRead);
    ADD_FAILURE() << "opened a missing file";
  } catch (const EInOutError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot open file \"" + missing + "\". No such file or directory");
  }
  EXPECT_FALSE(FileExists(missing));
  // Exception is the family's base, so one handler catches every stream failure.
  EXPECT_THROW(TFileStream(dir.Path(), fmOpenWrite), Exception);
  EXPECT_EQ(test::OpenDescriptorCount(), descriptors);
}

TEST(StreamTest, MemoryStreamGrowsReadsAndSeeks) {
  TMemoryStream m;
  EXPECT_EQ(m.Size(), 0);
  char buf[8] = {};
  EXPECT_EQ(m.Read(buf, 8), 0);
  m.WriteBuffer("abcdef", 6);
  EXPECT_EQ(m.Position(), 6);
  EXPECT_EQ(m.AsString(), "abcdef");
  EXPECT_EQ(m.Seek(2, soBeginning), 2);
  m.WriteBuffer("XY", 2);
  EXPECT_EQ(m.AsString(), "abXYef");
  EXPECT_EQ(m.Read(buf, 8), 2);
  EXPECT_EQ(std::string(buf, 2), "ef");
  EXPECT_EQ(m.Seek(-4, soEnd), 2);
  EXPECT_EQ(m.Seek(1, soCurrent), 3);
  EXPECT_THROW(m.Seek(-1, soBeginning), EInOutError);
  EXPECT_EQ(m.Position(), 3);
  // Writing past the end fills the gap with zero bytes.
  m.Seek(8, soBeginning);
  m.WriteBuffer("Z", 1);
  EXPECT_EQ(m.AsString(), std::string("abXYef\0\0Z", 9));
  EXPECT_EQ(std::string(m.Memory(), 2), "ab");
  m.SetSize(3);
  EXPECT_EQ(m.Position(), 3);
  EXPECT_EQ(m.AsString(), "abX");
  EXPECT_THROW(m.ReadBuffer(buf, 1), EInOutError);
  m.Clear();
  EXPECT_EQ(m.Size(), 0);
  EXPECT_EQ(m.Position(), 0);
}

TEST(TextTest, StrToIntAcceptsOnlyASignedDecimalThatFits) {
  EXPECT_EQ(StrToInt("0"), 0);
  EXPECT_EQ(StrToInt("80"), 80);
  EXPECT_EQ(StrToInt("+7"), 7);
  EXPECT_EQ(StrToInt("-45"), -45);
  EXPECT_EQ(StrToInt("007"), 7);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
  for (std::string bad : {"", " 1", "1 ", "12a", "-", "+", "--1", "0x10", "2147483648",
                          "-2147483649", "99999999999999999999", "1.5"}) {
    try {
      StrToInt(bad);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + bad + "' is not a valid integer value");
      EXPECT_EQ(e.Message(), e.what());
    }
  }
}

TEST(TextTest, StrToInt64AndAsciiCaseFolding) {
  EXPECT_EQ(StrToInt64("9223372036854775807"), 9223372036854775807LL);
  EXPECT_EQ(StrToInt64("-9223372036854775807"), -9223372036854775807LL);
  EXPECT_EQ(StrToInt64("4294967296"), 4294967296LL);  // past every 32-bit limit
  for (std::string bad : {"9223372036854775808", "-9223372036854775809", "", "+", "1 "})
    EXPECT_THROW(StrToInt64(bad), EConvertError) << "accepted '" << bad << "'";

  // Only A-Z fold: bytes of a UTF-8 sequence and Latin-1 letters pass unchanged.
  EXPECT_EQ(LowerCase("TCP Host-Name@Z"), "tcp host-name@z");
  EXPECT_EQ(LowerCase("\xC3\x84\xC4\xDE["), "\xC3\x84\xC4\xDE[");
  EXPECT_TRUE(SameText("Content-LENGTH", "content-length"));
  EXPECT_FALSE(SameText("\xC4", "\xE4"));
  EXPECT_FALSE(SameText("abc", "abcd"));
  EXPECT_FALSE(SameText("a[", "a{"));  // '[' and '{' differ by the case bit, but are no letters
}

TEST(TextTest, FormatIntToStrAndTrim) {
  EXPECT_EQ(Format("%s-%05d|%c", "port", 42, 'x'), "port-00042|x");
  EXPECT_EQ(Format("%s", ""), "");
  std::string longText(5000, 'q');
  EXPECT_EQ(Format("<%s>", longText.c_str()), "<" + longText + ">");
  EXPECT_EQ(IntToStr(0), "0");
  EXPECT_EQ(IntToStr(-9223372036854775807LL - 1), "-9223372036854775808");
  EXPECT_EQ(Trim("  \t a b \r\n"), "a b");
  EXPECT_EQ(Trim(std::string("\x01\x20\0", 3)), "");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(Trim("\xA0x\xA0"), "\xA0x\xA0");  // only bytes up to 0x20 are blanks
}

TEST(TextTest, StringListFindsExactEntriesAndJoinsLines) {
  TStringList list;
  EXPECT_EQ(list.Text(), "");
  EXPECT_EQ(list.IndexOf("a"), -1);
  list.Add("127.0.0.1");
  list.Add("");
  list.Add("Host");
  EXPECT_EQ(list.IndexOf("Host"), 2);
  EXPECT_EQ(list.IndexOf(""), 1);
  EXPECT_EQ(list.IndexOf("host"), -1);
  EXPECT_EQ(list.IndexOf("127.0.0"), -1);
  EXPECT_EQ(list.Text(), "127.0.0.1\r\n\r\nHost\r\n");
  list.Delete(1);
  EXPECT_EQ(list.IndexOf("Host"), 1);
}

TEST(DateTimeTest, KnownDatesAndWeekDays) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_EQ(DayOfWeek(EncodeDate(2000, 1, 1)), 7);  // Saturday
  EXPECT_EQ(DayOfWeek(EncodeDate(1899, 12, 31)), 1);

  TDateTime v = EncodeDate(2026, 12, 7) + EncodeTime(22, 5, 9, 999);
  int y, mo, d, h, mi, s, ms;
  DecodeDate(v, y, mo, d);
  DecodeTime(v, h, mi, s, ms);
  EXPECT_EQ((std::vector<int>{y, mo, d, h, mi, s, ms}),
            (std::vector<int>{2026, 12, 7, 22, 5, 9, 999}));
  EXPECT_EQ(DayOfWeek(v), 2);  // Monday

  // The last millisecond of a day stays in that day.
  v = EncodeDate(2024, 2, 29) + EncodeTime(23, 59, 59, 999);
  DecodeDate(v, y, mo, d);
  DecodeTime(v, h, mi, s, ms);
  EXPECT_EQ((std::vector<int>{y, mo, d, h, mi, s, ms}),
            (std::vector<int>{2024, 2, 29, 23, 59, 59, 999}));

  // Before day 0 a date plus a time of day decodes back to both.
  v = EncodeDate(1899, 12, 29) + EncodeTime(6, 0, 0, 0);
  EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
  DecodeDate(v, y, mo, d);
  DecodeTime(v, h, mi, s, ms);
  EXPECT_EQ((std::vector<int>{y, mo, d, h, mi, s, ms}),
            (std::vector<int>{1899, 12, 29, 6, 0, 0, 0}));
  EXPECT_EQ(DayOfWeek(v), 6);  // Friday
}

TEST(DateTimeTest, EncodeAndDecodeRoundTrip) {
  int mismatches = 0;
  for (int year : {1, 1600, 1752, 1899, 1900, 1970, 2000, 2023, 2024, 2100, 9999}) {
    for (int month = 1; month <= 12; ++month) {
      for (int day : {1, 15, 28, 29, 30, 31}) {
        TDateTime v = 0;
        try {
          v = EncodeDate(year, month, day);
        } catch (const EConvertError& e) {
          bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
          int last = month == 2 ? (leap ? 29 : 28)
                                : (month == 4 || month == 6 || month == 9 || month == 11 ? 30 : 31);
          EXPECT_GT(day, last) << year << "-" << month << "-" << day;
          EXPECT_STREQ(e.what(), "Invalid argument to date encode");
          continue;
        }
        int y, m, d;
        DecodeDate(v + EncodeTime(12, 0, 0, 1), y, m, d);
        mismatches += y != year || m != month || d != day;
      }
    }
  }
  // Consecutive days differ by one and weekdays cycle.
  TDateTime previous = EncodeDate(1999, 12, 31);
  EXPECT_EQ(EncodeDate(2000, 1, 1) - previous, 1.0);
  EXPECT_EQ(EncodeDate(2000, 3, 1) - EncodeDate(2000, 2, 28), 2.0);  // 2000 is leap
  EXPECT_EQ(EncodeDate(1900, 3, 1) - EncodeDate(1900, 2, 28), 1.0);  // 1900 is not

  for (int ms = 0; ms < 86400000; ms += 86400000 / 20011) {
    int hour = ms / 3600000, minute = ms / 60000 % 60, second = ms / 1000 % 60, milli = ms % 1000;
    TDateTime v = EncodeDate(2026, 12, 7) + EncodeTime(hour, minute, second, milli);
    int h, mi, s, m;
    DecodeTime(v, h, mi, s, m);
    mismatches += h != hour || mi != minute || s != second || m != milli;
  }
  EXPECT_EQ(mismatches, 0);

  EXPECT_THROW(EncodeDate(0, 1, 1), EConvertError);
  EXPECT_THROW(EncodeDate(2000, 13, 1), EConvertError);
  EXPECT_THROW(EncodeDate(2000, 1, 0), EConvertError);
  try {
    EncodeTime(24, 0, 0, 0);
    ADD_FAILURE() << "hour 24 accepted";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Invalid argument to time encode");
  }
  EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 0, 1000), EConvertError);
}

TEST(DateTimeTest, NowFollowsTheSystemClock) {
  std::time_t before = std::time(nullptr);
  TDateTime utc = NowUtc();
  TDateTime local = Now();
  std::time_t after = std::time(nullptr);
  // Unix time 0 is day 25569.
  EXPECT_GE(utc, before / 86400.0 + 25569.0 - 1.0 / 86400);
  EXPECT_LE(utc, after / 86400.0 + 25569.0 + 1.0 / 86400);
  std::tm parts{};
  localtime_r(&after, &parts);
  EXPECT_NEAR((local - utc) * 86400.0, static_cast<double>(parts.tm_gmtoff), 2.0);
}

}  // namespace
}  // namespace vantrel
