// Skins of any shape: building, laying out and hit testing the controls must never crash or hang.
// Input starting with '<' is taken as XML text; anything else is read as a recipe of elements and
// attributes drawn from the skin vocabulary, which reaches the layout code far faster than raw bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "UIlib.h"
#include "qelplat/codepage.h"

namespace {

const char* const kTags[] = {"Control", "Container", "VerticalLayout", "HorizontalLayout", "Label",
                             "Text",    "Button",    "Option",         "Font",             "Mystery"};
const char* const kAttrs[] = {"name",    "text",   "width",     "height",   "float",       "pos",
                              "padding", "inset",  "childpadding", "bkcolor", "textcolor", "font",
                              "align",   "visible", "bordersize", "size",    "caption",   "roundcorner"};
const char* const kValues[] = {"0",          "-5",   "1000000", "1,2,3,4",  "-1,-1,-1,-1", "#FF112233",
                               "0x12",       "true", "center",  "okbtn",    "",            "99999999999999999999",
                               "2147483647,0,-2147483648,5", "#12", "300,200", "-300,-200"};

template <size_t N>
const char* Pick(const char* const (&table)[N], uint8_t b) {
  return table[b % N];
}

std::string Recipe(const uint8_t* data, size_t size) {
  std::string xml = "<Window";
  std::vector<std::string> open;
  bool inTag = true;
  for (size_t i = 0; i + 1 < size; i += 2) {
    uint8_t op = data[i] % 3;
    uint8_t arg = data[i + 1];
    if (op == 0) {  // attribute on the element being opened
      if (!inTag) continue;
      xml += std::string(" ") + Pick(kAttrs, arg) + "=\"" + Pick(kValues, static_cast<uint8_t>(arg >> 3)) + "\"";
    } else if (op == 1) {  // open a child
      if (inTag) xml += ">";
      std::string tag = Pick(kTags, arg);
      xml += "<" + tag;
      open.push_back(tag);
      inTag = true;
    } else if (!open.empty()) {  // close the innermost
      xml += inTag ? "/>" : "</" + open.back() + ">";
      open.pop_back();
      inTag = false;
    }
  }
  if (inTag) xml += ">";
  while (!open.empty()) {
    xml += "</" + open.back() + ">";
    open.pop_back();
  }
  return xml + "</Window>";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  std::string text = size && data[0] == '<' ? std::string(reinterpret_cast<const char*>(data), size)
                                            : Recipe(data, size);
  std::wstring xml = qelplat::Utf8ToWide(text);
  UiLib::CPaintManagerUI manager;
  UiLib::CDialogBuilder builder;
  UiLib::CControlUI* root = builder.Create(xml.c_str(), nullptr, nullptr, &manager, nullptr);
  if (!root) return 0;
  manager.AttachDialog(root);
  root->SetPos(RECT{0, 0, 400, 300});
  for (LONG y = -10; y < 320; y += 37)
    for (LONG x = -10; x < 420; x += 41) manager.FindControl(POINT{x, y});
  manager.FindControl(L"okbtn");
  return 0;
}
