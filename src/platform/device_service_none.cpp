// Device service backend of builds other than Windows: there is no driver
// to serve.
#include "platform/device_service.h"

namespace fcplat {

DeviceServiceOutcome ServeDeviceRequests(const DeviceServiceRun&, int*, std::string* error) {
    *error = "serving the emulator's driver needs the Windows build (fcboot-emu.exe)";
    return DeviceServiceOutcome::NotStarted;
}

}  // namespace fcplat
