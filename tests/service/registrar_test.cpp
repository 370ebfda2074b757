#include "service/registrar.h"

#include <gtest/gtest.h>

#include <string>

#include "service/host_resources.h"
#include "service_rig.h"

namespace {

using service_test::kAppId;
using service_test::Rig;

const HRESULT kInvalidScript = static_cast<HRESULT>(0x8007000D);

// The AppID script as Kelvo.exe carries it, with its AppID.
const std::wstring kKelvoAppIdTree = std::wstring(L"AppID\n") +
                                     L"  AMBMan.EXE\n"
                                     L"    AppID=REG_SZ:" +
                                     kAppId + L"\n  " + kAppId +
                                     L"\n"
                                     L"    =REG_SZ:AmbrelManager\n";

Registrar KelvoRegistrar(Rig& rig) {
    Registrar registrar(rig.registry);
    registrar.AddReplacement(L"APPID", kAppId);
    return registrar;
}

HRESULT RegisterKelvoScript(Registrar& registrar) {
    const std::string& script = KelvoRegistrationScript();
    return registrar.ResourceRegister(script.data(), static_cast<DWORD>(script.size()));
}

HRESULT UnregisterKelvoScript(Registrar& registrar) {
    const std::string& script = KelvoRegistrationScript();
    return registrar.ResourceUnregister(script.data(), static_cast<DWORD>(script.size()));
}

TEST(Registrar, KelvoScriptWritesTheAppIdKeysUnderClassesRoot) {
    Rig rig;
    Registrar registrar = KelvoRegistrar(rig);
    ASSERT_EQ(RegisterKelvoScript(registrar), S_OK);
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, L"AppID"), kKelvoAppIdTree);
    EXPECT_EQ(rig.Tree(HKEY_CURRENT_USER, L"Software\\Classes"), L"-");
    EXPECT_EQ(rig.registry.OpenKeyCount(), 0u);
}

TEST(Registrar, PerUserRegistrationGoesToTheUsersClasses) {
    Rig rig;
    Registrar registrar = KelvoRegistrar(rig);
    registrar.SetPerUser(true);
    ASSERT_EQ(RegisterKelvoScript(registrar), S_OK);
    EXPECT_EQ(rig.Tree(HKEY_CURRENT_USER, L"Software\\Classes\\AppID"), kKelvoAppIdTree);
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, L"AppID"), L"-");

    ASSERT_EQ(UnregisterKelvoScript(registrar), S_OK);
    EXPECT_EQ(rig.Tree(HKEY_CURRENT_USER, L"Software\\Classes\\AppID"), L"AppID\n");
}

TEST(Registrar, RemovingTheScriptKeepsAppIdAndWhatOthersRegistered) {
    Rig rig;
    rig.registry.SetString(HKEY_CLASSES_ROOT, L"AppID\\{00000000-0000-0000-0000-000000000001}", L"",
                           L"Other");
    Registrar registrar = KelvoRegistrar(rig);
    ASSERT_EQ(RegisterKelvoScript(registrar), S_OK);
    ASSERT_EQ(UnregisterKelvoScript(registrar), S_OK);
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, L"AppID"),
              L"AppID\n"
              L"  {00000000-0000-0000-0000-000000000001}\n"
              L"    =REG_SZ:Other\n");
    // Removing what is no longer there is no failure.
    EXPECT_EQ(UnregisterKelvoScript(registrar), S_OK);
    EXPECT_EQ(rig.registry.OpenKeyCount(), 0u);
}

TEST(Registrar, FailedRegistrationTakesBackWhatItWrote) {
    Rig rig;
    // The first value (the AppID key's default) goes in, the second fails.
    rig.Fail("RegSetValueExW", ERROR_ACCESS_DENIED, 2);
    Registrar registrar = KelvoRegistrar(rig);
    EXPECT_EQ(RegisterKelvoScript(registrar), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, L"AppID"), L"AppID\n");
    EXPECT_EQ(rig.registry.OpenKeyCount(), 0u);
}

struct ScriptCase {
    const char* name;
    const wchar_t* script;
    const wchar_t* path;      // under HKEY_CLASSES_ROOT
    const wchar_t* expected;  // the tree after registering
    const wchar_t* removed;   // the tree after removing the script again
};

class RegistrarScripts : public testing::TestWithParam<ScriptCase> {};

TEST_P(RegistrarScripts, RegisterAndRemove) {
    const ScriptCase& c = GetParam();
    Rig rig;
    Registrar registrar(rig.registry);
    registrar.AddReplacement(L"Name", L"Kelvo");
    ASSERT_EQ(registrar.StringRegister(c.script), S_OK);
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, c.path), c.expected);
    ASSERT_EQ(registrar.StringUnregister(c.script), S_OK);
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, c.path), c.removed);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, RegistrarScripts,
    testing::Values(
        ScriptCase{"Numbers", L"HKCR { K { val A = d 10 val B = d '0x1F' val C = d 4294967295 } }",
                   L"K", L"K\n  A=REG_DWORD:10\n  B=REG_DWORD:31\n  C=REG_DWORD:4294967295\n",
                   L"-"},
        ScriptCase{"QuotesAndPercent", L"HKCR { 'It''s' = s 'a ''quoted'' 100%% text' }", L"It's",
                   L"It's\n  =REG_SZ:a 'quoted' 100% text\n", L"-"},
        ScriptCase{"ReplacementsIgnoreCase", L"HKCR { '%name%' { val '%NAME%x' = s '%Name%' } }",
                   L"Kelvo", L"Kelvo\n  Kelvox=REG_SZ:Kelvo\n", L"-"},
        ScriptCase{"KeywordsInAnyCase", L"HKEY_CLASSES_ROOT { noremove K { VAL v = S 'x' } }", L"K",
                   L"K\n  v=REG_SZ:x\n", L"K\n"},
        ScriptCase{"NoBlanksAroundMarks", L"HKCR{K=s V{L=s W}}", L"K",
                   L"K\n  =REG_SZ:V\n  L\n    =REG_SZ:W\n", L"-"},
        ScriptCase{"KeptValueOfAKeptKey",
                   L"HKCR { NoRemove K { val A = s 'a' NoRemove val B = s 'b' Sub { } } }", L"K",
                   L"K\n  A=REG_SZ:a\n  B=REG_SZ:b\n  Sub\n", L"K\n  B=REG_SZ:b\n"}),
    [](const testing::TestParamInfo<ScriptCase>& info) { return info.param.name; });

