// A counterpart's entities: one participant in domain 0 and what it makes in
// it, deleted at once at the end; and the QoS the counterparts use most.
#pragma once

#include <string>
#include <vector>

#include <quorvela/quorvela.h>

namespace cp {

using namespace QUORVELA;

// ---- entities ---------------------------------------------------------------

// A participant in domain 0 and everything this counterpart makes in it. The
// types "FlatRecord" and "KeyedType" are registered when a topic first needs
// them. Each creation that fails is recorded as a test failure and returns
// null; ok() tells whether all succeeded. release() (also run by the
// destructor) deletes everything at once, finalizes the factory and tells the
// dispatcher that this test holds no entities any more.
class Entities {
public:
    explicit Entities(const DomainParticipantQos& qos = PARTICIPANT_QOS_DEFAULT);
    ~Entities();
    Entities(const Entities&) = delete;
    Entities& operator=(const Entities&) = delete;

    DomainParticipant* participant() const { return participant_; }

    // The topic of that name, created on first use with the given type and QoS.
    Topic* topic(const std::string& name, const std::string& type = "FlatRecord",
                 const TopicQos& qos = TOPIC_QOS_DEFAULT);
    Publisher* publisher(const PublisherQos& qos = PUBLISHER_QOS_DEFAULT);
    Subscriber* subscriber(const SubscriberQos& qos = SUBSCRIBER_QOS_DEFAULT);
    // A reader or writer on the named topic (created as needed with `type`),
    // in the given subscriber or publisher, or else in one shared default one.
    DataReader* reader(const std::string& topic_name, const DataReaderQos& qos, Subscriber* subscriber = nullptr,
                       const std::string& type = "FlatRecord");
    DataWriter* writer(const std::string& topic_name, const DataWriterQos& qos, Publisher* publisher = nullptr,
                       const std::string& type = "FlatRecord");

    bool ok() const { return ok_; }
    bool released() const { return released_; }
    void release();

private:
    bool fail(const std::string& what);

    DomainParticipantFactory* factory_ = nullptr;
    DomainParticipant* participant_ = nullptr;
    Publisher* default_publisher_ = nullptr;
    Subscriber* default_subscriber_ = nullptr;
    std::vector<std::string> registered_;
    std::vector<Topic*> topics_;
    bool ok_ = true;
    bool released_ = false;
};

// ---- QoS ----------------------------------------------------------------------

// A reliable reader keeping the last `depth` samples per instance (0: all).
DataReaderQos reliable_reader(int32_t depth = 0);

}  // namespace cp
