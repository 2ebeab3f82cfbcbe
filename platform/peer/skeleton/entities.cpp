// A counterpart's entities, and the QoS the counterparts use most.
#include "entities.h"

#include <gtest/gtest.h>

#include "FlatRecord.h"
#include "KeyedType.h"
#include "peer/peer_link.h"
#include "steps.h"

namespace cp {

namespace {

TypeSupport* type_support_of(const std::string& type) {
    if (type == "FlatRecord") return FlatRecordTypeSupport::get_instance();
    if (type == "KeyedType") return KeyedTypeTypeSupport::get_instance();
    return nullptr;
}

}  // namespace

// ---- entities ---------------------------------------------------------------

Entities::Entities(const DomainParticipantQos& qos) {
    factory_ = DomainParticipantFactory::get_instance();
    if (factory_ == nullptr) {
        fail("DomainParticipantFactory::get_instance() returned null");
        return;
    }
    participant_ = factory_->create_participant(0, qos, nullptr, 0);
    if (participant_ == nullptr) fail("create_participant(0) returned null");
}

Entities::~Entities() { release(); }

bool Entities::fail(const std::string& what) {
    ADD_FAILURE() << what;
    ok_ = false;
    return false;
}

Topic* Entities::topic(const std::string& name, const std::string& type, const TopicQos& qos) {
    if (participant_ == nullptr || released_) return nullptr;
    for (Topic* t : topics_) {
        if (t->get_name() == name) return t;
    }
    bool registered = false;
    for (const std::string& r : registered_) registered = registered || r == type;
    if (!registered) {
        TypeSupport* ts = type_support_of(type);
        if (ts == nullptr) {
            fail("no type support for type \"" + type + "\"");
            return nullptr;
        }
        const ReturnCode_t rc = participant_->registe_type(type, ts);
        if (rc != RETCODE_OK) {
            fail("registe_type(\"" + type + "\") returned " + std::to_string(rc));
            return nullptr;
        }
        registered_.push_back(type);
    }
    Topic* t = participant_->create_topic(name, type, qos, nullptr, 0);
    if (t == nullptr) {
        fail("create_topic(\"" + name + "\", \"" + type + "\") returned null");
        return nullptr;
    }
    topics_.push_back(t);
    return t;
}

Publisher* Entities::publisher(const PublisherQos& qos) {
    if (participant_ == nullptr || released_) return nullptr;
    Publisher* p = participant_->create_publisher(qos, nullptr, 0);
    if (p == nullptr) fail("create_publisher returned null");
    return p;
}

Subscriber* Entities::subscriber(const SubscriberQos& qos) {
    if (participant_ == nullptr || released_) return nullptr;
    Subscriber* s = participant_->create_subscriber(qos, nullptr, 0);
    if (s == nullptr) fail("create_subscriber returned null");
    return s;
}

DataReader* Entities::reader(const std::string& topic_name, const DataReaderQos& qos, Subscriber* sub,
                             const std::string& type) {
    Topic* t = topic(topic_name, type);
    if (sub == nullptr) {
        if (default_subscriber_ == nullptr) default_subscriber_ = subscriber();
        sub = default_subscriber_;
    }
    if (t == nullptr || sub == nullptr) return nullptr;
    DataReader* r = sub->create_datareader(t, qos, nullptr, 0);
    if (r == nullptr) fail("create_datareader on \"" + topic_name + "\" returned null");
    return r;
}

DataWriter* Entities::writer(const std::string& topic_name, const DataWriterQos& qos, Publisher* pub,
                             const std::string& type) {
    Topic* t = topic(topic_name, type);
    if (pub == nullptr) {
        if (default_publisher_ == nullptr) default_publisher_ = publisher();
        pub = default_publisher_;
    }
    if (t == nullptr || pub == nullptr) return nullptr;
    DataWriter* w = pub->create_datawriter(t, qos, nullptr, 0);
    if (w == nullptr) fail("create_datawriter on \"" + topic_name + "\" returned null");
    return w;
}

void Entities::release() {
    if (released_) return;
    released_ = true;
    if (participant_ != nullptr) {
        EXPECT_EQ(participant_->delete_contained_entities(), RETCODE_OK);
        EXPECT_EQ(factory_->delete_participant(participant_), RETCODE_OK);
    }
    topics_.clear();
    default_publisher_ = nullptr;
    default_subscriber_ = nullptr;
    DomainParticipantFactory::finalize();
    peer::release_hold();
    log_line("entities deleted");
}

// ---- QoS ----------------------------------------------------------------------

DataReaderQos reliable_reader(int32_t depth) {
    DataReaderQos qos = DATAREADER_QOS_DEFAULT;
    qos.reliability.kind = RELIABLE_RELIABILITY_QOS;
    if (depth > 0) {
        qos.history.kind = KEEP_LAST_HISTORY_QOS;
        qos.history.depth = depth;
    } else {
        qos.history.kind = KEEP_ALL_HISTORY_QOS;
    }
    return qos;
}

}  // namespace cp