struct MalformedCase {
    const char* name;
    const wchar_t* script;
    const wchar_t* error;  // the logged reason
};

class RegistrarMalformedScripts : public testing::TestWithParam<MalformedCase> {};

TEST_P(RegistrarMalformedScripts, FailWithTheReasonAndChangeNothing) {
    const MalformedCase& c = GetParam();
    Rig rig;
    rig.registry.SetString(HKEY_CLASSES_ROOT, L"K", L"", L"before");
    Registrar registrar(rig.registry);
    registrar.AddReplacement(L"APPID", kAppId);
    EXPECT_EQ(registrar.StringRegister(c.script), kInvalidScript);
    EXPECT_EQ(registrar.StringUnregister(c.script), kInvalidScript);
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, L"K"), L"K\n  =REG_SZ:before\n");
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, L"L"), L"-");
    const auto errors = rig.Lines(TRACE_LEVEL_ERROR);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0], std::wstring(L"Registration script: ") + c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, RegistrarMalformedScripts,
    testing::Values(
        MalformedCase{"UnknownRoot", L"HKXX { K }", L"unknown root key: 'HKXX' (line 1)"},
        MalformedCase{"NoBraceAfterRoot", L"HKCR K",
                      L"'{' is expected after the root key: 'K' (line 1)"},
        MalformedCase{"MissingClose", L"HKCR {\n L = s 'x'\n K {\n", L"'}' is missing (line 4)"},
        MalformedCase{"UnclosedQuote", L"HKCR { L = s 'x\n }",
                      L"a quoted text is not closed (line 1)"},
        MalformedCase{"UnknownReplacement", L"HKCR { L = s '%CLSID%' K }",
                      L"unknown replacement: '%CLSID%' (line 1)"},
        MalformedCase{"UnclosedPercent", L"HKCR { L = s '50%' }",
                      L"a '%' is not closed: '50%' (line 1)"},
        MalformedCase{"ForceRemove", L"HKCR { L ForceRemove K }",
                      L"ForceRemove and Delete are not supported: 'ForceRemove' (line 1)"},
        MalformedCase{"Delete", L"HKCR { L Delete K }",
                      L"ForceRemove and Delete are not supported: 'Delete' (line 1)"},
        MalformedCase{"ValueUnderRoot", L"HKCR { L val V = s 'x' }",
                      L"a value must belong to a key: 'V' (line 1)"},
        MalformedCase{"ValueWithoutData", L"HKCR { L { val V } }",
                      L"a value needs '= s' or '= d' and its data: 'V' (line 1)"},
        MalformedCase{"ValueWithKeys", L"HKCR { L { val V = s 'x' { K } } }",
                      L"a value cannot hold keys: 'V' (line 1)"},
        MalformedCase{"UnknownType", L"HKCR { L = b '00' }",
                      L"the value type must be s or d: 'b' (line 1)"},
        MalformedCase{"MissingData", L"HKCR { L = s }",
                      L"the value's data is missing: '}' (line 1)"},
        MalformedCase{"NotANumber", L"HKCR { L = d '12a' }",
                      L"a d value must be a 32-bit number: '12a' (line 1)"},
        MalformedCase{"NumberTooLarge", L"HKCR { L = d 4294967296 }",
                      L"a d value must be a 32-bit number: '4294967296' (line 1)"},
        MalformedCase{"EmptyKeyName", L"HKCR { L '' }",
                      L"a key name must be one non-empty name without '\\': '' (line 1)"},
        MalformedCase{"PathAsKeyName", L"HKCR { 'L\\M' }",
                      L"a key name must be one non-empty name without '\\': 'L\\M' (line 1)"},
        MalformedCase{"StrayMark", L"HKCR { = }",
                      L"a key or value name is expected: '=' (line 1)"}),
    [](const testing::TestParamInfo<MalformedCase>& info) { return info.param.name; });

TEST(Registrar, ScriptResourceMustBeAscii) {
    Rig rig;
    Registrar registrar(rig.registry);
    const char script[] = "HKCR { L = s 'caf\xE9' }";
    EXPECT_EQ(registrar.ResourceRegister(script, sizeof(script) - 1), kInvalidScript);
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, L"L"), L"-");
    EXPECT_EQ(rig.Lines(TRACE_LEVEL_ERROR)[0], L"Registration script: byte 17 is not ASCII (0xe9)");
}

}  // namespace
