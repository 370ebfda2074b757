// The registrar: applies and removes registration scripts (.rgs) such as the module's AppID
// script.
//
// The script language is the registrar's usual one, as far as this module needs it:
//
//   HKCR                                   root: HKCR, HKCU, HKLM or their long names
//   {
//       NoRemove AppID                     a key, kept when the script is removed
//       {
//           '%APPID%' = s 'AmbrelManager'  a key with its default value: s (string) or d (number)
//           'AMBMan.EXE'
//           {
//               val AppID = s '%APPID%'    a named value of the key above
//           }
//       }
//   }
//
// Names and values are bare words or quoted with ' ('' stands for one '). %NAME% in a name or
// value is replaced by the replacement added for NAME, %% by %. ForceRemove and Delete are not
// supported: removing keys this registrar did not write needs a subtree walk it does not have.
//
// A script is checked completely before the registry is touched: a malformed script, an unknown
// replacement or an unsupported keyword fails with HRESULT_FROM_WIN32(ERROR_INVALID_DATA) and
// changes nothing. A registration that fails half way removes what the script names again.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/registry.h"
#include "platform/win32types.h"

class Registrar {
public:
    explicit Registrar(platform::Registry& registry) : _registry(registry) {}

    // %name% (letter case aside) stands for value from now on.
    void AddReplacement(std::wstring_view name, std::wstring_view value);
    // Per-user registration: keys the script places under HKEY_CLASSES_ROOT go to
    // HKEY_CURRENT_USER\Software\Classes instead.
    void SetPerUser(bool perUser) { _perUser = perUser; }

    HRESULT StringRegister(std::wstring_view script);
    HRESULT StringUnregister(std::wstring_view script);
    // A script as a REGISTRY resource holds it: ASCII bytes.
    HRESULT ResourceRegister(const void* bytes, DWORD size);
    HRESULT ResourceUnregister(const void* bytes, DWORD size);

private:
    HRESULT Apply(std::wstring_view script, bool registering);

    platform::Registry& _registry;
    std::map<std::wstring, std::wstring> _replacements;  // by upper-case name
    bool _perUser = false;
};
