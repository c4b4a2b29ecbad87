// The registry service as Tessaro uses it. The same tests run against our
// file registry on Linux and the real registry under Wine.
#include <gtest/gtest.h>

#include <thread>

#include "platform/services.h"
#include "tests/support/test_support.h"

#ifndef _WIN32
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

#endif
