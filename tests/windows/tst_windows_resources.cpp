// The program file's resources as Windows reads them from a built executable: version
// information, icon sizes and manifest. This test program carries the same resources;
// its manifest sits under another id so that running it needs no elevation.

#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <cstring>
#include <string>
#include <vector>
#include <windows.h>

namespace {

constexpr int kTestManifestId = 100;

std::vector<unsigned char> ownVersionInfo()
{
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    EXPECT_GT(length, 0U);
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
    std::vector<unsigned char> info(size);
    if (size == 0 || ::GetFileVersionInfoW(path, 0, size, info.data()) == FALSE) {
        info.clear();
    }
    return info;
}

std::wstring versionString(std::vector<unsigned char>& info, const wchar_t* name)
{
    void* value = nullptr;
    UINT length = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\041604E4\\") + name;
    if (::VerQueryValueW(info.data(), key.c_str(), &value, &length) == FALSE || length == 0) {
        return L"<missing>";
    }
    return std::wstring(static_cast<const wchar_t*>(value), length - 1);
}

std::string resourceBytes(const wchar_t* name, const wchar_t* type)
{
    const HRSRC found = ::FindResourceW(nullptr, name, type);
    if (found == nullptr) {
        return {};
    }
    const HGLOBAL loaded = ::LoadResource(nullptr, found);
    const void* data = ::LockResource(loaded);
    return std::string(static_cast<const char*>(data), ::SizeofResource(nullptr, found));
}

TEST(WindowsResources, VersionInformationInBrazilianPortuguese)
{
    std::vector<unsigned char> info = ownVersionInfo();
    ASSERT_FALSE(info.empty());

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", &value, &length));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000U) << "1.0";
    EXPECT_EQ(fixed->dwFileVersionLS, 0U) << ".0.0";
    EXPECT_EQ(fixed->dwProductVersionMS, 0U);
    EXPECT_EQ(fixed->dwProductVersionLS, 0U);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, 4U);
    const auto* translation = static_cast<const WORD*>(value);
    EXPECT_EQ(translation[0], 0x0416) << "Portuguese (Brazil)";

    EXPECT_EQ(versionString(info, L"FileDescription"), L"Backup do Glebarium");
    EXPECT_EQ(versionString(info, L"FileVersion"), L"1.0.0.0");
    EXPECT_EQ(versionString(info, L"ProductName"), L"BackupGlebarium");
    EXPECT_EQ(versionString(info, L"ProductVersion"), L"0.0.0.0");
}

TEST(WindowsResources, IconHasSixSizes)
{
#pragma pack(push, 2)
    struct GroupIconEntry
    {
        BYTE width;
        BYTE height;
        BYTE colours;
        BYTE reserved;
        WORD planes;
        WORD bitCount;
        DWORD bytes;
        WORD id;
    };
#pragma pack(pop)
    const std::string group = resourceBytes(L"MAINICON", MAKEINTRESOURCEW(14)); // RT_GROUP_ICON
    ASSERT_GE(group.size(), 6U);
    WORD count = 0;
    std::memcpy(&count, group.data() + 4, sizeof count);
    ASSERT_EQ(count, 6);
    ASSERT_EQ(group.size(), 6U + count * sizeof(GroupIconEntry));
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        GroupIconEntry entry{};
        std::memcpy(&entry, group.data() + 6 + i * sizeof entry, sizeof entry);
        EXPECT_EQ(entry.width, entry.height);
        sizes.push_back(entry.width == 0 ? 256 : entry.width);
    }
    EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48, 64, 128, 256}));
}

TEST(WindowsResources, ManifestAsksForAdministratorAndCommonControls6)
{
    const std::string manifest = resourceBytes(MAKEINTRESOURCEW(kTestManifestId), MAKEINTRESOURCEW(24)); // RT_MANIFEST
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>"),
              std::string::npos);
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(manifest.find("publicKeyToken=\"6595b64144ccf1df\""), std::string::npos);
}

} // namespace
