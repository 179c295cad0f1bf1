// Reading the engine's text fields: the "#" split of the release notes and bounded reads of fields that
// may lack their terminating NUL. The engine's record must come out unchanged.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ReleaseNotes.h"

namespace {

struct SplitCase {
  const char* text;
  std::vector<std::wstring> lines;
};

TEST(ReleaseNotes, SplitAtEveryHashWithoutEmptyLines) {
  const SplitCase cases[] = {
      {"a#b##c", {L"a", L"b", L"c"}},
      {"", {}},
      {"###", {}},
      {"#first#", {L"first"}},
      {"only one line", {L"only one line"}},
      {"修复崩溃#提升速度", {L"修复崩溃", L"提升速度"}},
      {"1#2#3#4#5#6#7", {L"1", L"2", L"3", L"4", L"5", L"6", L"7"}},
  };
  for (const SplitCase& c : cases) {
    char field[500] = {};
    std::strncpy(field, c.text, sizeof field - 1);
    char before[sizeof field];
    std::memcpy(before, field, sizeof field);
    EXPECT_EQ(tavrin::SplitReleaseNotes(field, sizeof field), c.lines) << c.text;
    EXPECT_EQ(std::memcmp(before, field, sizeof field), 0) << "the record was written: " << c.text;
  }
}

TEST(ReleaseNotes, UnterminatedFieldsStopAtTheirSize) {
  // A field filled to the last byte followed by more text: only the field's own bytes are read.
  struct {
    char notes[8];
    char next[8];
  } record;
  std::memcpy(record.notes, "ab#cd#ef", 8);
  std::memcpy(record.next, "#XYZ\0\0\0", 8);
  EXPECT_EQ(tavrin::SplitReleaseNotes(record.notes, sizeof record.notes),
            (std::vector<std::wstring>{L"ab", L"cd", L"ef"}));
  EXPECT_EQ(tavrin::FieldText(record.notes, sizeof record.notes), L"ab#cd#ef");
  EXPECT_EQ(tavrin::FieldText(nullptr, 10), L"");
  EXPECT_TRUE(tavrin::SplitReleaseNotes(nullptr, 10).empty());
}

TEST(ReleaseNotes, InvalidBytesBecomeReplacementCharacters) {
  const char field[] = "ok\xff#\xe4\xbd";
  EXPECT_EQ(tavrin::SplitReleaseNotes(field, sizeof field), (std::vector<std::wstring>{L"ok\uFFFD", L"\uFFFD\uFFFD"}));
}

}  // namespace
