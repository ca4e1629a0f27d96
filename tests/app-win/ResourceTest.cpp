// The compiled resource script: dialog templates read back field by field, the icon group,
// the version block and the manifest.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <cstring>
#include <string>
#include <vector>

#include "resource.h"

namespace {
const WORD kChinesePrc = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
enum : WORD { kButton = 0x80, kEdit = 0x81, kStatic = 0x82, kComboBox = 0x85 };

struct ControlItem {
    DWORD exStyle;
    DWORD style;
    short x, y, cx, cy;
    int id;
    WORD classAtom;  // 0 when the class is named
    std::wstring className;
    std::wstring text;
    WORD textOrdinal;  // resource id of the text (icon statics), else 0
};

struct DialogTemplate {
    DWORD exStyle = 0;
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring caption;
    WORD pointSize = 0;
    WORD weight = 0;
    BYTE italic = 0;
    BYTE charset = 0;
    std::wstring face;
    bool hasMenu = false;
    std::vector<ControlItem> controls;
};

// Reads the extended template format (DIALOGEX) byte by byte.
class TemplateReader {
public:
    explicit TemplateReader(const BYTE* p) : m_base(p), m_p(p) {}
    template <class T>
    T Get() {
        T v;
        std::memcpy(&v, m_p, sizeof(T));
        m_p += sizeof(T);
        return v;
    }
    std::wstring String() {
        std::wstring s;
        for (WORD c; (c = Get<WORD>()) != 0;) s += static_cast<wchar_t>(c);
        return s;
    }
    // A name or an ordinal (0xFFFF followed by the ordinal).
    void NameOrOrdinal(std::wstring* name, WORD* ordinal) {
        WORD first = Get<WORD>();
        *ordinal = 0;
        name->clear();
        if (first == 0xFFFF) {
            *ordinal = Get<WORD>();
            return;
        }
        if (first == 0) return;
        *name += static_cast<wchar_t>(first);
        *name += String();
    }
    void AlignDword() {
        while ((m_p - m_base) % 4) ++m_p;
    }
    void Skip(size_t n) { m_p += n; }

private:
    const BYTE* m_base;
    const BYTE* m_p;
};

bool LoadDialog(int id, DialogTemplate* out) {
    HRSRC res = ::FindResourceExA(nullptr, MAKEINTRESOURCEA(5) /* RT_DIALOG */,
                                  MAKEINTRESOURCEA(id), kChinesePrc);
    if (!res) return false;
    const BYTE* p = static_cast<const BYTE*>(::LockResource(::LoadResource(nullptr, res)));
    TemplateReader r(p);
    if (r.Get<WORD>() != 1 || r.Get<WORD>() != 0xFFFF) return false;  // not DIALOGEX
    r.Get<DWORD>();                                                   // help id
    out->exStyle = r.Get<DWORD>();
    out->style = r.Get<DWORD>();
    WORD count = r.Get<WORD>();
    out->x = r.Get<short>();
    out->y = r.Get<short>();
    out->cx = r.Get<short>();
    out->cy = r.Get<short>();
    std::wstring name;
    WORD ordinal = 0;
    r.NameOrOrdinal(&name, &ordinal);
    out->hasMenu = !name.empty() || ordinal != 0;
    r.NameOrOrdinal(&name, &ordinal);  // window class
    out->caption = r.String();
    if (out->style & DS_SETFONT) {
        out->pointSize = r.Get<WORD>();
        out->weight = r.Get<WORD>();
        out->italic = r.Get<BYTE>();
        out->charset = r.Get<BYTE>();
        out->face = r.String();
    }
    for (WORD i = 0; i < count; ++i) {
        r.AlignDword();
        ControlItem c;
        r.Get<DWORD>();  // help id
        c.exStyle = r.Get<DWORD>();
        c.style = r.Get<DWORD>();
        c.x = r.Get<short>();
        c.y = r.Get<short>();
        c.cx = r.Get<short>();
        c.cy = r.Get<short>();
        c.id = static_cast<int>(r.Get<DWORD>());
        r.NameOrOrdinal(&c.className, &c.classAtom);
        r.NameOrOrdinal(&c.text, &c.textOrdinal);
        r.Skip(r.Get<WORD>());  // creation data
        out->controls.push_back(c);
    }
    return true;
}

struct ExpectedControl {
    int id;
    WORD classAtom;
    const wchar_t* className;
    const wchar_t* text;
    short x, y, cx, cy;
    DWORD style;  // besides WS_CHILD | WS_VISIBLE
    DWORD exStyle;
};

// The main window's controls in template (and tab) order.
const ExpectedControl kMainControls[] = {
    {ID_APP_ABOUT, kButton, L"", L"关于软件", 3, 109, 50, 12, BS_PUSHBUTTON | WS_TABSTOP, 0},
    {IDC_PORT_LIST, kComboBox, L"", L"", 34, 12, 48, 83,
     CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL | WS_TABSTOP | WS_DISABLED, 0},
    {IDC_BAUD_LIST, kComboBox, L"", L"", 34, 27, 48, 74, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP,
     0},
    {IDC_STATIC, kStatic, L"", L"串口号", 4, 14, 27, 8, SS_RIGHT | WS_GROUP, 0},
    {IDC_STATIC, kStatic, L"", L"波特率", 7, 30, 24, 8, SS_RIGHT | WS_GROUP, 0},
    {IDC_STATIC, kButton, L"", L"配置", 0, 1, 91, 102, BS_GROUPBOX, WS_EX_DLGMODALFRAME},
    {IDC_FILE_PATH, kEdit, L"", L"", 59, 126, 295, 12,
     ES_LEFT | ES_AUTOHSCROLL | ES_READONLY | WS_BORDER | WS_TABSTOP, WS_EX_DLGMODALFRAME},
    {IDC_SELECT_FILE, kButton, L"", L"烧录文件", 3, 125, 50, 12, BS_PUSHBUTTON | WS_TABSTOP, 0},
    {IDC_VERIFY, kButton, L"", L"校验程序", 9, 72, 72, 10, BS_AUTOCHECKBOX | WS_TABSTOP, 0},
    {IDC_RUN_PROGRAM, kButton, L"", L"运行程序", 9, 84, 72, 10, BS_AUTOCHECKBOX | WS_TABSTOP, 0},
    {IDC_LOG, kEdit, L"", L"", 92, 0, 262, 103,
     ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL | WS_TABSTOP,
     WS_EX_CLIENTEDGE | WS_EX_DLGMODALFRAME},
    {IDC_START, kButton, L"", L"开始烧录", 298, 109, 50, 12, BS_PUSHBUTTON | WS_TABSTOP, 0},
    {IDC_CHIP_INFO, kButton, L"", L"读取芯片信息", 121, 109, 50, 12, BS_PUSHBUTTON | WS_TABSTOP, 0},
    {IDC_PROGRESS, 0, L"msctls_progress32", L"", 26, 139, 328, 6, 0, 0},
    {IDC_STATIC, kButton, L"", L"", 0, 102, 354, 23, BS_GROUPBOX, 0},
    {IDC_READ_FLASH, kButton, L"", L"读取FLASH", 180, 109, 50, 12, BS_PUSHBUTTON | WS_TABSTOP, 0},
    {IDC_ERASE_ALL, kButton, L"", L"擦除所有扇区(快)", 11, 45, 69, 10, BS_AUTORADIOBUTTON, 0},
    {IDC_ERASE_PAGES, kButton, L"", L"擦除代码区(慢)", 11, 55, 62, 10, BS_AUTORADIOBUTTON, 0},
    {IDC_STATIC, kButton, L"", L"", 4, 39, 81, 28, BS_GROUPBOX, 0},
    {IDC_STATIC, kButton, L"", L"", 4, 64, 81, 33, BS_GROUPBOX, 0},
    {IDC_CLEAR_LOG, kButton, L"", L"清空窗口", 239, 109, 50, 12, BS_PUSHBUTTON | WS_TABSTOP, 0},
    {IDC_RECONNECT, kButton, L"", L"重连ISP", 62, 109, 50, 12, BS_PUSHBUTTON | WS_TABSTOP, 0},
    {IDC_PERCENT, kStatic, L"", L"Static", 0, 137, 25, 8, SS_LEFT | SS_SUNKEN | WS_GROUP, 0},
};

void ExpectControl(const ExpectedControl& want, const ControlItem& got, size_t index) {
    SCOPED_TRACE("control " + std::to_string(index) + " id " + std::to_string(want.id));
    EXPECT_EQ(static_cast<WORD>(want.id), static_cast<WORD>(got.id));
    EXPECT_EQ(want.classAtom, got.classAtom);
    // Class names are case-insensitive; the resource compiler upper-cases them.
    EXPECT_EQ(0, ::lstrcmpiW(want.className, got.className.c_str())) << got.className.size();
    EXPECT_EQ(std::wstring(want.text), got.text);
    EXPECT_EQ(want.x, got.x);
    EXPECT_EQ(want.y, got.y);
    EXPECT_EQ(want.cx, got.cx);
    EXPECT_EQ(want.cy, got.cy);
    EXPECT_EQ(want.style | WS_CHILD | WS_VISIBLE, got.style);
    EXPECT_EQ(want.exStyle, got.exStyle);
}

std::string ResourceText(LPCSTR type, int id) {
    HRSRC res = ::FindResourceA(nullptr, MAKEINTRESOURCEA(id), type);
    if (!res) return std::string();
    const char* p = static_cast<const char*>(::LockResource(::LoadResource(nullptr, res)));
    return std::string(p, ::SizeofResource(nullptr, res));
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colourCount, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

BOOL CALLBACK CountName(HMODULE, LPCSTR, LPSTR, LONG_PTR count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

std::string VersionString(const std::vector<BYTE>& block, const char* name) {
    std::string path = std::string("\\StringFileInfo\\040904b0\\") + name;
    char* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueA(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length)) {
        return "<missing>";
    }
    return std::string(value);
}
}  // namespace

TEST(MainDialogTemplate, WindowIsAFixedSizeHiddenDialogWithItsCaptionAndFont) {
    DialogTemplate t;
    ASSERT_TRUE(LoadDialog(IDD_MAIN_DIALOG, &t));
    EXPECT_EQ(static_cast<DWORD>(WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_SETFONT), t.style);
    EXPECT_EQ(0u, t.style & WS_VISIBLE);
    EXPECT_EQ(0u, t.exStyle);
    EXPECT_EQ(355, t.cx);
    EXPECT_EQ(145, t.cy);
    EXPECT_FALSE(t.hasMenu);
    EXPECT_EQ(std::wstring(L"Kestrel串口烧录工具"), t.caption);
    EXPECT_EQ(9, t.pointSize);
    EXPECT_EQ(400, t.weight);
    EXPECT_EQ(0, t.italic);
    EXPECT_EQ(134, t.charset);
    EXPECT_EQ(std::wstring(L"微软雅黑"), t.face);
}

TEST(MainDialogTemplate, ControlsMatchInTabOrderFieldByField) {
    DialogTemplate t;
    ASSERT_TRUE(LoadDialog(IDD_MAIN_DIALOG, &t));
    const size_t expected = sizeof(kMainControls) / sizeof(kMainControls[0]);
    ASSERT_EQ(expected, t.controls.size());
    for (size_t i = 0; i < expected; ++i) ExpectControl(kMainControls[i], t.controls[i], i);
}

TEST(MainDialogTemplate, NoDefaultButtonAndNoOkOrCancelControl) {
    DialogTemplate t;
    ASSERT_TRUE(LoadDialog(IDD_MAIN_DIALOG, &t));
    for (const ControlItem& c : t.controls) {
        EXPECT_NE(IDOK, c.id);
        EXPECT_NE(IDCANCEL, c.id);
        if (c.classAtom == kButton) {
            EXPECT_NE(static_cast<DWORD>(BS_DEFPUSHBUTTON), c.style & 0xF);
        }
    }
}

TEST(AboutBoxTemplate, SmallModalBoxWithIconAndCentredText) {
    DialogTemplate t;
    ASSERT_TRUE(LoadDialog(IDD_ABOUT_BOX, &t));
    EXPECT_EQ(static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT),
              t.style);
    EXPECT_EQ(std::wstring(L"About"), t.caption);
    EXPECT_EQ(187, t.cx);
    EXPECT_EQ(108, t.cy);
    EXPECT_EQ(8, t.pointSize);
    EXPECT_EQ(std::wstring(L"MS Sans Serif"), t.face);
    ASSERT_EQ(2u, t.controls.size());

