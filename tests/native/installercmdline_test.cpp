#include "installercmdline.h"

#include <gtest/gtest.h>

namespace {

TEST(AddTransform, Table)
{
    struct Case {
        const wchar_t* before;
        const wchar_t* transform;
        const wchar_t* after;
    } cases[] = {
        {L"A=1", L"1033.MST", L"A=1 TRANSFORMS=\"1033.MST\""},
        {L"", L"1033.MST", L" TRANSFORMS=\"1033.MST\""},
        {L"TRANSFORMS=\"a.mst\" B=2", L"1033.mst", L"TRANSFORMS=\"a.mst;1033.mst\" B=2"},
        {L"TRANSFORMS=a.mst B=2", L"1033.mst", L"TRANSFORMS=a.mst;1033.mst B=2"},
        {L"transforms=\"\" B=2", L"1033.mst", L"transforms=\"1033.mst\" B=2"},
        {L"TRANSFORMS=\"C:\\x\\1033.mst\"", L"1033.mst", L"TRANSFORMS=\"C:\\x\\1033.mst\""},
        {L"TRANSFORMS=\"C:\\x\\1033.MST\"", L"C:\\T\\1033.mst", L"TRANSFORMS=\"C:\\x\\1033.MST\""},
        {L"TRANSFORMS=\"a.mst;b.MST\"", L"1031.MST", L"TRANSFORMS=\"a.mst;b.MST;1031.MST\""},
    };
    for (const auto& c : cases) {
        std::wstring p = c.before;
        AddTransform(c.transform, p);
        EXPECT_EQ(p, c.after) << c.before;
    }
}

PropertyInputs inputs()
{
    PropertyInputs in;
    in.launcherPath = L"C:\\Media\\setup.exe";
    return in;
}

TEST(PropertyString, LauncherPropertiesAndNoTransformForOneLanguage)
{
    const auto p = BuildPropertyString(inputs());
    EXPECT_EQ(p.text, L" SETUPEXEDIR=\"C:\\Media\" SETUPEXENAME=\"setup.exe\"");
    EXPECT_EQ(p.launcherProperties, L"SETUPEXEDIR=\"C:\\Media\" SETUPEXENAME=\"setup.exe\"");
    EXPECT_EQ(BuildCommandLine(0, L"", L"C:\\T\\demo.msi", p.text),
              L"MSIEXEC.EXE /i \"C:\\T\\demo.msi\"  SETUPEXEDIR=\"C:\\Media\" SETUPEXENAME=\"setup.exe\"");
    EXPECT_EQ(BuildCommandLine(1, L"", L"C:\\T\\demo.msi", p.text),
              L"MSIEXEC.EXE /a \"C:\\T\\demo.msi\" SETUPEXEDIR=\"C:\\Media\" SETUPEXENAME=\"setup.exe\"");
}

TEST(PropertyString, TransformOnlyForSeveralLanguagesWithoutQuietStartOrPatch)
{
    auto in = inputs();
    in.cmdLine = L"/qn";
    in.severalLanguages = true;
    in.languageTransform = L"1031.MST";
    EXPECT_EQ(BuildPropertyString(in).text,
              L"/qn TRANSFORMS=\"1031.MST\" SETUPEXEDIR=\"C:\\Media\" SETUPEXENAME=\"setup.exe\"");
    for (auto change : {0, 1}) {
        auto other = in;
        if (change == 0)
            other.quietStart = true;
        else
            other.installMode = 5;
        EXPECT_EQ(BuildPropertyString(other).text.find(L"TRANSFORMS"), std::wstring::npos);
    }
}

TEST(PropertyString, ScriptCommandLineOnceAndRebootFirst)
{
    auto in = inputs();
    in.usesScript = true;
    in.engineCommandLine = L" /auto";
    in.rebootFirst = true;
    EXPECT_EQ(BuildPropertyString(in).text, L"OVSCRIPTCMDLINE=\" /auto\"");
    EXPECT_EQ(BuildPropertyString(in).launcherProperties, L"");
    in.cmdLine = L"ovScriptCmdLine=\"x\"";
    EXPECT_EQ(BuildPropertyString(in).text, L"ovScriptCmdLine=\"x\"");
    in.usesScript = false;
    in.cmdLine.clear();
    EXPECT_EQ(BuildPropertyString(in).text, L"");
}

TEST(PropertyString, AdvertiseTurnsTransformsIntoSwitch)
{
    auto in = inputs();
    in.installMode = 3;
    in.cmdLine = L"TRANSFORMS=a.mst";
    const auto p = BuildPropertyString(in);
    EXPECT_EQ(BuildCommandLine(3, L"m", L"C:\\p.msi", p.text),
              L"MSIEXEC.EXE /jm \"C:\\p.msi\" /t a.mst SETUPEXEDIR=\"C:\\Media\" SETUPEXENAME=\"setup.exe\"");
}

TEST(CommandLine, AdministrativeImageKeepsPropertiesApartFromThePackage)
{
    auto in = inputs();
    in.installMode = 1;
    in.cmdLine = L"TARGETDIR=C:\\Image /qn";
    EXPECT_EQ(
        BuildCommandLine(1, L"", L"C:\\p.msi", BuildPropertyString(in).text),
        L"MSIEXEC.EXE /a \"C:\\p.msi\" TARGETDIR=C:\\Image /qn SETUPEXEDIR=\"C:\\Media\" SETUPEXENAME=\"setup.exe\"");
}

TEST(CommandLine, EveryMode)
{
    struct Case {
        int mode;
        const wchar_t* expected;
    } cases[] = {
        {0, L"MSIEXEC.EXE /i \"p.msi\"  X=1"},      {1, L"MSIEXEC.EXE /a \"p.msi\" X=1"},
        {2, L"MSIEXEC.EXE /fvomus \"p.msi\"  X=1"}, {3, L"MSIEXEC.EXE /jvomus \"p.msi\"  X=1"},
        {4, L"MSIEXEC.EXE /x \"p.msi\"  X=1"},      {5, L"MSIEXEC.EXE /p \"p.msi\"  X=1"},
        {9, L"MSIEXEC.EXE /i \"p.msi\"  X=1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BuildCommandLine(c.mode, L"vomus", L"p.msi", L" X=1"), c.expected) << c.mode;
}

} // namespace
