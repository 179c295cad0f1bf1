#include "qelplat/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

class Registry : public ::testing::Test {
 protected:
  Registry() : guard("QEL_REGISTRY_DIR", dir.path().c_str()) {}
  void User(const std::string& text) { qeltest::WriteFile(dir.file("HKEY_CURRENT_USER.reg"), text); }

  std::vector<std::string> SubKeys(HKEY root, const char* path) {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    for (DWORD i = 0;; ++i) {
      char name[500];
      DWORD size = sizeof name;
      if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      names.push_back(std::string(name, size));
    }
    RegCloseKey(key);
    return names;
  }

  LONG Query(const char* path, const char* value, std::string* out, DWORD* type = nullptr, DWORD room = 500) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<char> buffer(room ? room : 1);
    DWORD size = room;
    rc = RegQueryValueExA(key, value, nullptr, type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    if (rc == ERROR_SUCCESS) out->assign(buffer.data(), size);
    if (rc == ERROR_MORE_DATA) *out = std::to_string(size);
    RegCloseKey(key);
    return rc;
  }

  qeltest::TempDir dir;
  qeltest::EnvGuard guard;
};

const char kSample[] =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; products of the test\r\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\r\n"
    "\"server\"=\"http://127.0.0.1:8080/checkVersionInfo.html?a=\\\"b\\\"&c=\\\\d\"\r\n"
    "\"check_timespan\"=\"15\"\r\n"
    "\"count\"=dword:0000002a\r\n"
    "@=\"default\"\r\n"
    "\"blob\"=hex:01,02,\\\r\n"
    "  03,ff\r\n"
    "\"expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
    "this line is garbage\r\n"
    "\"bad\"=dword:xyz\r\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin\\ProductList\\p2]\r\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin\\ProductList\\P1]\r\n"
    "\"Code\"=\"产品\"\r\n"
    "[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin\\ProductList\\P3]\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Elsewhere]\r\n"
    "\"x\"=\"y\"\r\n";

