// The adapter's discovered node list, read from the driver into the adapter
// record, with the two host-owned bytes of each entry carried over from the
// list read before.
#include <algorithm>
#include <cstdlib>
#include <new>

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
// same key. Lists reach tens of thousands of entries, so the previous list
// is searched through an index sorted by (key, position) rather than
// scanned once per new entry; without memory for the index it is scanned.
void CarryOverHostBytes(const std::uint8_t* previous, std::uint32_t previousCount,
                        std::uint8_t* current, std::uint32_t currentCount) {
    if (previousCount == 0 || currentCount == 0) return;
    std::uint32_t* order = new (std::nothrow) std::uint32_t[previousCount];
    if (order == nullptr) {
        for (std::uint32_t i = 0; i < currentCount; ++i) {
            std::uint8_t* entry = current + static_cast<std::size_t>(i) * kNodeEntrySize;
            for (std::uint32_t j = 0; j < previousCount; ++j) {
                const std::uint8_t* old = previous + static_cast<std::size_t>(j) * kNodeEntrySize;
                if (NodeKey(old) == NodeKey(entry)) {
                    CopyHostBytes(old, entry);
                    break;
                }
            }
        }
        return;
    }
    auto keyAt = [previous](std::uint32_t j) {
        return NodeKey(previous + static_cast<std::size_t>(j) * kNodeEntrySize);
    };
    for (std::uint32_t j = 0; j < previousCount; ++j) order[j] = j;
    std::sort(order, order + previousCount, [&](std::uint32_t a, std::uint32_t b) {
        std::uint64_t ka = keyAt(a), kb = keyAt(b);
        return ka != kb ? ka < kb : a < b;
    });
    for (std::uint32_t i = 0; i < currentCount; ++i) {
        std::uint8_t* entry = current + static_cast<std::size_t>(i) * kNodeEntrySize;
        const std::uint64_t key = NodeKey(entry);
        const std::uint32_t* found = std::lower_bound(
            order, order + previousCount, key,
            [&](std::uint32_t j, std::uint64_t k) { return keyAt(j) < k; });
        if (found != order + previousCount && keyAt(*found) == key)
            CopyHostBytes(previous + static_cast<std::size_t>(*found) * kNodeEntrySize, entry);
    }
    delete[] order;
}

}  // namespace

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

    std::uint32_t size = kNodeListFirstSize;
    std::uint8_t* buffer = static_cast<std::uint8_t*>(std::malloc(size));
    DWORD bytesReturned = 0;
    bool haveList = false;
    while (buffer != nullptr) {
        bytesReturned = 0;
        if (fcplat::DeviceIoControl(adapter->m_hDevice, kIoctlGetNodeList, nullptr, 0, buffer, size,
                                    &bytesReturned, nullptr)) {
            haveList = true;
            break;
        }
        // Any error but a short buffer means the driver keeps no list.
        if (fcplat::GetLastError() != fcplat::ERROR_INSUFFICIENT_BUFFER) break;
        if (size > kNodeListMaxSize / 2) break;
        size *= 2;
        std::free(buffer);
        buffer = static_cast<std::uint8_t*>(std::malloc(size));
    }

    if (!haveList) {
        DiagTrace("Returning in the middle of ReadNodeList\n");
        std::free(buffer);
        std::free(previous);
        return;
    }
    // A driver that reports more bytes than the buffer holds is not
    // believed beyond the buffer.
    if (bytesReturned > size) bytesReturned = size;
    adapter->NodeList = buffer;
    adapter->NodeAmt = bytesReturned / kNodeEntrySize;
    DiagTrace("Updating node amt to %u\n", static_cast<unsigned>(adapter->NodeAmt));
    if (previous != nullptr) {
        CarryOverHostBytes(previous, previousCount, adapter->NodeList, adapter->NodeAmt);
        DiagTrace("Freeing NodeList!\n");
        std::free(previous);
    }
    DiagTrace("Everything appears to be okay....\n");
}

}  // namespace fcboot
