// On Linux the registry scripts travel inside the program as its REGISTRY
// resources: every program that links the server finds them through the
// ordinary resource calls, byte for byte as in the script files.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "module/ModuleIds.h"
#include "platform/services.h"

namespace {

std::string FileText(const char* name) {
  std::ifstream in(std::string(TESSARO_SCRIPTS_DIR) + "/" + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(EmbeddedScripts, TheProgramCarriesEachScriptAsItsRegistryResource) {
  const std::pair<int, const char*> scripts[] = {
      {IDR_ZLMTESSARO, "ZLMTessaro.rgs"},
      {IDR_CALPRESENCEAX, "CalPresenceAX.rgs"},
      {IDR_ACTIVEMONAX, "ActiveMonAX.rgs"},
      {IDR_MAPISEARCHAX, "MapiSearchAX.rgs"},
  };
  for (const auto& [id, name] : scripts) {
    SCOPED_TRACE(name);
    const std::string expected = FileText(name);
    ASSERT_FALSE(expected.empty());
    plat::ModuleService& modules = plat::Modules();
    HRSRC found = modules.FindResourceW(nullptr, MAKEINTRESOURCEW(id), WSTR("REGISTRY"));
    ASSERT_NE(found, nullptr);
    const DWORD size = modules.SizeofResource(nullptr, found);
    const char* data = static_cast<const char*>(modules.LockResource(modules.LoadResource(nullptr, found)));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data, size), expected);
  }
  // Only the four scripts: no other id, no other type.
  EXPECT_EQ(plat::Modules().FindResourceW(nullptr, MAKEINTRESOURCEW(IDB_CALPRESENCEAX), WSTR("REGISTRY")), nullptr);
  EXPECT_EQ(plat::Modules().FindResourceW(nullptr, MAKEINTRESOURCEW(IDR_ZLMTESSARO), WSTR("TYPELIB")), nullptr);
}

}  // namespace
