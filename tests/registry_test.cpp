// The registry service as Tessaro uses it. The same tests run against our
// file registry on Linux and the real registry under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "platform/services.h"
#include "tests/support/test_support.h"

#ifndef _WIN32
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/linux/file_registry.h"
#include "platform/linux/paths.h"
#endif

using namespace testing_support;

namespace {

const WCHAR* const kKey = WSTR("Software\\Norvane\\RegistryTest");

LONG Query(HKEY key, const WCHAR* name, DWORD& type, std::vector<BYTE>& data) {
  DWORD size = 0;
  LONG rc = plat::Registry().RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  if (rc != ERROR_SUCCESS) return rc;
  data.assign(size, 0);
  return plat::Registry().RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
}

}  // namespace

TEST(Registry, ValuesKeepTheirTypesAndSizes) {
  TestRegistry registry;
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(ERROR_SUCCESS, plat::Registry().RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                            nullptr, &key, &disposition));
  EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
  SetRegDword(kKey, WSTR("Flags"), 0x0800000F);
  SetRegString(kKey, WSTR("Dir"), WSTR("C:\\logs \"quoted\""));
  SetRegString(kKey, WSTR("Expand"), WSTR("%TEMP%\\x"), REG_EXPAND_SZ);
  const BYTE blob[] = {0, 1, 2, 0xFF};
  ASSERT_EQ(ERROR_SUCCESS, plat::Registry().RegSetValueExW(key, WSTR("Blob"), 0, REG_BINARY, blob, 4));

  DWORD type = 0;
  std::vector<BYTE> data;
  ASSERT_EQ(ERROR_SUCCESS, Query(key, WSTR("flags"), type, data));  // names ignore case
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
  ASSERT_EQ(4u, data.size());
  EXPECT_EQ(0x0Fu, data[0]);
  EXPECT_EQ(0x08u, data[3]);
  ASSERT_EQ(ERROR_SUCCESS, Query(key, WSTR("Dir"), type, data));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ((wstr::Len(WSTR("C:\\logs \"quoted\"")) + 1) * sizeof(WCHAR), data.size());
  ASSERT_EQ(ERROR_SUCCESS, Query(key, WSTR("Expand"), type, data));
  EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
  ASSERT_EQ(ERROR_SUCCESS, Query(key, WSTR("Blob"), type, data));
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
  EXPECT_EQ(std::vector<BYTE>(blob, blob + 4), data);

  // Too small a buffer: ERROR_MORE_DATA and the size needed.
  BYTE small[2];
  DWORD size = sizeof small;
  EXPECT_EQ(ERROR_MORE_DATA, plat::Registry().RegQueryValueExW(key, WSTR("Flags"), nullptr, &type, small, &size));
  EXPECT_EQ(4u, size);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Query(key, WSTR("Missing"), type, data));
  EXPECT_EQ(ERROR_SUCCESS, plat::Registry().RegDeleteValueW(key, WSTR("Blob")));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Query(key, WSTR("Blob"), type, data));
  plat::Registry().RegCloseKey(key);

  WString text;
  ASSERT_TRUE(ReadRegString(kKey, WSTR("Dir"), text));
  EXPECT_EQ("C:\\logs \"quoted\"", U8(text));
}

TEST(Registry, KeysOpenOnlyWhenPresentAndEnumerateTheirChildren) {
  TestRegistry registry;
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, plat::Registry().RegOpenKeyW(HKEY_CURRENT_USER, kKey, &key));
  SetRegDword(WSTR("Software\\Norvane\\RegistryTest\\B\\Deep"), WSTR("x"), 1);
  SetRegDword(WSTR("Software\\Norvane\\RegistryTest\\A"), WSTR("x"), 1);
  ASSERT_EQ(ERROR_SUCCESS, plat::Registry().RegOpenKeyW(HKEY_CURRENT_USER, WSTR("SOFTWARE\\norvane\\registrytest"), &key));
  std::vector<std::string> children;
  for (DWORD i = 0;; ++i) {
    WCHAR name[64];
    DWORD size = 64;
    if (plat::Registry().RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.push_back(U8(name));
  }
  EXPECT_EQ((std::vector<std::string>{"A", "B"}), children);
  // A key with sub keys is not deleted; an empty one is.
  EXPECT_NE(ERROR_SUCCESS, plat::Registry().RegDeleteKeyW(key, WSTR("B")));
  EXPECT_EQ(ERROR_SUCCESS, plat::Registry().RegDeleteKeyW(key, WSTR("A")));
  EXPECT_FALSE(KeyExists(WSTR("Software\\Norvane\\RegistryTest\\A")));
  EXPECT_TRUE(KeyExists(WSTR("Software\\Norvane\\RegistryTest\\B\\Deep")));
  plat::Registry().RegCloseKey(key);
}

