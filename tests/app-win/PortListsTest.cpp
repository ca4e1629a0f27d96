#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "PortList.h"
#include "PortLists.h"

namespace {
const char kTestKey[] = "Software\\KestrelTests\\SerialComm";

std::vector<std::string> Texts(const std::vector<CString>& entries) {
    std::vector<std::string> out;
    for (const CString& e : entries) out.push_back(e.Str());
    return out;
}

std::vector<CString> Entries(const std::vector<std::string>& texts) {
    return std::vector<CString>(texts.begin(), texts.end());
}

std::vector<std::string> ComboEntries(HWND hCombo) {
    std::vector<std::string> out;
    int count = static_cast<int>(::SendMessageA(hCombo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        char text[MAX_PATH] = {};
        ::SendMessageA(hCombo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        out.push_back(text);
    }
    return out;
}

HWND CreateCombo(DWORD extraStyle) {
    return ::CreateWindowExA(0, "COMBOBOX", "", WS_POPUP | CBS_DROPDOWNLIST | extraStyle, 0, 0, 100,
                             200, nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr);
}

// A private device map under the current user, with values in the order given.
class DeviceMap : public testing::Test {
protected:
    void TearDown() override { ::RegDeleteKeyA(HKEY_CURRENT_USER, kTestKey); }
    void Register(const std::vector<std::pair<std::string, std::string>>& values) {
        HKEY hKey = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0,
                                                   KEY_ALL_ACCESS, nullptr, &hKey, nullptr));
        for (const auto& v : values) {
            ::RegSetValueExA(hKey, v.first.c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(v.second.c_str()),
                             static_cast<DWORD>(v.second.size() + 1));
        }
        ::RegCloseKey(hKey);
    }
};
}  // namespace

TEST(BaudRates, TheConstantGivesTenRatesInOrder) {
    EXPECT_EQ((std::vector<std::string>{"1200", "2400", "4800", "9600", "19200", "38400", "43000",
                                        "56000", "57600", "115200"}),
              Texts(SplitBaudRates(kBaudRates)));
}

TEST(BaudRates, TrailingSemicolonMakesNoEmptyEntry) {
    EXPECT_EQ((std::vector<std::string>{"1", "22"}), Texts(SplitBaudRates("1;22;")));
    EXPECT_TRUE(SplitBaudRates("").empty());
}

TEST(BaudRates, ListKeepsTheConstantsOrderAndReplacesOldEntries) {
    HWND hCombo = CreateCombo(0);
    ASSERT_NE(nullptr, hCombo);
    ::SendMessageA(hCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("stale"));
    FillBaudList(hCombo);
    std::vector<std::string> entries = ComboEntries(hCombo);
    ASSERT_EQ(10u, entries.size());
    EXPECT_EQ("1200", entries.front());
    EXPECT_EQ("43000", entries[6]);
    EXPECT_EQ("56000", entries[7]);
    EXPECT_EQ("115200", entries.back());
    ::DestroyWindow(hCombo);
}

TEST_F(DeviceMap, ValueDataIsReadInEnumerationOrder) {
    // Names in creation and alphabetical order alike, so that any registry enumerates them
    // so; the data (what is listed) is in neither order.
    Register({{"\\Device\\SerialA", "COM7"},
              {"\\Device\\SerialB", "COM12"},
              {"\\Device\\SerialC", "COM3"}});
    EXPECT_EQ((std::vector<std::string>{"COM7", "COM12", "COM3"}),
              ReadSerialDeviceMap(HKEY_CURRENT_USER, kTestKey));
}

TEST_F(DeviceMap, KeyWithoutValuesGivesNoPorts) {
    Register({});
    EXPECT_TRUE(ReadSerialDeviceMap(HKEY_CURRENT_USER, kTestKey).empty());
}

TEST(DeviceMapMissing, KeyThatDoesNotOpenGivesNoPorts) {
    EXPECT_TRUE(ReadSerialDeviceMap(HKEY_CURRENT_USER, "Software\\KestrelTests\\Nowhere").empty());
}

TEST_F(DeviceMap, SortedListPutsTwoDigitNumbersBeforeLargerSingleDigits) {
    Register({{"a", "COM3"}, {"b", "COM12"}, {"c", "COM1"}, {"d", "COM9"}});
    HWND hCombo = CreateCombo(CBS_SORT);
    ASSERT_NE(nullptr, hCombo);
    FillComboBox(hCombo, Entries(ReadSerialDeviceMap(HKEY_CURRENT_USER, kTestKey)));
    EXPECT_EQ((std::vector<std::string>{"COM1", "COM12", "COM3", "COM9"}), ComboEntries(hCombo));
    ::DestroyWindow(hCombo);
}

TEST(SystemPortList, HoldsEverySerialPortTheSystemRegistered) {
    std::vector<std::string> registered =
        ReadSerialDeviceMap(HKEY_LOCAL_MACHINE, kSerialDeviceMapKey);
    HWND hCombo = CreateCombo(CBS_SORT);
    ASSERT_NE(nullptr, hCombo);
    FillPortList(hCombo);
    std::vector<std::string> listed = ComboEntries(hCombo);
    EXPECT_EQ(registered.size(), listed.size());
    for (const std::string& name : registered) {
        EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), name)) << name;
    }
    ::DestroyWindow(hCombo);
}
