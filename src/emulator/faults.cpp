// Fault rules: which calls a rule matches, and which calls it affects.
#include "adapter/srb.h"
#include "emulator/emulator_internal.h"

namespace fcemu {
namespace detail {
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

FaultEffects TakeFaults(DeviceState& device, MatchKind kind, std::uint32_t code) {
    FaultEffects effects;
    const std::vector<FaultRule>& rules = device.config.faults;
    for (std::size_t i = 0; i < rules.size() && i < device.matches.size(); ++i) {
        const FaultMatch& m = device.matches[i];
        if (m.kind != kind) continue;
        if ((kind == MatchKind::Ioctl || kind == MatchKind::Mailbox) && m.code != code) continue;
        const std::uint32_t n = device.matched[i]++;
        const FaultRule& rule = rules[i];
        if (n < rule.skip) continue;
        if (rule.times && n - rule.skip >= *rule.times) continue;
        switch (rule.effect) {
            case FaultRule::Effect::Fail: effects.fail = rule.value; break;
            case FaultRule::Effect::ReturnCode: effects.return_code = rule.value; break;
            case FaultRule::Effect::MbxStatus: effects.mbx_status = rule.value; break;
            case FaultRule::Effect::DeliverBytes: effects.deliver_bytes = rule.value; break;
            case FaultRule::Effect::State: effects.state = rule.value; break;
        }
    }
    return effects;
}

}  // namespace detail
}  // namespace fcemu