// Names the file's lines cannot carry as they are (line breaks, quotes,
// brackets, a backslash before "u", unpaired surrogates) come back exactly,
// as key names, value names and text, and the keys written around them stay.
TEST(Registry, AnyNameSurvivesAWriteAndARead) {
  TestRegistry registry;
  const WString names[] = {WSTR("B\nC"),     WSTR("\rend\r"),      WSTR("\"quoted\""), WSTR("[x]"),
                           WSTR("a\\u0041"), WString(1, 0xD800) + WSTR("lone"), WSTR("tab\there"),
                           WSTR("x") + WString(1, 0xDC00)};
  HKEY base = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, plat::Registry().RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                                            nullptr, &base, nullptr));
  std::vector<WString> expected{WSTR("A"), WSTR("Z")};
  for (const WString& name : names) {
    if (name.find('\\') == WString::npos) expected.push_back(name);
  }
  expected.push_back(WSTR("Y"));
  for (const WString& keyName : expected) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, plat::Registry().RegCreateKeyExW(base, keyName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                              nullptr, &key, nullptr));
    plat::Registry().RegCloseKey(key);
  }
  for (const WString& name : names) {
    const auto* text = reinterpret_cast<const BYTE*>(name.c_str());
    ASSERT_EQ(ERROR_SUCCESS, plat::Registry().RegSetValueExW(base, name.c_str(), 0, REG_SZ, text,
                                                             static_cast<DWORD>((name.size() + 1) * 2)));
  }
  for (const WString& name : names) {
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_EQ(ERROR_SUCCESS, Query(base, name.c_str(), type, data)) << U8(name);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(WString(reinterpret_cast<const WCHAR*>(data.data()), data.size() / 2 - 1), name) << U8(name);
  }
  std::vector<WString> listed;
  for (DWORD i = 0;; ++i) {
    WCHAR name[64];
    DWORD size = 64;
    if (plat::Registry().RegEnumKeyExW(base, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    listed.emplace_back(name, size);
  }
  std::sort(listed.begin(), listed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
  plat::Registry().RegCloseKey(base);
  DeleteTree(HKEY_CURRENT_USER, kKey);
}

// "A b" sorts between "A" and "A\Sub"; A still has a sub key.
TEST(Registry, KeyWithSubKeysIsNotDeletedWhateverSortsBetween) {
  TestRegistry registry;
  SetRegDword(WSTR("Software\\Norvane\\RegistryTest\\A b"), WSTR("x"), 1);
  SetRegDword(WSTR("Software\\Norvane\\RegistryTest\\A\\Sub"), WSTR("x"), 1);
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, plat::Registry().RegOpenKeyW(HKEY_CURRENT_USER, kKey, &key));
  EXPECT_NE(ERROR_SUCCESS, plat::Registry().RegDeleteKeyW(key, WSTR("A")));
  EXPECT_TRUE(KeyExists(WSTR("Software\\Norvane\\RegistryTest\\A\\Sub")));
  EXPECT_EQ(ERROR_SUCCESS, plat::Registry().RegDeleteKeyW(key, WSTR("A\\Sub")));
  EXPECT_EQ(ERROR_SUCCESS, plat::Registry().RegDeleteKeyW(key, WSTR("A")));
  plat::Registry().RegCloseKey(key);
  DeleteTree(HKEY_CURRENT_USER, kKey);
}

#ifndef _WIN32

TEST(FileRegistry, FileIsReadableTextAndRoundTrips) {
  TempDir dir;
  std::string folder;
  plat::linux_paths::ToUnix(dir.path(), folder);
  {
    plat::FileRegistry registry(folder);
    plat::Substitute<plat::RegistryService> installed(registry);
    SetRegDword(WSTR("Software\\\\Norvane\\Zelmora\\Tessaro\\Calendar Presence"), WSTR("DebugFlags"), 0x0800000F);
    SetRegString(WSTR("Software\\\\Norvane\\Zelmora\\Tessaro"), WSTR("LogFilenameLastUsed"), WSTR("Z:\\tmp\\a b.log"));
  }
  std::ifstream in(folder + "/user.reg");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(std::string::npos,
            text.str().find("[Software\\Norvane\\Zelmora\\Tessaro\\Calendar Presence]\n\"DebugFlags\"=dword:0800000f"));
  EXPECT_NE(std::string::npos, text.str().find("\"LogFilenameLastUsed\"=\"Z:\\\\tmp\\\\a b.log\""));

  plat::FileRegistry::Hive hive;
  ASSERT_TRUE(plat::FileRegistry::Parse(text.str(), hive));
  EXPECT_EQ(text.str(), plat::FileRegistry::Serialize(hive));
  EXPECT_FALSE(plat::FileRegistry::Parse("[key]\n\"v\"=bogus:1\n", hive));
}

TEST(FileRegistry, ConcurrentWritersLoseNothing) {
  TempDir dir;
  std::string folder;
  plat::linux_paths::ToUnix(dir.path(), folder);
  // Two registry objects stand for two processes sharing the files.
  plat::FileRegistry first(folder), second(folder);
  auto writer = [](plat::FileRegistry& reg, const char16_t* prefix) {
    HKEY key = nullptr;
    reg.RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Race", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    for (DWORD i = 0; i < 40; ++i) {
      const WString name = WString(prefix) + wstr::FromUtf8(std::to_string(i));
      reg.RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), 4);
    }
    reg.RegCloseKey(key);
  };
  std::thread a(writer, std::ref(first), u"a");
  std::thread b(writer, std::ref(second), u"b");
  a.join();
  b.join();
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, first.RegOpenKeyW(HKEY_CURRENT_USER, u"Software\\Race", &key));
  for (const char* prefix : {"a", "b"}) {
    for (int i = 0; i < 40; ++i) {
      DWORD value = 99, size = 4;
      const WString name = wstr::FromUtf8(prefix + std::to_string(i));
      ASSERT_EQ(ERROR_SUCCESS, first.RegQueryValueExW(key, name.c_str(), nullptr, nullptr,
                                                      reinterpret_cast<LPBYTE>(&value), &size));
      EXPECT_EQ(static_cast<DWORD>(i), value);
    }
  }
  first.RegCloseKey(key);
}

