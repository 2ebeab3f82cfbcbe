// Counterpart of the entity-factory test: a reader and a writer on
// "entity_factory_topic_name" that watch the positive side's writer and
// reader. After "create_finish" the positive entities exist but are disabled:
// for a while neither the positive writer nor the positive reader may match
// ("match_check_1" only then). After "enable_finish" exactly the positive
// writer and the positive reader must match ("check_finish" only then).
#include <gtest/gtest.h>

#include <quorvela/quorvela.h>

#include <iostream>
#include <string>

#include "counterpart.h"
#include "discovered_endpoints.h"
#include "peer/peer_link.h"

using namespace QUORVELA;

namespace {

// Bound of the waits for the positive side's keys, which come within its
// own waits of 10 s at most; the waits end at once when it closes.
constexpr int kKeyMs = 30000;
// How long the disabled entities are watched; "match_check_1" follows, well
// within the positive side's 10 s.
constexpr int kDisabledMs = 1500;

// The positive side's endpoints that this side's endpoints are matched with.
struct Seen {
    std::size_t writers = 0;  // matched with this side's reader
    std::size_t readers = 0;  // matched with this side's writer

    bool none() const { return writers == 0 && readers == 0; }
    bool both() const { return writers >= 1 && readers >= 1; }
    bool exactly_one_each() const { return writers == 1 && readers == 1; }
    std::string describe() const {
        return std::to_string(writers) + " writer(s) and " + std::to_string(readers) + " reader(s)";
    }
};

struct Watch {
    DataReader* reader;
    DataWriter* writer;
    InstanceHandleSeq own;  // this side's reader and writer, which match each other

    Seen look() const {
        return Seen{discovered::positive_writers(reader, own).size(), discovered::positive_readers(writer, own).size()};
    }
};

}  // namespace

PEER_TEST(EntityFactoryQosPolicyTestNegative, ENABLED_EntityFactoryQosPolicyNegative, "EntityFactoryQosPolicy") {
    cp::Entities e;
    DataReader* reader = e.reader("entity_factory_topic_name", DATAREADER_QOS_DEFAULT);
    DataWriter* writer = e.writer("entity_factory_topic_name", DATAWRITER_QOS_DEFAULT);
    const Watch watch{reader, writer, discovered::handles_of(writer, reader)};
    ASSERT_TRUE(cp::ready());
    ASSERT_TRUE(reader != nullptr && writer != nullptr);

    if (!cp::await("create_finish", kKeyMs)) return;
    // Disabled: nothing of the positive side may show, at any poll.
    Seen seen;
    cp::wait_until([&] { return !(seen = watch.look()).none(); }, kDisabledMs);
    const bool invisible = seen.none();
    EXPECT_TRUE(invisible) << "disabled positive entities were discovered: " << seen.describe();
    cp::report("match_check_1", invisible);

    if (!cp::await("enable_finish", kKeyMs)) return;
    // Enabled: the positive writer and reader, and no more.
    cp::wait_until([&] { return (seen = watch.look()).both(); }, cp::kMatchMs);
    if (!cp::positive_gone()) std::this_thread::sleep_for(std::chrono::milliseconds(cp::kGraceMs));
    seen = watch.look();
    const bool visible = seen.exactly_one_each();
    EXPECT_TRUE(visible) << "after enable, discovered " << seen.describe() << "; expected one of each";
    std::cout << "[peer] after enable: " << seen.describe() << std::endl;
    e.release();
    cp::report("check_finish", visible);
}
