// Heap buffer of one "HBAAPI" request, released on every path out of the
// call that framed it.
#pragma once

#include <cstdint>
#include <new>

namespace fcboot {

struct HeapRequest {
    explicit HeapRequest(std::uint32_t size) : data(new (std::nothrow) std::uint8_t[size]) {}
    ~HeapRequest() { delete[] data; }
    HeapRequest(const HeapRequest&) = delete;
    HeapRequest& operator=(const HeapRequest&) = delete;
    std::uint8_t* data;
};

}  // namespace fcboot
