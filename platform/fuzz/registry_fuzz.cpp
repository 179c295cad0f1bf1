// The registry's parser on any text, for both roots: it must never crash, and what it keeps must hang
// together: every key enumerated opens, every key's values are found by their names, and the keys stand in
// preorder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "registry_hive.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// Walks the tree from the root: at most budget keys, no deeper than depth levels (each level costs its
// whole path again).
void Walk(const qelplat::CRegHive& hive, const std::string& path, size_t depth, size_t* budget) {
  if (*budget == 0 || depth == 0) return;
  --*budget;
  size_t at = 0;
  bool entry = false;
  Check(hive.Find(path, &at, &entry));
  if (entry) {
    const qelplat::TRegKeyEntry& key = hive.keys[at];
    for (uint32_t i = key.valueBegin; i < key.valueBegin + key.valueCount; ++i) {
      const qelplat::TRegValueEntry* found = hive.FindValue(at, hive.Name(hive.values[i]));
      Check(found == &hive.values[i]);
      Check(hive.Data(*found).size() == found->dataLength);
    }
  }
  std::vector<qelplat::TRegName> children = hive.Children(path, at, entry);
  for (size_t i = 0; i < children.size(); ++i) {
    std::string_view name = hive.Text(children[i].offset, children[i].length);
    Check(!name.empty() && name.find('\\') == std::string_view::npos);
    Walk(hive, path.empty() ? std::string(name) : path + "\\" + std::string(name), depth - 1, budget);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    qelplat::CRegHiveBuilder builder("fuzz", root, nullptr);
    builder.Parse(text);
    std::shared_ptr<const qelplat::CRegHive> hive = builder.Finish();
    for (size_t i = 1; i < hive->keys.size(); ++i)
      Check(hive->Path(hive->keys[i - 1]) != hive->Path(hive->keys[i]));
    size_t budget = 500;
    Walk(*hive, "", 40, &budget);
  }
  return 0;
}
