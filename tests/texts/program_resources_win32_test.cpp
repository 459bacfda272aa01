// The resources compiled into Tidemark.exe and into the test programs, which
// link the same resource object: the string table agrees with the portable
// text table in both sets, and the version block, manifest and icon are as
// the program needs them.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "texts/string_resources_win32.h"

namespace tidemark {
namespace {

std::wstring programPath() {
    std::string path = TIDEMARK_PROGRAM_PATH;  // where the build put Tidemark.exe
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    for (char& c : path) if (c == '/') c = '\\';
    return std::wstring(path.begin(), path.end());
}

class ProgramFile : public ::testing::Test {
protected:
    void SetUp() override {
        module = LoadLibraryExW(programPath().c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr) << "error " << GetLastError();
    }
    void TearDown() override {
        if (module) FreeLibrary(module);
    }
    std::string resourceBytes(LPCWSTR name, LPCWSTR type) const {
        HRSRC found = FindResourceW(module, name, type);
        if (!found) return {};
        const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
        return std::string(data, SizeofResource(module, found));
    }
    HMODULE module = nullptr;
};

TEST(StringTable, TestProgramCarriesExactlyThePortableTexts) {
    EXPECT_EQ(stringResourcesOf(GetModuleHandleW(nullptr)), expectedStringResources());
}

TEST_F(ProgramFile, StringTableHoldsExactlyThePortableTextsInBothSets) {
    EXPECT_EQ(stringResourcesOf(module), expectedStringResources());
}

TEST_F(ProgramFile, VersionBlockNames2030InTheJapaneseUnicodeBlock) {
    const std::wstring path = programPath();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00020000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00030000u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00020000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00030000u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed->dwFileOS & 0xFFFF0000u, static_cast<DWORD>(VOS_NT));

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0411);
    EXPECT_EQ(translation[1], 1200);

    const std::pair<const wchar_t*, const wchar_t*> values[] = {
        {L"CompanyName", L"Tidemark"},    {L"FileDescription", L"Tidemark"},
        {L"InternalName", L"Tidemark"},   {L"ProductName", L"Tidemark"},
        {L"OriginalFilename", L"Tidemark.exe"},
        {L"FileVersion", L"2.0.3.0"},     {L"ProductVersion", L"2.0.3.0"},
    };
    for (const auto& [name, expected] : values) {
        std::wstring query = std::wstring(L"\\StringFileInfo\\041104b0\\") + name;
        wchar_t* value = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length))
            << std::string(query.begin(), query.end());
        EXPECT_EQ(std::wstring(value), expected);
    }
}

TEST_F(ProgramFile, ManifestAsksForCommonControls6AndTheInvokersRights) {
    const std::string manifest = resourceBytes(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(manifest.find("publicKeyToken=\"6595b64144ccf1df\""), std::string::npos);
    EXPECT_NE(manifest.find("level=\"asInvoker\" uiAccess=\"false\""), std::string::npos);
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(ProgramFile, Icon105Holds128And48PixelImagesOf32Bits) {
    const std::string group = resourceBytes(MAKEINTRESOURCEW(105), MAKEINTRESOURCEW(14));
    ASSERT_GE(group.size(), 6u);
    const WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
    ASSERT_EQ(count, 2);
    ASSERT_EQ(group.size(), 6u + count * sizeof(GroupIconEntry));
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        const auto* entry = reinterpret_cast<const GroupIconEntry*>(group.data() + 6 + i * sizeof(GroupIconEntry));
        EXPECT_EQ(entry->bitCount, 32);
        const std::string image = resourceBytes(MAKEINTRESOURCEW(entry->id), MAKEINTRESOURCEW(3));
        ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
        const auto* header = reinterpret_cast<const BITMAPINFOHEADER*>(image.data());
        EXPECT_EQ(header->biBitCount, 32);
        EXPECT_EQ(header->biWidth, entry->width == 0 ? 256 : entry->width);
        sizes.push_back(header->biWidth);
    }
    EXPECT_EQ(sizes, (std::vector<int>{128, 48}));
}

TEST(ProgramIcon, LoadsAtBothSizes) {
    for (int size : {128, 48}) {
        HICON icon = static_cast<HICON>(
            LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(105), IMAGE_ICON, size, size, 0));
        ASSERT_NE(icon, nullptr) << size;
        ICONINFO info{};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP bitmap{};
        GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
        EXPECT_EQ(bitmap.bmWidth, size);
        EXPECT_EQ(bitmap.bmHeight, size);
        if (info.hbmColor) DeleteObject(info.hbmColor);
        if (info.hbmMask) DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
}

}  // namespace
}  // namespace tidemark
