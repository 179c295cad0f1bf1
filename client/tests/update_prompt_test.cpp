// Texts and mode of the prompt taken from the engine's records (fields by name and size, as the records
// lay them out): update type 1 is forced, anything else optional; every text bounded by its field.
#include <gtest/gtest.h>

#include <cstring>

#include "UpdatePrompt.h"

namespace {

struct FakeUpdate {
  char new_version[32];
  char update_time[32];
  char update_description[500];
  int update_type;
};

struct FakeProduct {
  char name[64];
  char current_version[32];
};

TEST(UpdatePrompt, TextsAndModeComeFromTheRecords) {
  struct Case {
    int updateType;
    int mode;
  } cases[] = {{1, 0}, {0, 1}, {2, 1}, {-1, 1}};
  for (const Case& c : cases) {
    FakeProduct product{};
    FakeUpdate update{};
    std::strcpy(product.name, "写字板");
    std::strcpy(product.current_version, "1.0.0");
    std::strcpy(update.new_version, "1.2.0");
    std::strcpy(update.update_time, "2026-12-01");
    std::strcpy(update.update_description, "a#b##c");
    update.update_type = c.updateType;
    tavrin::TUpdatePrompt prompt = tavrin::PromptFromRecords(product, update);
    EXPECT_EQ(prompt.mode, c.mode) << "update_type " << c.updateType;
    EXPECT_EQ(prompt.productName, L"写字板");
    EXPECT_EQ(prompt.oldVersion, L"1.0.0");
    EXPECT_EQ(prompt.newVersion, L"1.2.0");
    EXPECT_EQ(prompt.updateTime, L"2026-12-01");
    EXPECT_EQ(prompt.lines, (std::vector<std::wstring>{L"a", L"b", L"c"}));
    EXPECT_STREQ(update.update_description, "a#b##c");
  }
}

TEST(UpdatePrompt, FullFieldsAreReadWithinTheirSize) {
  FakeProduct product;
  FakeUpdate update;
  std::memset(&product, 'x', sizeof product);
  std::memset(&update, 'y', sizeof update);
  update.update_type = 0;
  tavrin::TUpdatePrompt prompt = tavrin::PromptFromRecords(product, update);
  EXPECT_EQ(prompt.productName, std::wstring(sizeof product.name, L'x'));
  EXPECT_EQ(prompt.oldVersion, std::wstring(sizeof product.current_version, L'x'));
  EXPECT_EQ(prompt.newVersion, std::wstring(sizeof update.new_version, L'y'));
  ASSERT_EQ(prompt.lines.size(), 1u);
  EXPECT_EQ(prompt.lines[0].size(), sizeof update.update_description);
}

}  // namespace
