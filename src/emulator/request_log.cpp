// The request log: one JSON object per device call.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "emulator/emulator.h"

namespace fcemu {

std::string RequestRecord::ToJson() const {
    nlohmann::ordered_json j;
    j["seq"] = seq;
    j["op"] = op;
    // A call on a handle the driver never gave out names no device at all.
    if (port >= 0)
        j["port"] = port;
    else if (op == "open")
        j["path"] = path;
    j["ok"] = ok;
    if (!ok) j["error"] = error;
    // Codes and addresses read best in hex, as the fleet file writes them.
    auto hex = [](std::uint32_t v) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
        return std::string(text);
    };
    if (op == "ioctl") j["ioctl"] = hex(ioctl);
    auto put = [&j](const char* name, const std::optional<std::uint32_t>& v) {
        if (v) j[name] = *v;
    };
    if (control_code) j["control_code"] = hex(*control_code);
    put("size", size);
    put("return_code", return_code);
    put("mailbox", mailbox);
    put("mbx_status", mbx_status);
    put("region", region);
    put("offset", offset);
    put("words", words);
    if (address) j["address"] = hex(*address);
    put("step", step);
    put("selector", selector);
    put("in_words", in_words);
    put("size", node_list_size);
    if (!violation.empty()) j["violation"] = violation;
    // Paths and violation texts may hold any byte the caller sent.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace fcemu
