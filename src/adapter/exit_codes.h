// The utility's exit codes: the only report of a command. Below the front
// end so that every layer and the companion programs name them alike.
#pragma once

namespace fcboot {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFile = 2;
constexpr int kExitAdapterCommand = 4;
constexpr int kExitNoAdapter = 5;
constexpr int kExitBusy = 6;  // another fcboot program held the adapters all the while
constexpr int kExitNoSuchAdapter = 7;
constexpr int kExitBadLun = 8;
constexpr int kExitBadFlag = 16;
constexpr int kExitNoBootImage = 17;
constexpr int kExitOpenFailed = 255;

}  // namespace fcboot
