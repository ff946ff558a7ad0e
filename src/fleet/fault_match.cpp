// Fault rules' `match`: which calls of a device a rule names.
#include <cstdio>

#include "adapter/srb.h"
#include "fleet/fleet.h"

namespace fcfleet {
namespace {

// Value of a hex digit, or -1.
int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ParseFaultMatch(const std::string& text, FaultMatch* match, std::string* error) {
    if (text == "open") {
        *match = {MatchKind::Open, 0};
        return true;
    }
    if (text == "bus_slot") {
        *match = {MatchKind::BusSlot, 0};
        return true;
    }
    if (text == "node_list") {
        *match = {MatchKind::NodeList, 0};
        return true;
    }
    const std::string ioctl = "ioctl:";
    const std::string mailbox = "mailbox:";
    if (text.compare(0, ioctl.size(), ioctl) == 0) {
        std::string digits = text.substr(ioctl.size());
        if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
            digits = digits.substr(2);
        if (digits.empty() || digits.size() > 8) {
            *error = "\"" + text + "\": expected ioctl:<ControlCode in hex>";
            return false;
        }
        std::uint32_t code = 0;
        for (char c : digits) {
            const int v = HexDigitValue(c);
            if (v < 0) {
                *error = "\"" + text + "\": expected ioctl:<ControlCode in hex>";
                return false;
            }
            code = (code << 4) | static_cast<std::uint32_t>(v);
        }
        const std::uint32_t known[] = {fcboot::RETURN_INFO, fcboot::ISSUE_MBOX,
                                       fcboot::ISSUE_MBOX_EXT, fcboot::GET_ADAPTER_ATTRIBUTES,
                                       fcboot::GET_ADAPTER_PORT_ATTRIBUTES,
                                       fcboot::REFRESH_INFORMATION};
        bool isKnown = false;
        for (std::uint32_t k : known) isKnown = isKnown || k == code;
        if (!isKnown) {
            *error = "\"" + text + "\": not a control code the driver serves";
            return false;
        }
        *match = {MatchKind::Ioctl, code};
        return true;
    }
    if (text.compare(0, mailbox.size(), mailbox) == 0) {
        std::string digits = text.substr(mailbox.size());
        if (digits.empty() || digits.size() > 3) {
            *error = "\"" + text + "\": expected mailbox:<command code 0-255>";
            return false;
        }
        std::uint32_t code = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') {
                *error = "\"" + text + "\": expected mailbox:<command code 0-255>";
                return false;
            }
            code = code * 10 + static_cast<std::uint32_t>(c - '0');
        }
        if (code > 255) {
            *error = "\"" + text + "\": expected mailbox:<command code 0-255>";
            return false;
        }
        *match = {MatchKind::Mailbox, code};
        return true;
    }
    *error = "\"" + text +
             "\": expected open, ioctl:<hex>, bus_slot, node_list or mailbox:<code>";
    return false;
}

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

}  // namespace fcfleet