    const ControlItem& icon = t.controls[0];
    EXPECT_EQ(IDC_STATIC, static_cast<short>(icon.id));
    EXPECT_EQ(kStatic, icon.classAtom);
    EXPECT_EQ(IDI_APP_ICON, icon.textOrdinal);
    EXPECT_EQ(static_cast<DWORD>(SS_ICON), icon.style & SS_TYPEMASK);
    EXPECT_EQ(83, icon.x);
    EXPECT_EQ(10, icon.y);
    EXPECT_EQ(20, icon.cx);
    EXPECT_EQ(20, icon.cy);

    const ControlItem& text = t.controls[1];
    EXPECT_EQ(IDC_STATIC, static_cast<short>(text.id));
    EXPECT_EQ(kStatic, text.classAtom);
    EXPECT_EQ(static_cast<DWORD>(WS_CHILD | WS_VISIBLE | SS_CENTER | WS_GROUP), text.style);
    EXPECT_EQ(10, text.x);
    EXPECT_EQ(52, text.y);
    EXPECT_EQ(165, text.cx);
    EXPECT_EQ(43, text.cy);
    EXPECT_EQ(0u, text.text.find(L"Kestrel 烧录工具 v1.0\n\n"));
}

TEST(AppIcon, OneGroupWithA32AndA16PixelImageOfSixteenColours) {
    int groups = 0;
    ::EnumResourceNamesA(nullptr, MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */, CountName,
                         reinterpret_cast<LONG_PTR>(&groups));
    EXPECT_EQ(1, groups);
    std::string group = ResourceText(MAKEINTRESOURCEA(14), IDI_APP_ICON);
    ASSERT_GE(group.size(), 6u);
    WORD count = 0;
    std::memcpy(&count, group.data() + 4, sizeof(count));
    ASSERT_EQ(2, count);
    ASSERT_EQ(6u + 2 * sizeof(GroupIconEntry), group.size());
    GroupIconEntry entries[2];
    std::memcpy(entries, group.data() + 6, sizeof(entries));
    EXPECT_EQ(32, entries[0].width);
    EXPECT_EQ(32, entries[0].height);
    EXPECT_EQ(16, entries[1].width);
    EXPECT_EQ(16, entries[1].height);
    for (const GroupIconEntry& e : entries) {
        EXPECT_EQ(16, e.colourCount);
        EXPECT_EQ(4, e.bitCount);
    }
    EXPECT_NE(nullptr, ::LoadImageA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_APP_ICON),
                                    IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
}