// Lines as a person may write them: what is read, and what makes a line not
// parse (it is then left out, and the lines after it still read).
TEST(FileRegistry, ValueLinesAndHeaders) {
  using namespace std::string_literals;
  struct Case {
    std::string text;
    bool parses;
    DWORD type;  // of "v" in [K], REG_NONE when absent
    std::vector<BYTE> data;
  };
  const Case cases[] = {
      {"[K]\n\"v\"=hex(b):01,00,00,00,00,00,00,00\n", true, REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}},
      {"[K]\n\"v\"=hex(7):41,00,00,00\n", true, REG_MULTI_SZ, {0x41, 0, 0, 0}},
      {"[K]\n\"v\"=hex(zz):01\n", false, REG_NONE, {}},
      {"[K]\n\"v\"=dword:0800000f\n", true, REG_DWORD, {0x0f, 0, 0, 8}},
      {"[K]\n\"v\"=dword:100000000\n", false, REG_NONE, {}},
      {"[K]\n\"v\"=dword:-1\n", false, REG_NONE, {}},
      {"[K]\n\"v\"=dword:\n", false, REG_NONE, {}},
      {"[K]\n\"v\"=\"a\\u000ab\"\n", true, REG_SZ, {'a', 0, '\n', 0, 'b', 0, 0, 0}},
      {"[K]\n\"v\"=\"C:\\user\"\n", true, REG_SZ, {'C', 0, ':', 0, 'u', 0, 's', 0, 'e', 0, 'r', 0, 0, 0}},
      {"[\"K\"]\n\"v\"=dword:1\n", true, REG_DWORD, {1, 0, 0, 0}},
      {"[]\n\"x\"=dword:1\n[K]\n\"v\"=dword:1\n", false, REG_DWORD, {1, 0, 0, 0}},
      {"[\\\\]\n[K]\n\"v\"=dword:1\n", false, REG_DWORD, {1, 0, 0, 0}},
      {"[K\\A\0B]\n[K]\n\"v\"=dword:1\n"s, false, REG_DWORD, {1, 0, 0, 0}},
      {"[K]\n\"a\0b\"=dword:1\n\"v\"=dword:2\n"s, false, REG_DWORD, {2, 0, 0, 0}},
      {"[K]\n\"x\"=bogus:1\n\"v\"=dword:3\n", false, REG_DWORD, {3, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    plat::FileRegistry::Hive hive;
    size_t badLine = 0;
    EXPECT_EQ(c.parses, plat::FileRegistry::Parse(c.text, hive, &badLine)) << c.text;
    EXPECT_EQ(c.parses, badLine == 0) << c.text;
    EXPECT_EQ(0u, hive.count(WString())) << c.text;  // the root is never a key of the file
    const auto k = hive.find(WSTR("k"));
    const bool has = k != hive.end() && k->second.values.count(WSTR("v")) != 0;
    EXPECT_EQ(c.type != REG_NONE, has) << c.text;
    if (!has) continue;
    EXPECT_EQ(c.type, k->second.values.at(WSTR("v")).type) << c.text;
    EXPECT_EQ(c.data, k->second.values.at(WSTR("v")).data) << c.text;
  }
  // A key's parents exist even where the file names only the key.
  plat::FileRegistry::Hive hive;
  ASSERT_TRUE(plat::FileRegistry::Parse("[Software\\Deep\\Key]\n", hive));
  EXPECT_EQ("Software\\Deep", U8(hive.at(WSTR("software\\deep")).path));
  // The type of other values is written in hexadecimal, as it is read.
  plat::FileRegistry::Value q{WSTR("q"), REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}};
  hive[WSTR("software")].values[WSTR("q")] = q;
  EXPECT_NE(std::string::npos, plat::FileRegistry::Serialize(hive).find("\"q\"=hex(b):01,00"));
}

