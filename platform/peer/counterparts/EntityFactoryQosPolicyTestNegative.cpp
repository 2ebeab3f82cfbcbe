// Counterpart of the entity-factory test: a reader and a writer on
// "entity_factory_topic_name" that watch the positive side's writer and
// reader.
//
// Checked here:
//   - this side's own entities made under a factory and a publisher that do
//     not enable what they create: the participant and the writer are
//     disabled until enabled, the writer unmatched until then, and matched
//     with this side's reader afterwards;
//   - after "create_finish" the positive entities exist but are disabled: for
//     a while neither the positive writer nor the positive reader may match
//     ("match_check_1" only then, and only when this side's own entities
//     passed too). The disabled positive participant itself may be
//     discovered only where this side discovers its own disabled participant
//     (a library may announce a participant from its creation), and at most
//     one;
//   - after "enable_finish" exactly the positive writer and the positive
//     reader match, announcing every field of the default QoS, beside this
//     side's own (decoys of other user data), both of exactly one discovered
//     participant ("check_finish" only then);
//   - once the positive side has closed, its writer, reader and participant
//     are gone.
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
    std::string describe() const {
        return std::to_string(writers) + " writer(s) and " + std::to_string(readers) + " reader(s)";
    }
};

// This side's reader and writer, which match each other, and what they
// match besides.
struct Watch {
    DataReader* reader;
    DataWriter* writer;

    Seen look() const {
        return Seen{discovered::positive_writers(reader, {writer->get_instance_handle()}).size(),
                    discovered::positive_readers(writer, {reader->get_instance_handle()}).size()};
    }
};

// This side made disabled, as the positive side makes its entities: a
// participant of a factory that does not enable what it creates, and in it a
// writer of a publisher that does not either. `reader` (of this side's
// enabled participant) must match the writer only once all are enabled.
// Returns whether this side's participant discovered the disabled one: a
// library may announce a participant from its creation or only once enabled.
bool expect_own_entities_disabled(cp::Verdict& v, DomainParticipantFactory* factory, DataReader* reader) {
    DomainParticipantFactoryQos original;
    if (!(v.equal(factory->get_qos(original), RETCODE_OK) << "the factory's QoS")) return false;
    DomainParticipantFactoryQos off = original;
    off.entity_factory.autoenable_created_entities = false;
    if (!(v.equal(factory->set_qos(off), RETCODE_OK) << "the factory's QoS set")) return false;
    DomainParticipantQos participant_qos = PARTICIPANT_QOS_DEFAULT;
    participant_qos.entity_factory.autoenable_created_entities = false;
    DomainParticipant* participant = factory->create_participant(0, participant_qos, nullptr, 0);
    v.equal(factory->set_qos(original), RETCODE_OK);
    if (!(v.check(participant != nullptr) << "this side's disabled participant")) return false;
    v.check(!(participant->is_enabled())) << "a participant of a factory that does not enable it is enabled";
    const InstanceHandle_t handle = participant->get_instance_handle();
    auto discovered_here = [&] {
        for (const InstanceHandle_t& h : discovered::participants(reader->get_subscriber()->get_participant())) {
            if (h == handle) return true;
        }
        return false;
    };
    const bool visible = cp::wait_until(discovered_here, 1000);
    cp::log_line(std::string("this side's disabled participant ") + (visible ? "is" : "is not") + " discovered");

    v.equal(participant->registe_type("FlatRecord", FlatRecordTypeSupport::get_instance()), RETCODE_OK);
    Topic* topic = participant->create_topic("entity_factory_topic_name", "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
    PublisherQos publisher_qos = PUBLISHER_QOS_DEFAULT;
    publisher_qos.entity_factory.autoenable_created_entities = false;
    Publisher* publisher = participant->create_publisher(publisher_qos, nullptr, 0);
    DataWriter* writer = topic != nullptr && publisher != nullptr
                             ? publisher->create_datawriter(topic, DATAWRITER_QOS_DEFAULT, nullptr, 0)
                             : nullptr;
    v.check(writer != nullptr) << "this side's disabled writer";
    if (writer != nullptr) {
        v.check(!(writer->is_enabled())) << "a writer of a publisher that does not enable it is enabled";
        // A disabled writer is not announced (looked at for a while only).
        const bool matched = cp::wait_until([&] { return cp::matched_count(reader) > 1; }, 500);
        v.check(!(matched)) << "this side's reader matched its disabled writer";
        v.equal(participant->enable(), RETCODE_OK);
        v.equal(topic->enable(), RETCODE_OK);
        v.equal(publisher->enable(), RETCODE_OK);
        v.equal(writer->enable(), RETCODE_OK);
        v.check(participant->is_enabled() && writer->is_enabled());
        // This side's reader matches its own writer and this one.
        v.check(cp::wait_matched(reader, 2)) << "this side's reader never matched its enabled writer";
    }
    v.equal(participant->delete_contained_entities(), RETCODE_OK);
    v.equal(factory->delete_participant(participant), RETCODE_OK);
    v.check(discovered::wait_for([&] { return cp::matched_count(reader) == 1; }, cp::kMatchMs))
        << "this side's deleted writer is still matched";
    return visible;
}

}  // namespace

