// operation_pending(): what a front end that shows Busy until a request is
// done waits for. Each request, sent at once or queued behind a poll, is
// pending until the module's answers to it (and the reads that follow)
// are in, and not a moment before its echo.
#include "tests/engine/engine_rig.h"

namespace corvell::test {
namespace {

struct Request {
    const char* name;
    std::string (*act)(Engine&);
    char letter;         // the command the module hears
    long long settleMs;  // long enough for all its exchanges on the model module
};

TEST(EngineIndiOps, RequestsArePendingUntilTheirExchangesHaveEnded) {
    const Request requests[] = {
        {"set zero", [](Engine& e) { return e.set_zero(); }, 'z', 100},
        {"maximum travel", [](Engine& e) { return e.set_max_travel(6500); }, 'w', 100},
        {"go-to", [](Engine& e) { return e.move_to(3000); }, 'g', 2500},
        {"stop",
         [](Engine& e) {
             e.halt();
             return std::string();
         },
         's', 100},
        {"initialization", [](Engine& e) { return e.initialize(); }, 'h', 200000},
    };
    for (const Request& q : requests) {
        for (bool behindPoll : {false, true}) {
            SCOPED_TRACE(std::string(q.name) + (behindPoll ? ", behind a poll" : ", idle"));
            Rig r;
            r.startCommunicating(1000);
            r.link.module.enabled = true;
            r.link.module.position = 1000;
            EXPECT_FALSE(r.engine.operation_pending());
            if (behindPoll) {
                r.advance(1500);  // the poll's read is out, its answer 3 ms away
                ASSERT_TRUE(r.link.written.back() == 't' || r.link.written.back() == 'p');
                ASSERT_FALSE(r.link.module.out.empty());
            }
            const size_t before = r.link.written.size();
            ASSERT_EQ(q.act(r.engine), "");
            r.pass();
            EXPECT_TRUE(r.engine.operation_pending());
            r.advance(1);
            EXPECT_TRUE(r.engine.operation_pending()) << "pending before any answer came";
            r.advance(q.settleMs);
            EXPECT_FALSE(r.engine.operation_pending());
            EXPECT_FALSE(r.engine.moving());
            const Bytes sent(r.link.written.begin() + static_cast<long>(before), r.link.written.end());
            EXPECT_NE(std::find(sent.begin(), sent.end(), static_cast<uint8_t>(q.letter)), sent.end());
        }
    }
}

}  // namespace
}  // namespace corvell::test
