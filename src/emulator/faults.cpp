// Fault rules: which calls a rule affects.
#include "emulator/emulator_internal.h"
#include "platform/server_lock.h"

namespace fcemu {
namespace detail {
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
            // Slow, not wrong: the call is then served as it would be.
            case FaultRule::Effect::DelayMs: fcplat::PauseMs(rule.value); break;
        }
    }
    return effects;
}

}  // namespace detail
}  // namespace fcemu
