// Listing ports on Windows: the COM ports of the Ports device class, with
// their friendly names and the VID and PID in their hardware IDs, and the
// HID device interfaces, as `kestrav hid` takes them.
#if defined(_WIN32)

#include <windows.h>
// After <windows.h>:
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ports.h"

namespace kestrav_tool {
namespace {

std::string registry_text(HDEVINFO set, SP_DEVINFO_DATA &item, DWORD what) {
  char buf[512] = {0};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(set, &item, what, &type,
                                         reinterpret_cast<BYTE *>(buf),
                                         sizeof buf - 1, nullptr))
    return "";
  return buf;  // a multi-string's first entry
}

std::string port_name(HDEVINFO set, SP_DEVINFO_DATA &item) {
  HKEY key = SetupDiOpenDevRegKey(set, &item, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                  KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return "";
  char buf[64] = {0};
  DWORD size = sizeof buf - 1, type = 0;
  const bool ok =
      RegQueryValueExA(key, "PortName", nullptr, &type,
                       reinterpret_cast<BYTE *>(buf), &size) == ERROR_SUCCESS &&
      type == REG_SZ;
  RegCloseKey(key);
  return ok ? buf : "";
}

// "USB\VID_0403&PID_6001&REV_0600": the four hex digits after each tag.
std::string after(const std::string &id, const char *tag) {
  const size_t at = id.find(tag);
  if (at == std::string::npos || at + 4 + 4 > id.size() + 0) return "";
  std::string hex = id.substr(at + 4, 4);
  std::transform(hex.begin(), hex.end(), hex.begin(), ::tolower);
  return hex;
}

}  // namespace

std::vector<PortInfo> list_ports() {
  std::vector<PortInfo> ports;
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr,
                                      DIGCF_PRESENT);
  if (set != INVALID_HANDLE_VALUE) {
    SP_DEVINFO_DATA item{};
    item.cbSize = sizeof item;
    for (DWORD k = 0; SetupDiEnumDeviceInfo(set, k, &item); ++k) {
      PortInfo p;
      p.kind = "serial";
      p.path = port_name(set, item);
      if (p.path.compare(0, 3, "COM") != 0) continue;  // printers, say
      p.name = registry_text(set, item, SPDRP_FRIENDLYNAME);
      p.manufacturer = registry_text(set, item, SPDRP_MFG);
      const std::string id = registry_text(set, item, SPDRP_HARDWAREID);
      p.vid = after(id, "VID_");
      p.pid = after(id, "PID_");
      ports.push_back(p);
    }
    SetupDiDestroyDeviceInfoList(set);
  }
  std::sort(
      ports.begin(), ports.end(), [](const PortInfo &a, const PortInfo &b) {
        return a.path.size() != b.path.size() ? a.path.size() < b.path.size()
                                              : a.path < b.path;
      });
  for (const std::string &path : hid_device_paths()) {
    PortInfo p;
    p.kind = "hid";
    p.path = path;
    hid_attributes(path, p.vid, p.pid, p.product);
    ports.push_back(p);
  }
  return ports;
}

}  // namespace kestrav_tool

#endif  // _WIN32
