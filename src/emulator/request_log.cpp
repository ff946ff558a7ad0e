// The request log: one JSON object per device call.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "adapter/mailbox_layout.h"
#include "adapter/srb.h"
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

bool RequestCounts::operator==(const RequestCounts& o) const {
    return opens == o.opens && closes == o.closes && attributes == o.attributes &&
           portQueries == o.portQueries && refreshes == o.refreshes &&
           returnInfo == o.returnInfo && busSlot == o.busSlot && nodeList == o.nodeList &&
           mbox17 == o.mbox17 && mbox23 == o.mbox23 && mbox27 == o.mbox27 &&
           mbox27Ext == o.mbox27Ext && mbox156 == o.mbox156 && other == o.other;
}

RequestCounts CountRequests(const std::vector<RequestRecord>& log) {
    RequestCounts c;
    for (const auto& r : log) {
        if (r.op == "open") {
            ++c.opens;
        } else if (r.op == "close") {
            ++c.closes;
        } else if (r.ioctl == fcboot::kIoctlGetBusSlot) {
            ++c.busSlot;
        } else if (r.ioctl == fcboot::kIoctlGetNodeList) {
            ++c.nodeList;
        } else if (r.mailbox) {
            const bool ext = r.control_code && *r.control_code == fcboot::ISSUE_MBOX_EXT;
            switch (*r.mailbox) {
                case fcboot::kMbxReadRevision: ++c.mbox17; break;
                case fcboot::kMbxDumpMemory: ++c.mbox23; break;
                case fcboot::kMbxUpdateConfig: ++(ext ? c.mbox27Ext : c.mbox27); break;
                case fcboot::kMbxBootImageStep: ++c.mbox156; break;
                default: ++c.other;
            }
        } else if (r.control_code) {
            switch (*r.control_code) {
                case fcboot::GET_ADAPTER_ATTRIBUTES: ++c.attributes; break;
                case fcboot::GET_ADAPTER_PORT_ATTRIBUTES: ++c.portQueries; break;
                case fcboot::REFRESH_INFORMATION: ++c.refreshes; break;
                case fcboot::RETURN_INFO: ++c.returnInfo; break;
                default: ++c.other;
            }
        } else {
            ++c.other;
        }
    }
    return c;
}

}  // namespace fcemu
