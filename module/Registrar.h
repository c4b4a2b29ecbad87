// The registrar: runs a registry script (the text form kept among the
// module's resources) to register or to unregister.
//
// A script is a list of roots (HKCR, HKCU, HKLM, HKU or their long names),
// each with a block of keys:
//
//   [NoRemove | ForceRemove | Delete] name [= s 'text' | = d 'number']
//   [{ sub keys and values }]
//   val name = s 'text' | d 'number'      (a named value of the enclosing key)
//
// Tokens are separated by white space; 'quoted' tokens may hold blanks ('' is
// a quote); %NAME% is replaced from the replacement table (%% is a percent
// sign). On registration a key is created if missing and its default value
// written; ForceRemove deletes the key with its subtree first; Delete deletes
// it and writes nothing. On unregistration NoRemove keeps the key but still
// unregisters what the script names beneath it; ForceRemove and Delete delete
// the key with its subtree; any other key is unregistered beneath and then
// deleted unless something the script does not name is left beneath it
// (another component's sub key is not ours to remove). A key's name is never
// empty: a script that names a key '' does not parse, and DeleteTree refuses
// an empty sub key, so the registrar never deletes a hive's root.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/wintypes.h"
#include "platform/wstr.h"

namespace tessaro {

class Registrar {
 public:
  // classesRoot: the key HKCR stands for (HKEY_CLASSES_ROOT, or the current
  // user's Software\Classes in per-user mode); the registrar does not own it.
  explicit Registrar(HKEY classesRoot = nullptr) : m_classesRoot(classesRoot) {}

  void AddReplacement(const WString& name, const WString& value);

  // Runs the script text. Returns S_OK, DISP_E_EXCEPTION for a script that
  // does not parse (nothing is written then), or the failing registry call's
  // code as an HRESULT.
  HRESULT Run(const WString& script, bool registering);

  // Runs the REGISTRY resource id of the module.
  HRESULT RunResource(HMODULE module, int id, bool registering);

  // Deletes key\subKey with everything beneath it; a missing key is no error,
  // an empty subKey is (ERROR_INVALID_PARAMETER).
  static LONG DeleteTree(HKEY key, const WString& subKey);

 private:
  struct Node;
  bool Parse(const WString& script, std::vector<Node>* roots);
  HRESULT Register(HKEY parent, const std::vector<Node>& nodes);
  HRESULT Unregister(HKEY parent, const std::vector<Node>& nodes);
  HKEY RootKey(const WString& name) const;

  HKEY m_classesRoot;
  std::vector<std::pair<WString, WString>> m_replacements;
};

}  // namespace tessaro
