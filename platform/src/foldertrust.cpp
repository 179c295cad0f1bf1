#include "qelplat/foldertrust.h"

#include <cstdio>
#include <cstring>

namespace qelplat {
namespace {

// {at} stands for the folder at fault on the way, {owner} and {mode} for what is there, {error} for the
// error number.
struct TTrustWords {
  EFolderTrust trust;
  const char* english;
  const char* chinese;
  // Said instead when the fault lies on the way (at is given); null when it never does.
  const char* englishOnTheWay;
  const char* chineseOnTheWay;
};

const TTrustWords kWords[] = {
    {FOLDER_PRIVATE, "is usable", "", nullptr, nullptr},
    {FOLDER_MISSING, "is missing or cannot be examined", "目录不存在或无法读取", nullptr, nullptr},
    {FOLDER_NOT_A_FOLDER, "is not a real folder (a symbolic link or a file of another kind)",
     "不是真实的目录（符号链接或其他文件）", "goes through {at}, which is not a real folder",
     "上级目录{at}不是真实的目录"},
    {FOLDER_LINK_LOOP, "leads through more symbolic links than the system follows (a loop)",
     "路径上的符号链接过多（循环链接）", nullptr, nullptr},
    {FOLDER_FOREIGN, "belongs to another user (uid {owner})", "目录属于其他用户（用户号{owner}）", nullptr, nullptr},
    {FOLDER_SHARED, "may be written by others (mode {mode})", "组或其他用户可写（权限{mode}）", nullptr, nullptr},
    {FOLDER_OPEN_ABOVE, "lies below {at}, in which others may rename (uid {owner}, mode {mode})",
     "上级目录{at}可被其他用户改名或替换（用户号{owner}，权限{mode}）", nullptr, nullptr},
    {FOLDER_READ_ONLY, "cannot be written to", "目录不可写", nullptr, nullptr},
    {FOLDER_NOT_MADE, "cannot be made (error {error})", "无法创建，错误代码：{error}", nullptr, nullptr},
};

std::string Field(const std::string& name, const TFolderTrust& why) {
  char number[16];
  if (name == "at") return why.at;
  if (name == "owner") snprintf(number, sizeof number, "%u", why.owner);
  else if (name == "mode") snprintf(number, sizeof number, "%04o", why.mode);
  else if (name == "error") snprintf(number, sizeof number, "%u", static_cast<unsigned>(why.error));
  else return "{" + name + "}";
  return number;
}

std::string Filled(const char* text, const TFolderTrust& why) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    const char* close = *p == '{' ? strchr(p, '}') : nullptr;
    if (!close) {
      out += *p;
      continue;
    }
    out += Field(std::string(p + 1, close), why);
    p = close;
  }
  return out;
}

}  // namespace

std::string DescribeFolderTrust(const TFolderTrust& why, ETrustWords words) {
  for (const TTrustWords& row : kWords) {
    if (row.trust != why.trust) continue;
    const bool onTheWay = !why.at.empty() && row.englishOnTheWay;
    if (words == TRUST_IN_ENGLISH) return Filled(onTheWay ? row.englishOnTheWay : row.english, why);
    return Filled(onTheWay ? row.chineseOnTheWay : row.chinese, why);
  }
  return words == TRUST_IN_ENGLISH ? "cannot be used" : "未知原因";
}

}  // namespace qelplat
