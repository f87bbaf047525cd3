// The resources built into the handler executable: the dialog template, the
// two icon groups with their sizes and bit depths, and the manifest.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/scoped_handle_win.h"
#include "tests/support/child_process_win.h"
#include "ui/crash_dialog_resources.h"
#include "ui/crash_dialog_win.h"

namespace nelko {
namespace {

constexpr WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
static_assert(kEnglishUs == 1033, "resources are in language 1033");

class HandlerResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_.reset(LoadLibraryExW(test::SiblingPath(L"NelkoCrashHandler.exe").c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module_) << GetLastError();
  }

  std::vector<BYTE> Resource(LPCWSTR type, LPCWSTR name) {
    HRSRC found = FindResourceExW(module_.get(), type, name, kEnglishUs);
    if (found == nullptr) return {};
    const BYTE* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module_.get(), found)));
    return std::vector<BYTE>(bytes, bytes + SizeofResource(module_.get(), found));
  }

  struct IconEntry {
    int size;
    int bit_count;
    WORD id;
  };

  std::vector<IconEntry> IconGroup(int id) {
    const std::vector<BYTE> group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(id));
    std::vector<IconEntry> entries;
    if (group.size() < 6) return entries;
    const int count = group[4] | (group[5] << 8);
    for (int i = 0; i < count && 6 + 14 * (i + 1) <= static_cast<int>(group.size()); ++i) {
      const BYTE* entry = group.data() + 6 + 14 * i;
      entries.push_back({entry[0] == 0 ? 256 : entry[0], entry[6] | (entry[7] << 8),
                         static_cast<WORD>(entry[12] | (entry[13] << 8))});
    }
    return entries;
  }

  // The bitmap header of one image: its bit depth, and whether its height
  // counts a mask below the colour plane.
  BITMAPINFOHEADER ImageHeader(WORD id) {
    BITMAPINFOHEADER header{};
    const std::vector<BYTE> image = Resource(RT_ICON, MAKEINTRESOURCEW(id));
    if (image.size() >= sizeof(header)) std::memcpy(&header, image.data(), sizeof(header));
    return header;
  }

  ScopedLibrary module_;
};

TEST_F(HandlerResourcesTest, TheApplicationIconHasNineSizesAt32Bits) {
  const std::vector<IconEntry> entries = IconGroup(IDI_APP_ICON);
  const int sizes[] = {16, 24, 32, 48, 64, 96, 128, 192, 256};
  ASSERT_EQ(entries.size(), 9u);
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].size, sizes[i]);
    EXPECT_EQ(entries[i].bit_count, 32);
    const BITMAPINFOHEADER header = ImageHeader(entries[i].id);
    EXPECT_EQ(header.biBitCount, 32);
    EXPECT_EQ(header.biWidth, sizes[i]);
    EXPECT_EQ(header.biHeight, 2 * sizes[i]);
  }
}

TEST_F(HandlerResourcesTest, TheBadgeHasSevenSizesInItsOrderAt24BitsWithMask) {
  const std::vector<IconEntry> entries = IconGroup(IDI_BADGE_ICON);
  const int sizes[] = {16, 96, 64, 32, 256, 128, 48};
  ASSERT_EQ(entries.size(), 7u);
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].size, sizes[i]);
    EXPECT_EQ(entries[i].bit_count, 24);
    const BITMAPINFOHEADER header = ImageHeader(entries[i].id);
    EXPECT_EQ(header.biBitCount, 24);
    EXPECT_EQ(header.biHeight, 2 * sizes[i]);  // colour plane and mask
  }
}

TEST_F(HandlerResourcesTest, TheFirstIconGroupIsTheApplicationIcon) {
  EXPECT_TRUE(IS_INTRESOURCE(MAKEINTRESOURCEW(IDI_APP_ICON)));
  ScopedIcon icon(LoadFirstIconOfExecutable(test::SiblingPath(L"NelkoCrashHandler.exe"), 128));
  ASSERT_NE(icon.get(), nullptr);
  ICONINFO info{};
  ASSERT_TRUE(GetIconInfo(icon.get(), &info));
  BITMAP bitmap{};
  GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
  EXPECT_EQ(bitmap.bmWidth, 128);
  EXPECT_EQ(bitmap.bmHeight, 128);
}

TEST(ExecutableIconTest, NoIconWithoutAnIconGroupOrAFile) {
  // The test program itself carries no icons.
  EXPECT_EQ(LoadFirstIconOfExecutable(test::SiblingPath(L"ui_win_test.exe"), 128), nullptr);
  EXPECT_EQ(LoadFirstIconOfExecutable(L"C:\\no\\such\\game.exe", 128), nullptr);
  EXPECT_EQ(LoadFirstIconOfExecutable(L"", 128), nullptr);
}

