// The registrar's script language and its registration and removal rules.
#include <gtest/gtest.h>

#include <fstream>

#include "module/Registrar.h"
#include "platform/com.h"
#include "tests/support/memory_registry.h"
#include "tests/support/test_support.h"

#ifndef _WIN32
#include "platform/linux/file_registry.h"
#include "platform/linux/paths.h"
#endif

using testing_support::MemoryRegistry;
using testing_support::U8;
using tessaro::Registrar;

namespace {

const WCHAR kScript[] =
    WSTR("HKCR\n"
         "{\n"
         "  NoRemove Shared\n"
         "  {\n"
         "    ForceRemove '%NAME% Key' = s 'It''s %NAME% at 100%%'\n"
         "    {\n"
         "      Empty\n"
         "      {\n"
         "      }\n"
         "      Leaf = s '%PATH%, 3'\n"
         "      val Count = d '42'\n"
         "      val Mask = d '0x8000000F'\n"
         "    }\n"
         "    Plain = s 'plain'\n"
         "    {\n"
         "      Child = s 'c'\n"
         "    }\n"
         "    val Marker = s 'm'\n"
         "  }\n"
         "}\n"
         "HKLM { Software { Tessaro { Sub } } }\n");

class RegistrarTest : public ::testing::Test {
 protected:
  Registrar Make() {
    Registrar r;
    r.AddReplacement(WSTR("NAME"), WSTR("Widget"));
    r.AddReplacement(WSTR("PATH"), WSTR("C:\\dir with blanks\\x.dll"));
    return r;
  }
  WString Text(const WString& path, const WString& name = WString()) {
    WString value;
    return registry.Text(path, name, &value) ? value : WString(WSTR("<missing>"));
  }
  DWORD Number(HKEY root, const WCHAR* key, const WCHAR* name) {
    HKEY k = nullptr;
    DWORD value = 0, size = sizeof value, type = 0;
    if (registry.RegOpenKeyW(root, key, &k) != ERROR_SUCCESS) return 0xFFFFFFFF;
    registry.RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    registry.RegCloseKey(k);
    return type == REG_DWORD ? value : 0xFFFFFFFF;
  }
  MemoryRegistry registry;
};

TEST_F(RegistrarTest, RegistersKeysValuesAndReplacements) {
  ASSERT_EQ(Make().Run(kScript, true), S_OK);
  const WString key = WSTR("HKLM\\Software\\Classes\\Shared\\Widget Key");
  EXPECT_EQ(U8(Text(key)), "It's Widget at 100%");
  EXPECT_TRUE(registry.HasKey(key + WSTR("\\Empty")));
  EXPECT_EQ(U8(Text(key + WSTR("\\Leaf"))), "C:\\dir with blanks\\x.dll, 3");
  EXPECT_EQ(Number(HKEY_CLASSES_ROOT, WSTR("Shared\\Widget Key"), WSTR("Count")), 42u);
  EXPECT_EQ(Number(HKEY_CLASSES_ROOT, WSTR("Shared\\Widget Key"), WSTR("Mask")), 0x8000000Fu);
  EXPECT_EQ(U8(Text(WSTR("HKLM\\Software\\Classes\\Shared\\Plain\\Child"))), "c");
  EXPECT_EQ(U8(Text(WSTR("HKLM\\Software\\Classes\\Shared"), WSTR("Marker"))), "m");
  EXPECT_TRUE(registry.HasKey(WSTR("HKLM\\Software\\Tessaro\\Sub")));
  EXPECT_EQ(registry.OpenHandles(), 0u);
}

TEST_F(RegistrarTest, UnregistrationRules) {
  registry.AddKey(WSTR("HKLM\\Software\\Classes\\Shared\\Other"));
  ASSERT_EQ(Make().Run(kScript, true), S_OK);
  // Something the script does not name, under a key it would remove.
  registry.AddKey(WSTR("HKLM\\Software\\Tessaro\\Foreign"));
  ASSERT_EQ(Make().Run(kScript, false), S_OK);
  // NoRemove: the key stays with what the script does not name; its named
  // value and sub keys go.
  EXPECT_TRUE(registry.HasKey(WSTR("HKLM\\Software\\Classes\\Shared\\Other")));
  EXPECT_EQ(U8(Text(WSTR("HKLM\\Software\\Classes\\Shared"), WSTR("Marker"))), "<missing>");
  EXPECT_FALSE(registry.HasKey(WSTR("HKLM\\Software\\Classes\\Shared\\Widget Key")));
  EXPECT_FALSE(registry.HasKey(WSTR("HKLM\\Software\\Classes\\Shared\\Plain")));
  // A plain key with a foreign sub key stays; its own named sub key goes.
  EXPECT_FALSE(registry.HasKey(WSTR("HKLM\\Software\\Tessaro\\Sub")));
  EXPECT_TRUE(registry.HasKey(WSTR("HKLM\\Software\\Tessaro\\Foreign")));
  // Unregistering what is not there is no error.
  EXPECT_EQ(Make().Run(kScript, false), S_OK);
}

TEST_F(RegistrarTest, ForceRemoveReplacesTheWholeSubtree) {
  ASSERT_EQ(Make().Run(kScript, true), S_OK);
  registry.AddKey(WSTR("HKLM\\Software\\Classes\\Shared\\Widget Key\\Old\\Deeper"));
  ASSERT_EQ(Make().Run(kScript, true), S_OK);
  EXPECT_FALSE(registry.HasKey(WSTR("HKLM\\Software\\Classes\\Shared\\Widget Key\\Old")));
  EXPECT_TRUE(registry.HasKey(WSTR("HKLM\\Software\\Classes\\Shared\\Widget Key\\Empty")));
}

TEST_F(RegistrarTest, PerUserClassesRoot) {
  HKEY classes = nullptr;
  ASSERT_EQ(registry.RegCreateKeyExW(HKEY_CURRENT_USER, WSTR("Software\\Classes"), 0, nullptr, 0, KEY_ALL_ACCESS,
                                     nullptr, &classes, nullptr),
            ERROR_SUCCESS);
  Registrar r(classes);
  r.AddReplacement(WSTR("NAME"), WSTR("W"));
  r.AddReplacement(WSTR("PATH"), WSTR("p"));
  ASSERT_EQ(r.Run(kScript, true), S_OK);
  registry.RegCloseKey(classes);
  EXPECT_TRUE(registry.HasKey(WSTR("HKCU\\Software\\Classes\\Shared\\W Key")));
  EXPECT_FALSE(registry.HasKey(WSTR("HKLM\\Software\\Classes\\Shared")));
}

TEST_F(RegistrarTest, MalformedScriptsWriteNothing) {
  const WCHAR* const bad[] = {
      WSTR("HKCR { Key = s 'unterminated }"),
      WSTR("HKCR { Key = s '%UNKNOWN%' }"),
      WSTR("HKCR { Key = x 'type' }"),
      WSTR("HKCR { Key = d '12z' }"),
      WSTR("HKCR { Key = d '4294967296' }"),
      WSTR("HKCR { Key { }"),
      WSTR("HKCR { Key } }"),
      WSTR("NOWHERE { Key }"),
      WSTR("HKCR { val = s 'x' }"),
      WSTR("HKCR { Key = s '%unclosed' }"),
      WSTR("HKCR { { } }"),
      WSTR("HKCR { ForceRemove '' }"),
      WSTR("HKCR { Key { Delete '\\\\' } }"),
      WSTR("HKCR { '' = s 'x' }"),
  };
  const size_t keys = registry.KeyCount();
  for (const WCHAR* script : bad) {
    EXPECT_EQ(Make().Run(script, true), DISP_E_EXCEPTION) << U8(script);
    EXPECT_EQ(registry.KeyCount(), keys) << U8(script);
  }
}

// A hive's root is never deleted, whatever names the tree.
TEST_F(RegistrarTest, DeleteTreeNeverTakesARoot) {
  registry.AddKey(WSTR("HKCU\\Software\\Other"));
  for (const WCHAR* name : {WSTR(""), WSTR("\\"), WSTR("\\\\")}) {
    EXPECT_EQ(Registrar::DeleteTree(HKEY_CURRENT_USER, name), ERROR_INVALID_PARAMETER) << U8(name);
  }
  EXPECT_TRUE(registry.HasKey(WSTR("HKCU\\Software\\Other")));
  EXPECT_EQ(Registrar::DeleteTree(HKEY_CURRENT_USER, WSTR("Software")), ERROR_SUCCESS);
  EXPECT_FALSE(registry.HasKey(WSTR("HKCU\\Software")));
}

TEST_F(RegistrarTest, RegistryFailureStopsAtThatStep) {
  registry.failWritesUnder = WSTR("Plain");
  EXPECT_EQ(Make().Run(kScript, true), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(registry.HasKey(WSTR("HKLM\\Software\\Classes\\Shared\\Widget Key")));
  EXPECT_FALSE(registry.HasKey(WSTR("HKLM\\Software\\Tessaro")));
}

}  // namespace

#ifndef _WIN32
// Over the Linux registry files: a root they do not have fails the script
// instead of being taken for a key, and the walk over a file's keys ends
// however the file names them (names the line cannot hold are left out, a
// name longer than a key name's usual limit is still deleted).
TEST(RegistrarOverFiles, WalksEndAndUnknownRootsFail) {
  testing_support::TempDir dir;
  std::string folder;
  plat::linux_paths::ToUnix(dir.path(), folder);
  const std::string longName(300, 'n');
  using namespace std::string_literals;
  std::ofstream(folder + "/user.reg") << "[T]\n[]\n[T\\\0x]\n[T\\A\0B]\n[T\\Sub\\"s + longName + "]\n[Other]\n";
  testing_support::CapturedDiagnostics diagnostics;  // the file does not parse
  plat::FileRegistry files(folder);
  plat::Substitute<plat::RegistryService> installed(files);
  EXPECT_EQ(Registrar().Run(WSTR("HKU { x }"), true), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
  EXPECT_EQ(Registrar::DeleteTree(HKEY_CURRENT_USER, WSTR("T")), ERROR_SUCCESS);
  HKEY key = nullptr;
  EXPECT_EQ(files.RegOpenKeyW(HKEY_CURRENT_USER, WSTR("T"), &key), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(files.RegOpenKeyW(HKEY_CURRENT_USER, WSTR("Other"), &key), ERROR_SUCCESS);
  files.RegCloseKey(key);
}
#endif
