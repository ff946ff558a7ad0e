// The adapter's discovered node list, read from the driver into the adapter
// record, with the two host-owned bytes of each entry carried over from the
// list read before.
#include <cstdlib>

#include "adapter/adapter.h"
#include "adapter/bytes.h"
#include "adapter/nodelist_layout.h"
#include "adapter/srb.h"

namespace fcboot {

namespace {

std::uint64_t NodeKey(const std::uint8_t* entry) {
    return (static_cast<std::uint64_t>(LoadLe32(entry + kNodeKeyWord1)) << 32) |
           LoadLe32(entry + kNodeKeyWord2);
}

void CopyHostBytes(const std::uint8_t* from, std::uint8_t* to) {
    to[kNodeHostByte1] = from[kNodeHostByte1];
    to[kNodeHostByte2] = from[kNodeHostByte2];
}

// For every new entry, the host bytes of the first previous entry with the
// same key. Lists reach tens of thousands of entries and are read again on
// every refresh, so the previous list is indexed once by key in an
// open-addressed table of positions (first copy of a key only) and every
// new entry costs one lookup; without memory for the table the previous
// list is scanned once per new entry.
bool NoHostBytes(const std::uint8_t* list, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* entry = list + static_cast<std::size_t>(i) * kNodeEntrySize;
        if ((entry[kNodeHostByte1] | entry[kNodeHostByte2]) != 0) return false;
    }
    return true;
}

void CarryOverHostBytes(const std::uint8_t* previous, std::uint32_t previousCount,
                        std::uint8_t* current, std::uint32_t currentCount) {
    if (previousCount == 0 || currentCount == 0) return;
    // While neither list holds a host byte, every copy would write zeros
    // over zeros: one pass over each list settles it.
    if (NoHostBytes(previous, previousCount) && NoHostBytes(current, currentCount)) return;
    auto entryAt = [](const std::uint8_t* list, std::uint32_t j) {
        return list + static_cast<std::size_t>(j) * kNodeEntrySize;
    };
    // At most half full, so probe runs stay short.
    unsigned bits = 1;
    while ((std::size_t{1} << bits) < 2 * static_cast<std::size_t>(previousCount)) ++bits;
    const std::size_t slots = std::size_t{1} << bits;
    // Each slot holds a previous position plus one; 0 is free.
    // calloc: a large table comes as fresh zero pages, with no pass to clear it.
    std::uint32_t* table = static_cast<std::uint32_t*>(std::calloc(slots, sizeof(std::uint32_t)));
    if (table == nullptr) {
        for (std::uint32_t i = 0; i < currentCount; ++i) {
            std::uint8_t* entry = current + static_cast<std::size_t>(i) * kNodeEntrySize;
            for (std::uint32_t j = 0; j < previousCount; ++j) {
                if (NodeKey(entryAt(previous, j)) == NodeKey(entry)) {
                    CopyHostBytes(entryAt(previous, j), entry);
                    break;
                }
            }
        }
        return;
    }
    const std::size_t mask = slots - 1;
    auto home = [bits](std::uint64_t key) {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
    };
    for (std::uint32_t j = 0; j < previousCount; ++j) {
        const std::uint64_t key = NodeKey(entryAt(previous, j));
        std::size_t s = home(key);
        while (table[s] != 0 && NodeKey(entryAt(previous, table[s] - 1)) != key) s = (s + 1) & mask;
        if (table[s] == 0) table[s] = j + 1;  // a later copy of a key is never found
    }
    for (std::uint32_t i = 0; i < currentCount; ++i) {
        std::uint8_t* entry = current + static_cast<std::size_t>(i) * kNodeEntrySize;
        const std::uint64_t key = NodeKey(entry);
        for (std::size_t s = home(key); table[s] != 0; s = (s + 1) & mask) {
            const std::uint8_t* old = entryAt(previous, table[s] - 1);
            if (NodeKey(old) == key) {
                CopyHostBytes(old, entry);
                break;
            }
        }
    }
    std::free(table);
}

}  // namespace

NodeListOutcome FetchNodeList(HANDLE device, std::uint8_t** list, std::uint32_t* bytes) {
    *list = nullptr;
    *bytes = 0;
    std::uint32_t size = kNodeListFirstSize;
    std::uint8_t* buffer = static_cast<std::uint8_t*>(std::malloc(size));
    while (buffer != nullptr) {
        DWORD bytesReturned = 0;
        if (fcplat::DeviceIoControl(device, kIoctlGetNodeList, nullptr, 0, buffer, size,
                                    &bytesReturned, nullptr)) {
            // A driver that reports more bytes than the buffer holds is not
            // believed beyond the buffer.
            *list = buffer;
            *bytes = bytesReturned > size ? size : bytesReturned;
            return NodeListOutcome::Read;
        }
        // Any error but a short buffer means the driver keeps no list.
        const DWORD error = fcplat::GetLastError();
        std::free(buffer);
        if (error != fcplat::ERROR_INSUFFICIENT_BUFFER) return NodeListOutcome::NoList;
        if (size > kNodeListMaxSize / 2) return NodeListOutcome::TooLarge;
        size *= 2;
        buffer = static_cast<std::uint8_t*>(std::malloc(size));
    }
    return NodeListOutcome::NoMemory;
}

void ReadNodeList(PADAPTER adapter) {
    DiagTrace("ReadNodeList:\n");
    if (adapter->m_hDevice == INVALID_HANDLE_VALUE) {
        DiagTrace("Invalid file handle in ReadNodeList!!\n");
        return;
    }
    std::uint8_t* previous = adapter->NodeList;
    const std::uint32_t previousCount = previous != nullptr ? adapter->NodeAmt : 0;
    DiagTrace("NodeList currently contains %u nodes\n", static_cast<unsigned>(previousCount));
    adapter->NodeList = nullptr;
    adapter->NodeAmt = 0;

    std::uint8_t* list = nullptr;
    std::uint32_t bytes = 0;
    if (FetchNodeList(adapter->m_hDevice, &list, &bytes) != NodeListOutcome::Read) {
        DiagTrace("Returning in the middle of ReadNodeList\n");
        std::free(previous);
        return;
    }
    adapter->NodeList = list;
    adapter->NodeAmt = bytes / kNodeEntrySize;
    DiagTrace("Updating node amt to %u\n", static_cast<unsigned>(adapter->NodeAmt));
    for (std::uint32_t i = 0; g_DiagTrace && i < adapter->NodeAmt; ++i) {
        const std::uint8_t* entry = list + static_cast<std::size_t>(i) * kNodeEntrySize;
        DiagTrace("port %d, 0x%x, 0x%x\n", static_cast<int>(i),
                  static_cast<unsigned>(LoadLe32(entry + kNodeKeyWord1)),
                  static_cast<unsigned>(LoadLe32(entry + kNodeKeyWord2)));
    }
    if (previous != nullptr) {
        CarryOverHostBytes(previous, previousCount, adapter->NodeList, adapter->NodeAmt);
        DiagTrace("Freeing NodeList!\n");
        std::free(previous);
    }
    DiagTrace("Everything appears to be okay....\n");
}

}  // namespace fcboot
