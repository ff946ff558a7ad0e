// The emulator's reply hook, which the hostile-driver fuzzing stands on: what
// the hook writes must be what the utility receives, the log must keep the
// reply as the driver built it, and a new server must start without a hook.
#include <gtest/gtest.h>

#include "adapter/hba_records.h"
#include "adapter/srb.h"
#include "frontend/frontend.h"
#include "support/harness.h"

namespace {

struct Seen {
    unsigned calls = 0;
    unsigned portQueries = 0;
};

// Rewrites the port world-wide name of every port query of the port driver.
void RenamePort(void* ctx, const fcemu::RequestRecord& r, std::uint8_t* reply, std::uint32_t size,
                std::uint32_t* bytesReturned) {
    Seen& seen = *static_cast<Seen*>(ctx);
    ++seen.calls;
    EXPECT_TRUE(r.ok);
    EXPECT_LE(*bytesReturned, size);
    if (r.control_code && *r.control_code == fcboot::GET_ADAPTER_PORT_ATTRIBUTES && r.port == 0) {
        ++seen.portQueries;
        std::uint8_t* wwn =
            reply + fcboot::kPortAttributesRecordOffsetPortDriver + fcboot::kPortPortWWN;
        for (int i = 0; i < 8; ++i) wwn[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
}

TEST(ReplyMutator, TheUtilityGetsTheAlteredReplyAndANewServerHasNoHook) {
    const std::string dir = fctest::TempDir();
    const std::string file = dir + "/boot.cfg";
    const fcemu::Fleet fleet = fcemu::DemoFleet();

    Seen seen;
    fcboot::ResetUtilityState();
    fcemu::StartServer(fleet);
    fcemu::SetReplyMutator(RenamePort, &seen);
    std::string storage[] = {"fcboot", "/s", file};
    char* argv[] = {&storage[0][0], &storage[1][0], &storage[2][0], nullptr};
    EXPECT_EQ(fcboot::FcbootMain(3, argv), 0);
    fcemu::StopServer();
    EXPECT_TRUE(fcemu::Violations().empty());
    EXPECT_GT(seen.portQueries, 0u);
    // Every successful request went through the hook, and only those.
    unsigned okIoctls = 0;
    for (const auto& r : fcemu::RequestLog()) okIoctls += (r.op == "ioctl" && r.ok) ? 1 : 0;
    EXPECT_EQ(seen.calls, okIoctls);

    const std::string saved = fctest::ReadFileBytes(file);
    EXPECT_NE(saved.find("WWID=a0a1a2a3a4a5a6a7"), std::string::npos) << saved;
    EXPECT_EQ(saved.find("WWID=1000000000000001"), std::string::npos) << saved;

    // The next run starts clean: the same save gives the adapters' own names.
    const fctest::RunResult again = fctest::RunUtility(fleet, {"/s", file});
    EXPECT_EQ(again.exit_code, 0);
    EXPECT_EQ(seen.calls, okIoctls);
    EXPECT_NE(fctest::ReadFileBytes(file).find("WWID=1000000000000001"), std::string::npos);
}

}  // namespace