class FileRegistryFolder : public ::testing::Test {
 protected:
  FileRegistryFolder() { plat::linux_paths::ToUnix(dir_.path(), folder); }
  std::string ReadText(const std::string& name) {
    std::ifstream in(folder + "/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void WriteText(const std::string& name, const std::string& text) { std::ofstream(folder + "/" + name) << text; }
  std::vector<std::string> Files() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
  std::string folder;
};

TEST_F(FileRegistryFolder, MalformedFileIsReportedOnceAndKeptAsideBeforeItIsWritten) {
  const std::string bad = "[Software\\Kept]\n\"a\"=dword:1\n\"b\"=what\n[Software\\After]\n\"c\"=dword:2\n";
  WriteText("user.reg", bad);
  CapturedDiagnostics diagnostics;
  plat::FileRegistry registry(folder);
  plat::Substitute<plat::RegistryService> installed(registry);
  EXPECT_TRUE(KeyExists(WSTR("Software\\After")));  // read past the bad line
  EXPECT_TRUE(KeyExists(WSTR("Software\\Kept")));
  ASSERT_EQ(1u, diagnostics.lines.size());
  EXPECT_NE(std::string::npos, U8(diagnostics.lines[0]).find("user.reg does not parse at line 3"));

  SetRegDword(WSTR("Software\\Kept"), WSTR("new"), 3);
  ASSERT_EQ(2u, diagnostics.lines.size());
  const std::vector<std::string> files = Files();
  const auto aside = std::find_if(files.begin(), files.end(),
                                  [](const std::string& f) { return f.rfind("user.reg.bad-", 0) == 0; });
  ASSERT_NE(aside, files.end());
  EXPECT_NE(std::string::npos, U8(diagnostics.lines[1]).find("kept as " + folder + "/" + *aside));
  EXPECT_EQ(bad, ReadText(*aside));
  const std::string now = ReadText("user.reg");
  EXPECT_NE(std::string::npos, now.find("[Software\\After]\n\"c\"=dword:00000002"));
  EXPECT_NE(std::string::npos, now.find("\"new\"=dword:00000003"));
  EXPECT_EQ(std::string::npos, now.find("what"));
}

// HKEY_USERS is no root of the files, and a closed key is no key any more.
TEST_F(FileRegistryFolder, OnlyItsOwnOpenKeysAreHandles) {
  plat::FileRegistry registry(folder);
  HKEY key = nullptr;
  EXPECT_EQ(ERROR_INVALID_HANDLE, registry.RegOpenKeyW(HKEY_USERS, WSTR("x"), &key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, registry.RegCreateKeyExW(HKEY_USERS, WSTR("x"), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                           nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_INVALID_HANDLE, registry.RegSetValueExW(HKEY_USERS, WSTR("v"), 0, REG_NONE, nullptr, 0));
  ASSERT_EQ(ERROR_SUCCESS, registry.RegCreateKeyExW(HKEY_CURRENT_USER, WSTR("K"), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                    nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, registry.RegCloseKey(key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, registry.RegCloseKey(key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, registry.RegDeleteValueW(key, WSTR("v")));
}

// Through HKEY_CLASSES_ROOT a key is the user's when the user's file holds
// it (or more of its path than the machine's file), else the machine's; a
// value reads back from where it was written, and both files' keys are listed.
TEST_F(FileRegistryFolder, ClassesRootReadsWhereItWrites) {
  WriteText("user.reg", "[Software\\Classes\\Mine]\n");
  WriteText("machine.reg", "[Software\\Classes\\Theirs]\n[Software\\Classes\\Mine]\n");
  plat::FileRegistry registry(folder);
  const DWORD one = 1;
  const auto* data = reinterpret_cast<const BYTE*>(&one);
  ASSERT_EQ(ERROR_SUCCESS, registry.RegSetValueExW(HKEY_CLASSES_ROOT, WSTR("root"), 0, REG_DWORD, data, 4));
  EXPECT_EQ(ERROR_SUCCESS, registry.RegQueryValueExW(HKEY_CLASSES_ROOT, WSTR("root"), nullptr, nullptr, nullptr,
                                                     nullptr));
  HKEY mine = nullptr, sub = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, registry.RegOpenKeyW(HKEY_CLASSES_ROOT, WSTR("Mine"), &mine));
  ASSERT_EQ(ERROR_SUCCESS, registry.RegSetValueExW(mine, WSTR("v"), 0, REG_DWORD, data, 4));
  ASSERT_EQ(ERROR_SUCCESS, registry.RegCreateKeyExW(mine, WSTR("Sub"), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub,
                                                    nullptr));
  registry.RegCloseKey(sub);
  registry.RegCloseKey(mine);
  ASSERT_EQ(ERROR_SUCCESS, registry.RegOpenKeyW(HKEY_CLASSES_ROOT, WSTR("Mine"), &mine));
  EXPECT_EQ(ERROR_SUCCESS, registry.RegQueryValueExW(mine, WSTR("v"), nullptr, nullptr, nullptr, nullptr));
  registry.RegCloseKey(mine);
  EXPECT_NE(std::string::npos, ReadText("user.reg").find("[Software\\Classes\\Mine\\Sub]"));
  EXPECT_NE(std::string::npos, ReadText("machine.reg").find("\"root\"=dword:00000001"));

  std::vector<std::string> listed;
  WCHAR name[64];
  for (DWORD size = 64; registry.RegEnumKeyExW(HKEY_CLASSES_ROOT, static_cast<DWORD>(listed.size()), name, &size,
                                               nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       size = 64)
    listed.push_back(U8(name));
  EXPECT_EQ((std::vector<std::string>{"Mine", "Theirs"}), listed);
}

#endif
