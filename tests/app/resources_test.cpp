// The program's resources, as linked into this test program too.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/win.h"
#include "res/resource.h"

namespace {

TEST(Resources, Manifest) {
  const HMODULE self = ::GetModuleHandleW(nullptr);
  const HRSRC found =
      ::FindResourceExW(self, RT_MANIFEST, MAKEINTRESOURCEW(1), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
  ASSERT_TRUE(found);
  const std::string manifest(static_cast<const char*>(::LockResource(::LoadResource(self, found))),
                             ::SizeofResource(self, found));
  for (const char* needle : {
           "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\" "
           "processorArchitecture=\"amd64\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"",
           "<requestedExecutionLevel level=\"highestAvailable\" uiAccess=\"false\"/>",
           ">True</dpiAware>",
           "<supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>",  // Vista
           "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>",  // 7
           "<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>",  // 8
           "<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>",  // 8.1
           "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",  // 10
       })
    EXPECT_NE(manifest.find(needle), std::string::npos) << needle;
}

TEST(Resources, VersionRecord) {
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  DWORD handle = 0;
  std::vector<BYTE> block(::GetFileVersionInfoSizeW(self, &handle));
  ASSERT_FALSE(block.empty());
  ASSERT_TRUE(::GetFileVersionInfoW(self, 0, static_cast<DWORD>(block.size()), block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT cb = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &cb));
  // 1.0.1000.300, for the file and the product
  for (DWORD ms : {fixed->dwFileVersionMS, fixed->dwProductVersionMS}) EXPECT_EQ(ms, MAKELONG(0, 1));
  for (DWORD ls : {fixed->dwFileVersionLS, fixed->dwProductVersionLS}) EXPECT_EQ(ls, MAKELONG(300, 1000));
  for (const auto& s : {std::make_pair(L"CompanyName", L"Kestrova"), {L"FileDescription", L"Orlinth"},
                        {L"ProductName", L"Orlinth"}, {L"FileVersion", L"1.0.1000.300"},
                        {L"InternalName", L"vadrel.exe"}, {L"OriginalFilename", L"vadrel.exe"},
                        {L"ProductVersion", L"V1.00L10 M03"}}) {
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + s.first;
    wchar_t* value = nullptr;
    EXPECT_TRUE(::VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &cb) && value &&
                std::wstring(value) == s.second)
        << std::string(query.begin(), query.end());
  }
}

std::vector<WORD> Languages(LPCWSTR type, UINT id) {
  std::vector<WORD> found;
  ::EnumResourceLanguagesW(::GetModuleHandleW(nullptr), type, MAKEINTRESOURCEW(id),
                           [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR p) -> BOOL {
                             return reinterpret_cast<std::vector<WORD>*>(p)->push_back(language), TRUE;
                           },
                           reinterpret_cast<LONG_PTR>(&found));
  return found;
}

// Exactly the languages users get: English with the neutral sublanguage and Japanese.
TEST(Resources, Languages) {
  const std::vector<WORD> catalogue = {0x0009, 0x0411};
  EXPECT_EQ(Languages(RT_STRING, IDS_CAPTION / 16 + 1), catalogue);
  EXPECT_EQ(Languages(RT_STRING, IDS_UNEXPECTED_DRIVER / 16 + 1), catalogue);
  EXPECT_EQ(Languages(RT_GROUP_ICON, IDI_VADREL), std::vector<WORD>{0x0411});
  EXPECT_EQ(Languages(RT_GROUP_ICON, IDI_VADREL_ALT), std::vector<WORD>{0x0411});
}

}  // namespace