// Reads the extended dialog template field by field.
class TemplateReader {
 public:
  explicit TemplateReader(const std::vector<BYTE>& bytes) : bytes_(bytes) {}
  WORD Word() {
    WORD value = 0;
    if (at_ + 2 <= bytes_.size()) std::memcpy(&value, bytes_.data() + at_, 2);
    at_ += 2;
    return value;
  }
  DWORD Dword() {
    DWORD value = 0;
    if (at_ + 4 <= bytes_.size()) std::memcpy(&value, bytes_.data() + at_, 4);
    at_ += 4;
    return value;
  }
  short Short() { return static_cast<short>(Word()); }
  BYTE Byte() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
  std::wstring Text() {
    std::wstring text;
    for (WORD c = Word(); c != 0 && at_ <= bytes_.size(); c = Word()) text += static_cast<wchar_t>(c);
    return text;
  }
  // A name or ordinal: "#n" for an ordinal.
  std::wstring NameOrOrdinal() {
    if (at_ + 2 <= bytes_.size() && bytes_[at_] == 0xFF && bytes_[at_ + 1] == 0xFF) {
      Word();
      return L"#" + std::to_wstring(Word());
    }
    return Text();
  }
  void AlignDword() { at_ = (at_ + 3) & ~size_t{3}; }

 private:
  const std::vector<BYTE>& bytes_;
  size_t at_ = 0;
};

TEST_F(HandlerResourcesTest, TheDialogTemplateIsAsDesigned) {
  const std::vector<BYTE> bytes = Resource(RT_DIALOG, MAKEINTRESOURCEW(IDD_CRASH_DIALOG));
  ASSERT_FALSE(bytes.empty());
  TemplateReader reader(bytes);
  EXPECT_EQ(reader.Word(), 1);       // version
  EXPECT_EQ(reader.Word(), 0xFFFF);  // extended template
  EXPECT_EQ(reader.Dword(), 0u);     // help id
  EXPECT_EQ(reader.Dword(), 0u);     // extended style
  EXPECT_EQ(reader.Dword(), 0x80C008C8u);
  EXPECT_EQ(reader.Word(), 3);  // controls
  EXPECT_EQ(reader.Short(), 0);
  EXPECT_EQ(reader.Short(), 0);
  EXPECT_EQ(reader.Short(), 270);
  EXPECT_EQ(reader.Short(), 157);
  EXPECT_EQ(reader.NameOrOrdinal(), L"");  // no menu
  EXPECT_EQ(reader.NameOrOrdinal(), L"");  // default class
  EXPECT_EQ(reader.Text(), L"Nelko");
  EXPECT_EQ(reader.Word(), 8);  // points
  EXPECT_EQ(reader.Word(), 0);  // weight
  EXPECT_EQ(reader.Byte(), 0);  // italic
  EXPECT_EQ(reader.Byte(), 1);  // character set
  EXPECT_EQ(reader.Text(), L"MS Shell Dlg");

  struct Control {
    DWORD id;
    std::wstring class_name;
    std::wstring text;
    DWORD style;
    short x, y, cx, cy;
  };
  const Control expected[] = {
      {IDC_APP_ICON, L"static", L"#101", 0x50000003, 71, 7, 20, 20},
      {IDC_PROGRESS, L"msctls_progress32", L"", 0x50800000, 7, 142, 256, 8},
      {IDC_BADGE_ICON, L"static", L"#107", 0x50000003, 71, 7, 20, 20},
  };
  for (const Control& control : expected) {
    reader.AlignDword();
    EXPECT_EQ(reader.Dword(), 0u);  // help id
    EXPECT_EQ(reader.Dword(), 0u);  // extended style
    EXPECT_EQ(reader.Dword(), control.style) << control.id;
    EXPECT_EQ(reader.Short(), control.x);
    EXPECT_EQ(reader.Short(), control.y);
    EXPECT_EQ(reader.Short(), control.cx);
    EXPECT_EQ(reader.Short(), control.cy);
    EXPECT_EQ(reader.Dword(), control.id);
    // windres writes class names in upper case, and the static class by name
    // rather than as its ordinal 0x82; window classes are matched without
    // regard to case.
    const std::wstring class_name = reader.NameOrOrdinal();
    const bool static_ordinal = class_name == L"#130" && control.class_name == L"static";
    EXPECT_TRUE(static_ordinal || _wcsicmp(class_name.c_str(), control.class_name.c_str()) == 0)
        << class_name;
    EXPECT_EQ(reader.NameOrOrdinal(), control.text) << control.id;
    EXPECT_EQ(reader.Word(), 0);  // no creation data
  }
}

TEST_F(HandlerResourcesTest, TheManifestAsksForCommonControls6AndPerMonitorDpi) {
  const std::vector<BYTE> bytes = Resource(RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID);
  const std::string manifest(bytes.begin(), bytes.end());
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);
  EXPECT_NE(manifest.find("<dpiAware>True/PM</dpiAware>"), std::string::npos);
}

}  // namespace
}  // namespace nelko
