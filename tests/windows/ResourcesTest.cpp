// The built programs' resources, read back from the .exe files as Windows reads them: the
// manifest (common controls 6, per-monitor DPI awareness v2, longPathAware, asInvoker), the icon
// and the version resource.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/WideText.h"

namespace {

struct Program {
    const char* path;
    const char* description;
};

std::vector<Program> Programs() {
    std::vector<Program> programs = {
        {KS_CLI_EXE, "Keystation console station"},
        {KS_KDBTOOL_EXE, "Keystation key database tool"},
    };
#ifdef KS_GUI_EXE
    programs.push_back({KS_GUI_EXE, "Keystation, the key provisioning station"});
#endif
    return programs;
}

std::string Resource(HMODULE module, LPCWSTR type, LPCWSTR name) {
    HRSRC found = ::FindResourceW(module, name, type);
    if (found == nullptr) {
        return std::string();
    }
    HGLOBAL loaded = ::LoadResource(module, found);
    const DWORD size = ::SizeofResource(module, found);
    const void* data = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    return data != nullptr ? std::string(static_cast<const char*>(data), size) : std::string();
}

std::string VersionString(const std::vector<uint8_t>& info, const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
    if (!::VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) ||
        length == 0) {
        return std::string();
    }
    return ks::Utf8FromWide(std::wstring_view(value, length - 1));
}

TEST(WindowsResources, EveryProgramCarriesItsManifestIconAndVersion) {
    for (const Program& program : Programs()) {
        SCOPED_TRACE(program.path);
        const std::wstring path = ks::WidePath(program.path);
        HMODULE module = ::LoadLibraryExW(
            path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr) << ::GetLastError();
        const std::string manifest = Resource(module, RT_MANIFEST, MAKEINTRESOURCEW(1));
        EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
                  std::string::npos);
        EXPECT_NE(manifest.find(">PerMonitorV2, PerMonitor</dpiAwareness>"), std::string::npos);
        EXPECT_NE(manifest.find(">true/pm</dpiAware>"), std::string::npos);
        EXPECT_NE(manifest.find(">true</longPathAware>"), std::string::npos);
        EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
        // Windows 7 and 10 among the supported systems.
        EXPECT_NE(manifest.find("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"), std::string::npos);
        EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
        EXPECT_FALSE(Resource(module, RT_GROUP_ICON, MAKEINTRESOURCEW(1)).empty());
        HICON icon = static_cast<HICON>(
            ::LoadImageW(module, MAKEINTRESOURCEW(1), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
        EXPECT_NE(icon, nullptr);
        if (icon != nullptr) {
            ::DestroyIcon(icon);
        }
        ::FreeLibrary(module);

        DWORD ignored = 0;
        const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_GT(size, 0u);
        std::vector<uint8_t> info(size);
        ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
        EXPECT_EQ(VersionString(info, L"FileDescription"), program.description);
        EXPECT_EQ(VersionString(info, L"ProductName"), "Keystation");
        EXPECT_EQ(VersionString(info, L"ProductVersion"), KS_VERSION);
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(
            ::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    }
}

}  // namespace
