// fcboot-emu --show: a fleet as a person reads it. The fleet is served in
// this process and decoded by the utility's own code (discovery, model
// identification, the boot parameter reads, the directory walk), so the
// table says what fcboot would find, not what a second reading of the
// layouts thinks; only the power-on lines are the firmware's own answer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "adapter/hba_records.h"
#include "bootcfg/bootcfg.h"
#include "emulator/emulator.h"
#include "frontend/frontend.h"

namespace fcemu {
namespace {

std::string Name(const std::uint8_t* wwn) { return fcfleet::HexBytes(wwn, 8); }

// The port number of a device path "\\.\Scsi<n>:".
int PortOf(const char* path) {
    const char* digits = std::strpbrk(path, "0123456789");
    return digits != nullptr ? std::atoi(digits) : -1;
}

struct Images {
    std::string text;
    std::set<std::uint32_t> seen;
    std::uint32_t revisit = 0;
};

bool ListImage(void* context, std::uint32_t address, const std::uint8_t* entry) {
    Images& images = *static_cast<Images*>(context);
    images.seen.insert(address & ~3u);
    const std::uint32_t id = fcboot::LoadLe32(entry + fcboot::kEntryImageOffset);
    if (id != 0 && id != 0xFFFFFFFFu) {
        char text[64];
        std::snprintf(text, sizeof text, "%s0x%08X kind 0x%02X type %u",
                      images.text.empty() ? "" : "; ", static_cast<unsigned>(id),
                      entry[fcboot::kEntryKindOffset],
                      static_cast<unsigned>(entry[fcboot::kEntryTypeOffset]));
        images.text += text;
    }
    // A link back to an entry already listed would only list it again.
    const std::uint32_t link = fcboot::LoadLe32(entry);
    if (link != fcboot::kBootImageDirectoryHead && images.seen.count(link & ~3u) != 0) {
        images.revisit = link;
        return true;
    }
    return false;
}

std::string Directory(std::uint32_t n) {
    Images images;
    char text[96];
    switch (fcboot::WalkBootImageDirectory(n, ListImage, &images, nullptr)) {
        case fcboot::DirectoryWalk::Closed: return images.text.empty() ? "none" : images.text;
        case fcboot::DirectoryWalk::Stopped:
            std::snprintf(text, sizeof text, "malformed: the ring returns to 0x%08X, not to 0x%03X",
                          static_cast<unsigned>(images.revisit), fcboot::kBootImageDirectoryHead);
            return text;
        case fcboot::DirectoryWalk::Unclosed:
            std::snprintf(text, sizeof text, "malformed: no return to 0x%03X within %u entries",
                          fcboot::kBootImageDirectoryHead, fcboot::kMaxBootImageDirectoryEntries);
            return text;
        case fcboot::DirectoryWalk::HeadUnread:
        case fcboot::DirectoryWalk::ReadFailed: break;
    }
    return "malformed: a memory read failed";
}

// The boot image selection is one for both; the BIOS line shows it.
std::string Settings(const fcboot::BootParams& p, bool selection) {
    char text[128];
    std::snprintf(text, sizeof text, "enabled %u%s, boot device %s, LUN %u",
                  static_cast<unsigned>(p.HostAdapterBiosEnable),
                  !selection                ? ""
                  : p.SelectBootEnable != 0 ? ", boot device selected 1"
                                            : ", boot device selected 0",
                  Name(p.BootDeviceWWID).c_str(), static_cast<unsigned>(p.BootDeviceLUN));
    return text;
}

void ShowAdapter(std::uint32_t n, const Fleet& fleet, std::FILE* out) {
    const fcboot::PADAPTER adapter = fcboot::AdapterAt(n);
    std::fprintf(out, "adapter %u  %s\n", static_cast<unsigned>(n), adapter->m_AdapterName);
    fcboot::BootParams bios{};
    const bool named = fcboot::GetAdapterPortWWN(n, bios.WWID) == 0;
    std::fprintf(out, "  port name     %s\n", named ? Name(bios.WWID).c_str() : "unreadable");
    std::uint8_t attributes[fcboot::kAdapterAttributesSize] = {};
    fcboot::GetAdapterAttributes(n, attributes);
    const auto field = [&attributes](std::uint32_t offset, std::size_t size) {
        return std::string(
            reinterpret_cast<const char*>(attributes + offset),
            fcboot::BoundedLength(reinterpret_cast<const char*>(attributes + offset), size));
    };
    std::fprintf(out, "  node name     %s\n", Name(attributes + fcboot::kAttrNodeWWN).c_str());
    std::fprintf(out, "  manufacturer  %s\n",
                 field(fcboot::kAttrManufacturer, fcboot::kAttrManufacturerSize).c_str());
    const std::uint32_t model = fcboot::AdapterModel[n];
    char code[32];
    std::snprintf(code, sizeof code, model != 0 ? "0x%04X" : "unknown",
                  static_cast<unsigned>(model));
    std::fprintf(out, "  model         %s, model code %s\n",
                 field(fcboot::kAttrModel, fcboot::kAttrModelSize).c_str(), code);
    std::fprintf(
        out, "  driver        %s (%s)\n", adapter->m_DriverName,
        fcboot::GetDriverKind(n) == fcboot::kDriverKindPort ? "port driver" : "miniport driver");

    fcboot::BootParams efi = bios;
    std::fprintf(out, "  BIOS          %s\n",
                 !named                                   ? "unreadable"
                 : fcboot::ReadBootParamsBios(&bios) == 0 ? Settings(bios, true).c_str()
                                                          : "unreadable");
    std::fprintf(out, "  EFI           %s\n",
                 !named ? "unreadable"
                 : fcboot::ReadBootParamsEfib(&efi) == 0
                     ? ("valid, " + Settings(efi, false)).c_str()
                     : "not valid");
    std::fprintf(out, "  boot images   %s\n", Directory(n).c_str());
    std::fprintf(out, "  nodes         %u\n", static_cast<unsigned>(adapter->NodeAmt));
    // The firmware's own answer, from the adapter's state, not its replies.
    for (const DeviceConfig& d : fleet.devices) {
        if (static_cast<int>(d.port) != PortOf(adapter->m_AdapterName)) continue;
        const PowerOn p = PowerOnDecision(d);
        std::fprintf(out, "  power-on BIOS %s\n", PowerOnText(p.bios).c_str());
        std::fprintf(out, "  power-on EFI  %s\n", PowerOnText(p.efib).c_str());
    }
}

}  // namespace

int ShowFleet(const Fleet& described, std::FILE* out) {
    // What the adapters hold, not how a fault rule makes them answer.
    Fleet fleet = described;
    for (DeviceConfig& d : fleet.devices) d.faults.clear();
    fcboot::ResetUtilityState();
    StartServer(fleet);
    std::set<int> served;
    if (fcboot::OpenAdapters() == 0) {
        for (std::uint32_t n = 0; n < fcboot::GetAdapterCount(); ++n) {
            if (fcboot::AdapterAt(n) == nullptr) continue;
            if (n != 0) std::fputc('\n', out);
            ShowAdapter(n, fleet, out);
            served.insert(PortOf(fcboot::AdapterAt(n)->m_AdapterName));
        }
        fcboot::CloseAdapters();
    }
    StopServer();
    bool first = served.empty();
    for (const DeviceConfig& d : fleet.devices) {
        const bool other = served.count(static_cast<int>(d.port)) == 0;
        if (!other && d.incomplete.empty()) continue;
        if (!first) std::fputc('\n', out);
        first = false;
        // A device the capture could not open says so in its own lines.
        if (other && d.incomplete.empty())
            std::fprintf(out, "port %u  not an adapter fcboot serves: %s\n",
                         static_cast<unsigned>(d.port),
                         d.attributes_fail ? "its attribute query fails"
                                           : ("manufacturer \"" + d.manufacturer + "\"").c_str());
        for (const std::string& problem : d.incomplete)
            std::fprintf(out, "port %u  incomplete: %s\n", static_cast<unsigned>(d.port),
                         problem.c_str());
    }
    if (fleet.devices.empty()) std::fprintf(out, "no devices\n");
    return 0;
}

}  // namespace fcemu
