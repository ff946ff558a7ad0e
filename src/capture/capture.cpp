// Reading the server's devices one after another into a fleet: each is
// opened, asked only the requests that read (the adapter layer's and the
// boot configuration layer's own, framed and bounded as the utility frames
// and bounds them) and closed again. Nothing is ever written to a device.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "adapter/hba_records.h"
#include "adapter/mailbox_layout.h"
#include "adapter/nodelist_layout.h"
#include "bootcfg/bootcfg.h"
#include "capture/capture.h"
#include "frontend/frontend.h"
#include "platform/names.h"
#include "platform/output_file.h"
#include "platform/server_lock.h"

namespace fccapture {
namespace {

using fcboot::LoadLe32;
using fcfleet::DeviceConfig;

// Every device is read through slot 0 of the adapter table in turn, where
// the adapter layer's requests look for it.
constexpr std::uint32_t kSlot = 0;
constexpr std::uint32_t kMaxPortNumber = 255;

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

// Length of the UTF-8 sequence at s (at most n bytes), or 0 when it is none.
std::size_t Utf8Sequence(const unsigned char* s, std::size_t n) {
    const unsigned char c = s[0];
    if (c < 0x80) return 1;
    std::size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                         : c >= 0xE0 && c <= 0xEF ? 3
                         : c >= 0xF0 && c <= 0xF4 ? 4
                                                  : 0;
    if (length == 0 || length > n) return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((s[i] & 0xC0) != 0x80) return 0;
    // No overlong forms, no surrogates, nothing beyond U+10FFFF.
    if ((c == 0xE0 && s[1] < 0xA0) || (c == 0xED && s[1] > 0x9F) || (c == 0xF0 && s[1] < 0x90) ||
        (c == 0xF4 && s[1] > 0x8F))
        return 0;
    return length;
}

// A string field of a driver record, up to its terminator. A fleet file
// holds text, so a byte that is no part of UTF-8 text is kept as '?': no
// decision of the utility turns on such a byte (the maker and the port
// driver's name are plain letters), and the string keeps its length.
std::string FieldText(const std::uint8_t* field, std::size_t size) {
    const std::size_t n = fcboot::BoundedLength(reinterpret_cast<const char*>(field), size);
    std::string text;
    for (std::size_t at = 0; at < n;) {
        const std::size_t length = Utf8Sequence(field + at, n - at);
        if (length == 0) {
            text += '?';
            ++at;
        } else {
            text.append(reinterpret_cast<const char*>(field + at), length);
            at += length;
        }
    }
    return text;
}

// The record's fields into the device, and the driver name into the adapter
// record, where the port query takes its form from.
void ReadAttributes(const std::uint8_t* a, fcboot::PADAPTER adapter, DeviceConfig* d) {
    fcboot::CopyBoundedString(adapter->m_DriverName, fcboot::kNameFieldSize,
                              reinterpret_cast<const char*>(a + fcboot::kAttrDriverName),
                              fcboot::kAttrStringSize);
    d->manufacturer = FieldText(a + fcboot::kAttrManufacturer, fcboot::kAttrManufacturerSize);
    d->serial_number = FieldText(a + fcboot::kAttrSerialNumber, fcboot::kAttrSerialNumberSize);
    d->model = FieldText(a + fcboot::kAttrModel, fcboot::kAttrModelSize);
    d->model_description = FieldText(a + fcboot::kAttrModelDescription, fcboot::kAttrStringSize);
    d->driver_version = FieldText(a + fcboot::kAttrDriverVersion, fcboot::kAttrStringSize);
    d->driver_name = FieldText(a + fcboot::kAttrDriverName, fcboot::kAttrStringSize);
    std::memcpy(d->node_wwn.data(), a + fcboot::kAttrNodeWWN, 8);
    d->vendor_specific_id = LoadLe32(a + fcboot::kAttrVendorSpecificID);
    d->number_of_ports = LoadLe32(a + fcboot::kAttrNumberOfPorts);
}

void ReadNodes(fcboot::HANDLE device, DeviceConfig* d) {
    std::uint8_t* list = nullptr;
    std::uint32_t bytes = 0;
    switch (fcboot::FetchNodeList(device, &list, &bytes)) {
        case fcboot::NodeListOutcome::Read: break;
        case fcboot::NodeListOutcome::NoList: return;  // a driver that keeps none
        case fcboot::NodeListOutcome::TooLarge:
            d->incomplete.push_back("node list: larger than the 2 MiB the utility reads");
            return;
        case fcboot::NodeListOutcome::NoMemory:
            d->incomplete.push_back("node list: no memory to read it into");
            return;
    }
    // What the utility keeps of an entry: the two key words (the node's
    // name), the port address and the two host bytes.
    std::vector<fcfleet::NodeEntry> nodes;
    nodes.reserve(bytes / fcboot::kNodeEntrySize);
    for (std::size_t at = 0; at + fcboot::kNodeEntrySize <= bytes; at += fcboot::kNodeEntrySize) {
        const std::uint8_t* entry = list + at;
        fcfleet::NodeEntry node;
        const std::uint32_t high = LoadLe32(entry + fcboot::kNodeKeyWord1);
        const std::uint32_t low = LoadLe32(entry + fcboot::kNodeKeyWord2);
        for (std::size_t b = 0; b < 4; ++b) {
            node.wwn[b] = static_cast<std::uint8_t>(high >> (24 - 8 * b));
            node.wwn[b + 4] = static_cast<std::uint8_t>(low >> (24 - 8 * b));
        }
        node.fcid = LoadLe32(entry + fcboot::kNodeFcId) & 0xFFFFFFu;
        node.host_byte_1 = entry[fcboot::kNodeHostByte1];
        node.host_byte_2 = entry[fcboot::kNodeHostByte2];
        nodes.push_back(node);
    }
    std::free(list);
    d->node_list = std::move(nodes);
}

// Every word the directory walk reads, in the order it reads entries.
struct DirectoryWords {
    fcfleet::AdapterMemory words;
    std::vector<std::uint32_t> entries;  // word-aligned, as the firmware reads them
    std::set<std::uint32_t> seen;
};

bool RecordEntry(void* context, std::uint32_t address, const std::uint8_t* entry) {
    DirectoryWords& dir = *static_cast<DirectoryWords*>(context);
    const std::uint32_t at = address & ~3u;
    dir.entries.push_back(at);
    dir.seen.insert(at);
    for (std::uint32_t i = 0; i < fcboot::kBootImageEntryWords; ++i)
        dir.words[at + 4 * i] = LoadLe32(entry + 4 * i);
    // From an entry already read on, a walk only goes round again: every
    // word it could read is in hand.
    const std::uint32_t link = LoadLe32(entry);
    return link != fcboot::kBootImageDirectoryHead && dir.seen.count(link & ~3u) != 0;
}

// The directory as boot_images where its words are exactly the layout that
// list describes, else as the raw memory words: either way the walk reads
// the same words at the same addresses from the twin.
void ReadDirectory(DeviceConfig* d) {
    DirectoryWords dir;
    std::uint32_t head = 0;
    const fcboot::DirectoryWalk end =
        fcboot::WalkBootImageDirectory(kSlot, RecordEntry, &dir, &head);
    if (end == fcboot::DirectoryWalk::HeadUnread || end == fcboot::DirectoryWalk::ReadFailed)
        d->incomplete.push_back("boot image directory: a memory read failed after " +
                                std::to_string(dir.entries.size()) + " entries");
    if (end != fcboot::DirectoryWalk::HeadUnread) dir.words[fcboot::kBootImageDirectoryHead] = head;

    d->boot_images.clear();
    d->memory.clear();
    if (end == fcboot::DirectoryWalk::Closed) {
        DeviceConfig layout;
        if (head != fcboot::kBootImageDirectoryHead)
            for (std::uint32_t at : dir.entries)
                layout.boot_images.push_back(dir.words[at + fcboot::kEntryImageOffset]);
        const fcfleet::AdapterMemory expected = fcfleet::DeviceMemory(layout);
        bool same = true;
        for (const auto& w : dir.words) {
            const auto it = expected.find(w.first);
            same = same && w.second == (it == expected.end() ? 0u : it->second);
        }
        if (same) {
            d->boot_images = layout.boot_images;
            return;
        }
    }
    for (const auto& w : dir.words) {
        if (d->memory.empty() ||
            d->memory.back().address + 4 * d->memory.back().words.size() != w.first)
            d->memory.push_back(fcfleet::MemoryWords{w.first, {}});
        d->memory.back().words.push_back(w.second);
    }
}

// What a device of the served maker holds, past its first attribute query.
void ReadAdapter(fcboot::PADAPTER adapter, DeviceConfig* d) {
    const fcboot::HANDLE device = adapter->m_hDevice;
    std::vector<std::string>& problems = d->incomplete;
    // The driver re-reads what it reports, as the utility has it do before
    // it looks at the adapter for good.
    if (fcboot::SendRefreshRequest(device) != 0) problems.push_back("REFRESH_INFORMATION failed");
    std::uint8_t attributes[fcboot::kAdapterAttributesSize];
    if (fcboot::GetAdapterAttributes(kSlot, attributes) == 0)
        ReadAttributes(attributes, adapter, d);
    else
        problems.push_back("adapter attributes unreadable after the refresh");

    std::uint8_t port[fcboot::kPortAttributesSize];
    const std::uint32_t portResult = fcboot::GetAdapterPortAttributes(kSlot, 0, port);
    if (portResult == 0)
        std::memcpy(d->port_wwn.data(), port + fcboot::kPortPortWWN, 8);
    else
        problems.push_back("port attributes unreadable (" +
                           (portResult == 1 ? std::string("request failed")
                                            : "ReturnCode " + std::to_string(portResult)) +
                           ")");

    // The port driver alone answers GET_BUS_SLOT; validation asks it alone.
    std::uint32_t bus = 0, slot = 0;
    if (fcboot::IsPortDriverName(adapter->m_DriverName) &&
        !fcboot::GetBusSlot(device, &bus, &slot))
        problems.push_back("GET_BUS_SLOT failed");
    ReadNodes(device, d);

    std::uint8_t info[fcboot::kReturnInfoSize] = {};
    if (fcboot::GetReturnInfo(info, device) == 0) {
        d->pci_bus = LoadLe32(info + fcboot::kReturnInfoPciBus);
        d->pci_slot = LoadLe32(info + fcboot::kReturnInfoPciSlot);
        d->value_456 = fcboot::LoadLe64(info + fcboot::kReturnInfoValue456);
        d->value_472 = fcboot::LoadLe64(info + fcboot::kReturnInfoValue472);
    } else {
        problems.push_back("RETURN_INFO failed");
        d->pci_bus = bus;
        d->pci_slot = slot;
    }

    std::uint8_t block[fcboot::kMailboxSize];
    const std::uint32_t revision = fcboot::QueryRevision(kSlot, block);
    if (revision == 0) {
        d->revision_primary = LoadLe32(block + 8);
        d->revision_secondary = LoadLe32(block + 12);
    } else {
        problems.push_back("revision query (command 17) failed with status " + Hex(revision));
    }

    const struct {
        std::uint32_t number;
        std::uint8_t* bytes;
    } regions[] = {{fcboot::kBootSelectRegion, d->region4.data()},
                   {fcboot::kBiosBootRegion, d->region8.data()},
                   {fcboot::kEfibBootRegion, d->region10.data()}};
    for (const auto& region : regions)
        if (fcboot::ReadRegionImage(kSlot, region.number, region.bytes) != 0)
            problems.push_back("region " + std::to_string(region.number) + " unreadable");
    ReadDirectory(d);
}

// A device nobody could describe yet: every field empty or zero.
DeviceConfig Blank(std::uint32_t port) {
    DeviceConfig d;
    d.port = port;
    d.manufacturer.clear();
    d.number_of_ports = 0;
    return d;
}

// Reads the device at `path`; false when no device is there.
bool CaptureDevice(std::uint32_t port, const char* path, DeviceConfig* d) {
    *d = Blank(port);
    const fcboot::HANDLE device = fcboot::OpenPortDevice(path);
    if (device == INVALID_HANDLE_VALUE) {
        const fcboot::DWORD error = fcplat::GetLastError();
        if (error == fcplat::ERROR_FILE_NOT_FOUND || error == fcplat::ERROR_PATH_NOT_FOUND)
            return false;
        // Seen by the utility as no device at all: the twin answers nothing
        // either.
        d->attributes_fail = true;
        d->incomplete.push_back(error == fcplat::ERROR_ACCESS_DENIED
                                    ? "open refused: access denied (Windows error 5); the capture "
                                      "must run as an administrator"
                                    : "open failed with Windows error " + std::to_string(error));
        return true;
    }
    fcboot::PADAPTER adapter = fcboot::NewAdapterRecord();
    if (adapter == nullptr) {
        fcplat::CloseHandle(device);
        d->attributes_fail = true;
        d->incomplete.push_back("no memory to read the device");
        return true;
    }
    adapter->m_hDevice = device;
    adapter->m_AdapterIndex = kSlot;
    fcboot::CopyBoundedString(adapter->m_AdapterName, fcboot::kNameFieldSize, path,
                              fcboot::kNameFieldSize);
    fcboot::g_Adapters[kSlot] = adapter;

    std::uint8_t attributes[fcboot::kAdapterAttributesSize];
    if (fcboot::GetAdapterAttributes(kSlot, attributes) != 0) {
        // The utility passes such a device over; so does the twin.
        d->attributes_fail = true;
    } else {
        ReadAttributes(attributes, adapter, d);
        // Another maker's device is asked nothing beyond what the utility
        // asks it: its attributes.
        if (fcboot::IsServedManufacturer(attributes)) ReadAdapter(adapter, d);
    }
    fcplat::CloseHandle(adapter->m_hDevice);
    fcboot::FreeAdapterRecord(adapter);
    fcboot::g_Adapters[kSlot] = nullptr;
    return true;
}

// Every device of the server in port order, each handed to `take` as soon
// as it is read; false from `take` ends the capture.
template <class Take>
void CaptureEach(Take take) {
    fcboot::ResetAdapterAccessState();
    for (const fcboot::DeviceNameEntry* entry = fcboot::kDeviceNameTable; entry->prefix != nullptr;
         ++entry) {
        for (std::uint32_t port = 0; port <= kMaxPortNumber; ++port) {
            char path[fcboot::kNameFieldSize];
            std::snprintf(path, sizeof path, "\\\\.\\%s%u:", entry->prefix,
                          static_cast<unsigned>(port));
            DeviceConfig d;
            if (CaptureDevice(port, path, &d) && !take(std::move(d))) return;
        }
    }
}

}  // namespace

fcfleet::Fleet CaptureServer() {
    fcfleet::Fleet fleet;
    CaptureEach([&fleet](DeviceConfig&& d) {
        fleet.devices.push_back(std::move(d));
        return true;
    });
    return fleet;
}

namespace {

int CaptureLocked(const std::string& path, std::FILE* err, const char* program);

}  // namespace

int RunCapture(const std::string& path, std::FILE* err, const char* program) {
    // A pipe, a socket, a device or a folder is refused before any wait.
    if (!fcplat::IsOutputTarget(path.c_str())) {
        fcplat::PrintText(err, "%s: cannot write %s\n", program, path.c_str());
        return kCaptureFile;
    }
    // Like a save, a capture waits while another fcboot program works on
    // the adapters: a twin read half-way through a load is no server's.
    if (fcplat::TakeServerLock(fcboot::g_ServerLockWaitMs) == fcplat::ServerLock::Busy) {
        fcplat::PrintText(err, "%s: another fcboot program is using the adapters; nothing was done\n",
                          program);
        return kCaptureBusy;
    }
    const int status = CaptureLocked(path, err, program);
    fcplat::ReleaseServerLock();
    return status;
}

namespace {

int CaptureLocked(const std::string& path, std::FILE* err, const char* program) {
    // The file is opened before any device is read, so that a target that
    // cannot be written is said as such whatever the adapters. Each device
    // goes to it as soon as it is read, so that the largest node lists are
    // never all held at once.
    fcplat::OutputFile file;
    if (!fcplat::OpenOutputFile(path.c_str(), false, &file)) {
        fcplat::PrintText(err, "%s: cannot write %s\n", program, path.c_str());
        return kCaptureFile;
    }
    const fcfleet::TextSink put = [&file](const char* data, std::size_t size) {
        return fcplat::WriteOutputFile(&file, data, size);
    };
    bool written = fcfleet::WriteFleetHead(put, fcfleet::Fleet().fleet_version), incomplete = false;
    std::size_t devices = 0;
    CaptureEach([&](DeviceConfig&& d) {
        for (const std::string& problem : d.incomplete)
            fcplat::PrintText(err, "%s: port %u: %s\n", program, static_cast<unsigned>(d.port),
                              problem.c_str());
        incomplete = incomplete || !d.incomplete.empty();
        written = written && fcfleet::WriteFleetDevice(put, d, devices == 0);
        ++devices;
        return true;
    });
    written = written && fcfleet::WriteFleetTail(put, devices != 0);
    written = fcplat::CloseOutputFile(&file) && written;
    if (devices == 0) {
        // Without a device nothing is written: a file there stays as it was.
        fcplat::PlaceOutputFile(&file, false);
        fcplat::PrintText(
            err, "%s: no device at \\\\.\\Scsi0: to \\\\.\\Scsi255:; nothing written\n", program);
        return kCaptureNoDevice;
    }
    // Like a failed save, an incomplete capture replaces no file: that may
    // be the good twin of the server.
    const bool kept = !incomplete || !file.existed;
    if (!fcplat::PlaceOutputFile(&file, written && kept) || !written) {
        fcplat::PrintText(err, "%s: cannot write %s\n", program, path.c_str());
        return kCaptureFile;
    }
    if (!kept)
        fcplat::PrintText(err, "%s: %s left as it was: an incomplete capture replaces no file\n",
                          program, path.c_str());
    return incomplete ? kCaptureIncomplete : kCaptureOk;
}

}  // namespace

}  // namespace fccapture