PEER_TEST(EntityFactoryQosPolicyTestNegative, ENABLED_EntityFactoryQosPolicyNegative, "EntityFactoryQosPolicy") {
    cp::Entities e;
    DataReaderQos own_reader = DATAREADER_QOS_DEFAULT;
    own_reader.user_data.value = cp::octets("counterpart reader");
    DataWriterQos own_writer = DATAWRITER_QOS_DEFAULT;
    own_writer.user_data.value = cp::octets("counterpart writer");
    DataReader* reader = e.reader("entity_factory_topic_name", own_reader);
    DataWriter* writer = e.writer("entity_factory_topic_name", own_writer);
    ASSERT_TRUE(reader != nullptr && writer != nullptr);
    const Watch watch{reader, writer};
    // Before the positive side makes anything: its entities come after "ready".
    ASSERT_TRUE(cp::wait_matched(reader, 1)) << "this side's reader and writer never matched";
    cp::Verdict own("this side's own entities");
    const bool disabled_visible = expect_own_entities_disabled(own, DomainParticipantFactory::get_instance(), reader);
    ASSERT_TRUE(cp::ready());

    if (!cp::await("create_finish", kKeyMs)) return;
    // Disabled: no endpoint of the positive side may show, at any poll.
    Seen seen;
    cp::wait_until([&] { return !(seen = watch.look()).none(); }, kDisabledMs);
    cp::Verdict disabled("disabled");
    disabled.check(seen.none()) << "disabled positive entities were discovered: " << seen.describe();
    const std::size_t early = discovered::participants(e.participant()).size();
    // As many as this library shows of a disabled participant of this side.
    const std::size_t most = disabled_visible ? 1 : 0;
    disabled.check(early <= most) << early << " participants discovered while the positive one is disabled, at most "
                                  << most << " expected";
    cp::log_line("disabled: " + seen.describe() + ", " + std::to_string(early) + " participant(s)");
    // This side's own entities made disabled are reported with the first key.
    disabled += own;
    cp::report("match_check_1", disabled);

    if (!cp::await("enable_finish", kKeyMs)) return;
    // Enabled: the positive writer and reader, announcing the default QoS,
    // beside this side's own (other user data), and no more.
    cp::Verdict v("after enable");
    cp::Matches writers(reader), readers(writer);
    const std::string topic = "entity_factory_topic_name";
    const auto w = cp::expect_matched(v, writers, reader, {cp::announced_writer(topic, "FlatRecord")},
                                      {{writer->get_instance_handle(), cp::announced_writer(topic, "FlatRecord", own_writer)}},
                                      "the positive writer");
    const auto r = cp::expect_matched(v, readers, writer, {cp::announced_reader(topic, "FlatRecord")},
                                      {{reader->get_instance_handle(), cp::announced_reader(topic, "FlatRecord", own_reader)}},
                                      "the positive reader");
    // Both of exactly one participant (expect_matched ties each to a
    // discovered participant by its participant key).
    const InstanceHandleSeq found = discovered::participants(e.participant());
    v.equal(found.size(), 1u) << "participants discovered after enable";
    cp::log_line("after enable: " + std::to_string(w.size()) + " writer(s), " + std::to_string(r.size()) +
                 " reader(s), " + std::to_string(found.size()) + " participant(s)");
    cp::report("check_finish", v);

    // The positive side deletes everything and closes.
    cp::Verdict gone("after the positive side closed");
    gone.check(peer::link().wait_closed(kKeyMs)) << "the positive side still held the connection";
    discovered::wait_for(
        [&] {
            return writers.list().size() == 1 && readers.list().size() == 1 &&
                   discovered::participants(e.participant()).empty();
        },
        discovered::kEndMs, "positive endpoints and participant gone");
    writers.gone(gone, {writer->get_instance_handle()}, 0);
    readers.gone(gone, {reader->get_instance_handle()}, 0);
    gone.equal(discovered::participants(e.participant()).size(), 0u) << "participants discovered";
    e.release();
}
