// Steps that several suite tests take in the same way, written once. Every
// check keeps the text it has in a test body: the parameters and locals carry
// the names the tests use (participant, factory, topic, type_support).
//
// Only steps made of non-fatal checks live here; a fatal check has to stay in
// the test body, where its failure ends the test.
#ifndef HARNESS_SUITESTEPS_H
#define HARNESS_SUITESTEPS_H

#include <gtest/gtest.h>
#include <quorvela/quorvela.h>

#include <string>
#include <vector>

#include "FlatRecord.h"

namespace SuiteSteps {

// The checks' texts name the library's constants without a namespace, as the
// test bodies do.
using namespace QUORVELA;

// The usual end of a test: everything the participant holds, the participant
// itself, then the factory's finalize.
inline void standard_ending(DomainParticipantFactory* factory, DomainParticipant* participant) {
    EXPECT_EQ(participant->delete_contained_entities(), RETCODE_OK);
    EXPECT_EQ(factory->delete_participant(participant), RETCODE_OK);
    DomainParticipantFactory::finalize();
}

// "Topic_" followed by i in decimal: Topic_0 ... Topic_9, Topic_10 ...
inline std::string numbered_topic_name(int i) { return "Topic_" + std::to_string(i); }

// Topics Topic_0 to Topic_<count - 1> of the registered type "FlatRecord", in
// index order. Each creation is a non-fatal check; a null topic is kept in
// its place.
inline std::vector<Topic*> create_numbered_topics(DomainParticipant* participant, int count) {
    std::vector<Topic*> topics;
    for (int i = 0; i < count; ++i) {
        Topic* topic =
            participant->create_topic(numbered_topic_name(i), "FlatRecord", TOPIC_QOS_DEFAULT, nullptr, 0);
        EXPECT_NE(topic, nullptr);
        topics.push_back(topic);
    }
    return topics;
}

// Registers FlatRecord under "test_type" and creates the topic "test_topic"
// of it, checking both without ending the test: a null type support or topic
// is passed on.
inline Topic* create_test_topic(DomainParticipant* participant) {
    TypeSupport* type_support = FlatRecordTypeSupport::get_instance();
    EXPECT_NE(type_support, nullptr);
    EXPECT_EQ(participant->registe_type("test_type", type_support), RETCODE_OK);

    Topic* topic = participant->create_topic("test_topic", "test_type", TOPIC_QOS_DEFAULT, nullptr, 0);
    EXPECT_NE(topic, nullptr);
    return topic;
}

// Puts the factory's QoS back to its default when it goes out of scope, by
// whatever way the test body is left: a fatal check that ends a body early
// skips its finalize(), and a factory left with autoenable off would go on
// creating disabled participants for every later test. It checks nothing.
// The factory is taken anew at the end: a body that ends with finalize() may
// have freed the instance it started with.
class FactoryQosRestorer {
public:
    FactoryQosRestorer() = default;
    ~FactoryQosRestorer() {
        if (DomainParticipantFactory* factory = DomainParticipantFactory::get_instance()) {
            factory->set_qos(DomainParticipantFactoryQos{});
        }
    }
    FactoryQosRestorer(const FactoryQosRestorer&) = delete;
    FactoryQosRestorer& operator=(const FactoryQosRestorer&) = delete;
};

}  // namespace SuiteSteps

// Checks seq[index] == expected without reading past the end of seq; a
// missing element is a failure of its own.
#define EXPECT_ELEMENT_EQ(seq, index, expected)                                                  \
    do {                                                                                         \
        if (seq.size() > static_cast<std::size_t>(index)) {                                      \
            EXPECT_EQ(seq[index], expected);                                                     \
        } else {                                                                                 \
            ADD_FAILURE() << #seq "[" #index "] is missing: the list holds " << seq.size()        \
                          << " element(s), expected " #seq "[" #index "] == " #expected;        \
        }                                                                                        \
    } while (0)

#endif  // HARNESS_SUITESTEPS_H
