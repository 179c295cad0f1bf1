// A prompt that cannot be shown for want of a display is said in the log, once for each update offered,
// however often the product's checks offer it again.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "UpdatePrompt.h"
#include "test_support.h"

namespace {

struct Recorder : QEL::CLogWriter {
  std::vector<std::pair<QEL::ELogLevel, std::string>>* seen;
  explicit Recorder(std::vector<std::pair<QEL::ELogLevel, std::string>>* s) : seen(s) {}
  int Write(QEL::ELogLevel level, const char* text) override {
    seen->emplace_back(level, text);
    return -1;
  }
};

TEST(PromptWithoutDisplay, EachUpdateThatCannotBeShownIsSaidOnce) {
  qeltest::EnvGuard display("DISPLAY", nullptr);
  std::vector<std::pair<QEL::ELogLevel, std::string>> seen;
  tavrin::ClientLog().SetWriter(new Recorder(&seen));
  tavrin::TUpdatePrompt prompt;
  prompt.productName = L"写字板";
  prompt.oldVersion = L"1.0";
  prompt.newVersion = L"1.2";
  prompt.lines = {L"note"};
  for (int check = 0; check < 3; ++check) EXPECT_EQ(tavrin::ShowUpdatePrompt(prompt), 0u);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, QEL::WARN);
  EXPECT_EQ(seen[0].second, "没有可用的显示，无法显示升级提示：产品名称：写字板，版本：1.0->1.2");
  prompt.newVersion = L"1.3";
  EXPECT_EQ(tavrin::ShowUpdatePrompt(prompt), 0u);
  ASSERT_EQ(seen.size(), 2u) << "a newer update is said again";
  EXPECT_EQ(seen[1].second, "没有可用的显示，无法显示升级提示：产品名称：写字板，版本：1.0->1.3");
  tavrin::ClientLog().SetWriter(nullptr);
}

}  // namespace
