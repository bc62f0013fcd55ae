// Board search on Windows: the present interfaces of the HID class, each opened without access
// rights to read its vendor and product (HidD_GetAttributes) and serial number; the link's
// interface is the one whose path names it ("&mi_01").
#include "host/link/hidraw_search.h"

#include <windows.h>

#include <setupapi.h>
// The HID class's header declares C functions without saying so to C++.
extern "C" {
#include <hidsdi.h>
}
// The system's headers define `interface` as a keyword of their own; here it is the identity's.
#undef interface

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The serial number the device reports, as UTF-8; empty when it has none.
std::string serial_of(HANDLE device)
{
    wchar_t wide[128] = {};
    if (!HidD_GetSerialNumberString(device, wide, sizeof wide - sizeof wide[0]))
        return "";
    char text[512] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text - 1, nullptr, nullptr);
    return text;
}

struct device_list_free {
    void operator()(HDEVINFO list) const { SetupDiDestroyDeviceInfoList(list); }
};

} // namespace

std::vector<found_board> find_boards(const std::string&, const usb_identity& identity)
{
    std::vector<found_board> boards;
    GUID hid;
    HidD_GetHidGuid(&hid);
    std::unique_ptr<void, device_list_free> list(
        SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (list.get() == INVALID_HANDLE_VALUE)
        return boards;
    char interface_tag[16];
    snprintf(interface_tag, sizeof interface_tag, "&mi_%02x", identity.interface);
    SP_DEVICE_INTERFACE_DATA entry{};
    entry.cbSize = sizeof entry;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(list.get(), nullptr, &hid, i, &entry); i++) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(list.get(), &entry, nullptr, 0, &size, nullptr);
        std::vector<char> buffer(size + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(list.get(), &entry, detail, size, nullptr, nullptr))
            continue;
        std::string path = detail->DevicePath;
        HANDLE device = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (device == INVALID_HANDLE_VALUE)
            continue;
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        bool ours = HidD_GetAttributes(device, &attributes) && attributes.VendorID == identity.vendor &&
                    attributes.ProductID == identity.product && lower(path).find(interface_tag) != std::string::npos;
        if (ours)
            boards.push_back({path, serial_of(device), path});
        CloseHandle(device);
    }
    std::sort(boards.begin(), boards.end(), [](const found_board& a, const found_board& b) { return a.node < b.node; });
    return boards;
}
