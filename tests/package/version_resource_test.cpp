// The Windows DLLs and programs carry the build's version in their version
// resource, in the numbers and in the texts that Explorer shows.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "kiv_version.h"

namespace {

std::string StringValue(const std::vector<char>& data, const char* name) {
    char* value = nullptr;
    UINT length = 0;
    std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueA(data.data(), path.c_str(), reinterpret_cast<void**>(&value), &length)) return "";
    return std::string(value, length > 0 ? length - 1 : 0);
}

TEST(VersionResource, EveryDllAndProgramCarriesTheBuildsVersion) {
    // Run in the build folder, where all of them lie.
    for (const char* file : {"KIVLINK.dll", "TAVLIB.DLL", "kivpoll.exe", "kivsim.exe"}) {
        SCOPED_TRACE(file);
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeA(file, &ignored);
        ASSERT_GT(size, 0u) << "no version resource";
        std::vector<char> data(size);
        ASSERT_TRUE(GetFileVersionInfoA(file, 0, size, data.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(DWORD((KIV_VERSION_MAJOR << 16) | KIV_VERSION_MINOR), fixed->dwFileVersionMS);
        EXPECT_EQ(DWORD(KIV_VERSION_PATCH << 16), fixed->dwFileVersionLS);
        EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
        EXPECT_EQ(KIV_VERSION, StringValue(data, "FileVersion"));
        EXPECT_EQ(KIV_VERSION, StringValue(data, "ProductVersion"));
        EXPECT_EQ(file, StringValue(data, "OriginalFilename"));
    }
}

}  // namespace