TEST_F(Registry, ValuesOfEveryKindReadAsWindowsReturnsThem) {
  User(kSample);
  std::string out;
  DWORD type = 0;
  ASSERT_EQ(Query("SOFTWARE\\Tavrin", "server", &out, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(out, std::string("http://127.0.0.1:8080/checkVersionInfo.html?a=\"b\"&c=\\d") + '\0');
  ASSERT_EQ(Query("software\\TAVRIN", "COUNT", &out, &type), ERROR_SUCCESS) << "names are case-insensitive";
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(out, std::string("\x2a\0\0\0", 4));
  ASSERT_EQ(Query("SOFTWARE\\Tavrin", "", &out), ERROR_SUCCESS);
  EXPECT_EQ(out, std::string("default") + '\0');
  ASSERT_EQ(Query("SOFTWARE\\Tavrin", "blob", &out, &type), ERROR_SUCCESS);
  EXPECT_EQ(out, std::string("\x01\x02\x03\xff", 4)) << "continued hex lines join";
  ASSERT_EQ(Query("SOFTWARE\\Tavrin", "expand", &out, &type), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(out, std::string("%A%") + '\0') << "UTF-16 text of a version 5 file";
  ASSERT_EQ(Query("SOFTWARE\\Tavrin\\ProductList\\P1", "code", &out), ERROR_SUCCESS);
  EXPECT_EQ(out, std::string("产品") + '\0');
  EXPECT_EQ(Query("SOFTWARE\\Tavrin", "bad", &out), ERROR_FILE_NOT_FOUND) << "malformed data is skipped";
  EXPECT_EQ(Query("SOFTWARE\\Tavrin", "missing", &out), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Query("SOFTWARE\\Nothing", "server", &out), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Query("SOFTWARE\\Tavrin", "server", &out, nullptr, 10), ERROR_MORE_DATA);
  EXPECT_EQ(out, "55") << "the size needed, NUL included";
}

TEST_F(Registry, SubKeysEnumerateSortedWithoutCaseAndStopAtTheEnd) {
  User(kSample);
  EXPECT_EQ(SubKeys(HKEY_CURRENT_USER, "SOFTWARE\\Tavrin\\ProductList"),
            (std::vector<std::string>{"P1", "p2", "P3"}));
  EXPECT_EQ(SubKeys(HKEY_CURRENT_USER, ""), (std::vector<std::string>{"SOFTWARE"}));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Tavrin\\ProductList", 0, KEY_READ, &key), ERROR_SUCCESS);
  char small[2];
  DWORD size = sizeof small;
  EXPECT_EQ(RegEnumKeyExA(key, 0, small, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  char name[10];
  size = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(key, 3, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  HKEY sub = nullptr;
  ASSERT_EQ(RegOpenKeyExA(key, "p1", 0, KEY_READ, &sub), ERROR_SUCCESS) << "opens below an open key";
  EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(SubKeys(HKEY_LOCAL_MACHINE, "SOFTWARE\\Elsewhere").empty()) << "a key of another root is skipped";
}

TEST_F(Registry, EditsActAtTheNextOpenAndAMissingFileIsNotFound) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  User("REGEDIT4\n[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\n\"server\"=\"one\"\n");
  std::string out;
  ASSERT_EQ(Query("SOFTWARE\\Tavrin", "server", &out), ERROR_SUCCESS);
  EXPECT_EQ(out, std::string("one") + '\0');
  User("REGEDIT4\n[HKEY_CURRENT_USER\\SOFTWARE\\Tavrin]\n\"server\"=\"two\"\n");
  ASSERT_EQ(Query("SOFTWARE\\Tavrin", "server", &out), ERROR_SUCCESS);
  EXPECT_EQ(out, std::string("two") + '\0');
}

TEST_F(Registry, Utf16FileWithBomIsRead) {
  std::u16string text = u"\xFEFFWindows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\A]\r\n\"n\"=\"版本\"\r\n";
  qeltest::WriteFile(dir.file("HKEY_CURRENT_USER.reg"),
                     std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2));
  std::string out;
  ASSERT_EQ(Query("A", "n", &out), ERROR_SUCCESS);
  EXPECT_EQ(out, std::string("版本") + '\0');
}

TEST_F(Registry, AllAccessNeedsAWritableFileAndReadNeedsAReadableOne) {
  User(kSample);
  // Checked in a child as an unprivileged user when running as root, since root may write anything.
  std::string prefix = getuid() == 0 ? "setpriv --reuid=nobody --regid=nogroup --clear-groups " : "";
  qeltest::RunCommand("chmod 755 " + dir.path() + " && chmod 444 " + dir.file("HKEY_CURRENT_USER.reg"));
  HKEY key = nullptr;
  if (getuid() != 0) {
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Tavrin", 0, KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Tavrin", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
  } else {
    std::string out;
    std::string cmd = prefix + "test -w " + dir.file("HKEY_CURRENT_USER.reg") + "; echo $?";
    qeltest::RunCommand(cmd, &out);
    EXPECT_EQ(out, "1\n") << "the stand-in's rule is the file's write permission for the user";
  }
  qeltest::RunCommand("chmod 000 " + dir.file("HKEY_CURRENT_USER.reg"));
  if (getuid() != 0) {
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Tavrin", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
  }
}

TEST_F(Registry, NetworkCardsAreAReadOnlyViewOfTheInterfaces) {
  HKEY key = nullptr;
  const char* path = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  for (const std::string& sub : SubKeys(HKEY_LOCAL_MACHINE, path)) {
    std::string full = std::string(path) + "\\" + sub;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, full.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    char name[260];
    DWORD size = sizeof name;
    ASSERT_EQ(RegQueryValueExA(key, "ServiceName", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size),
              ERROR_SUCCESS);
    EXPECT_NE(std::string(name), "lo");
    RegCloseKey(key);
  }
}

TEST_F(Registry, DefaultFilesFollowTheUserAndTheMachine) {
  qeltest::EnvGuard none("QEL_REGISTRY_DIR", nullptr);
  qeltest::EnvGuard config("XDG_CONFIG_HOME", "/cfg");
  EXPECT_EQ(qelplat::RegistryFileOf(HKEY_CURRENT_USER), "/cfg/qel/registry/HKEY_CURRENT_USER.reg");
  EXPECT_EQ(qelplat::RegistryFileOf(HKEY_LOCAL_MACHINE), "/etc/qel/registry/HKEY_LOCAL_MACHINE.reg");
}

}  // namespace