TEST(VersionBlock, NamesTheProgramAndVersionOneZeroZeroOne) {
    char exe[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
    DWORD handle = 0;
    DWORD size = ::GetFileVersionInfoSizeA(exe, &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(::GetFileVersionInfoA(exe, 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(MAKELONG(0, 1), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(1, 0), fixed->dwFileVersionLS);
    EXPECT_EQ(MAKELONG(0, 1), fixed->dwProductVersionMS);
    EXPECT_EQ(MAKELONG(1, 0), fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_APP), fixed->dwFileType);
    EXPECT_EQ(static_cast<DWORD>(VOS__WINDOWS32), fixed->dwFileOS);

    EXPECT_EQ("1, 0, 0, 1", VersionString(block, "FileVersion"));
    EXPECT_EQ("1, 0, 0, 1", VersionString(block, "ProductVersion"));
    EXPECT_EQ("Kestrel_Bootloader Module", VersionString(block, "FileDescription"));
    EXPECT_EQ("Kestrel_Bootloader Module", VersionString(block, "ProductName"));
    EXPECT_EQ("Kestrel_Bootloader", VersionString(block, "InternalName"));
    EXPECT_EQ("Kestrel_Bootloader.exe", VersionString(block, "OriginalFilename"));

    DWORD* translation = nullptr;
    ASSERT_TRUE(::VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                                 reinterpret_cast<void**>(&translation), &length));
    EXPECT_EQ(MAKELONG(0x0409, 1200), *translation);
}

TEST(Manifest, AsksForTheInvokersRightsAndVersionSixControls) {
    std::string manifest = ResourceText(MAKEINTRESOURCEA(24) /* RT_MANIFEST */, 1);
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\""));
    EXPECT_NE(std::string::npos, manifest.find("uiAccess=\"false\""));
    EXPECT_NE(std::string::npos, manifest.find("name=\"Microsoft.Windows.Common-Controls\""));
    EXPECT_NE(std::string::npos, manifest.find("version=\"6.0.0.0\""));
    // x86 in the product; the 64-bit test tree's own architecture there.
    EXPECT_NE(std::string::npos,
              manifest.find("processorArchitecture=\"" KESTREL_MANIFEST_ARCH "\""));
}
