// What a positive endpoint announces: one table of every field the built-in
// topic data of a publication or subscription carries, looped over to build
// the expected record from the QoS the positive side set and to compare it
// with what this side has matched.
#include <algorithm>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#include "counterpart.h"

namespace cp {

namespace {

std::string show(int32_t v) { return std::to_string(v); }
std::string show(uint8_t v) { return std::to_string(static_cast<int>(v)); }
std::string show(bool v) { return v ? "true" : "false"; }
std::string show(const std::string& v) { return "\"" + v + "\""; }
std::string show(const Duration_t& d) {
    if (d == DURATION_INFINITE) return "infinite";
    return "{" + std::to_string(d.sec) + " s, " + std::to_string(d.nanosec) + " ns}";
}
std::string show(const OctetSeq& v) { return printable(v); }
std::string show(const StringSeq& v) {
    std::string out = "[";
    for (std::size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + show(v[i]);
    return out + "]";
}

template <class Data>
struct Field {
    const char* name;
    std::string (*value)(const Data&);
};

// The fields both kinds of endpoint announce.
template <class Data>
std::vector<Field<Data>> common_fields() {
    return {
        {"topic name", [](const Data& d) { return show(d.topic_name); }},
        {"type name", [](const Data& d) { return show(d.type_name); }},
        {"durability kind", [](const Data& d) { return show(d.durability.kind); }},
        {"deadline period", [](const Data& d) { return show(d.deadline.period); }},
        {"latency budget", [](const Data& d) { return show(d.latency_budget.duration); }},
        {"liveliness kind", [](const Data& d) { return show(d.liveliness.kind); }},
        {"liveliness lease", [](const Data& d) { return show(d.liveliness.lease_duration); }},
        {"reliability kind", [](const Data& d) { return show(d.reliability.kind); }},
        {"reliability max blocking time", [](const Data& d) { return show(d.reliability.max_blocking_time); }},
        {"destination order", [](const Data& d) { return show(d.destination_order.kind); }},
        {"ownership kind", [](const Data& d) { return show(d.ownership.kind); }},
        {"presentation access scope", [](const Data& d) { return show(d.presentation.access_scope); }},
        {"presentation coherent access", [](const Data& d) { return show(d.presentation.coherent_access); }},
        {"presentation ordered access", [](const Data& d) { return show(d.presentation.ordered_access); }},
        // The default partition is announced as no name or as the one empty name.
        {"partition", [](const Data& d) { return show(d.partition.name.empty() ? StringSeq{""} : d.partition.name); }},
        {"user data", [](const Data& d) { return show(d.user_data.value); }},
        {"topic data", [](const Data& d) { return show(d.topic_data.value); }},
        {"group data", [](const Data& d) { return show(d.group_data.value); }},
    };
}

const std::vector<Field<PublicationBuiltinTopicData>>& fields_of(const PublicationBuiltinTopicData*) {
    using D = PublicationBuiltinTopicData;
    static const std::vector<Field<D>> table = [] {
        std::vector<Field<D>> t = common_fields<D>();
        const std::vector<Field<D>> own = {
            {"lifespan", [](const D& d) { return show(d.lifespan.duration); }},
            {"ownership strength", [](const D& d) { return show(d.ownership_strength.value); }},
            {"durability service cleanup delay",
             [](const D& d) { return show(d.durability_service.service_cleanup_delay); }},
            {"durability service history kind", [](const D& d) { return show(d.durability_service.history_kind); }},
            {"durability service history depth", [](const D& d) { return show(d.durability_service.history_depth); }},
            {"durability service max samples", [](const D& d) { return show(d.durability_service.max_samples); }},
            {"durability service max instances", [](const D& d) { return show(d.durability_service.max_instances); }},
            {"durability service max samples per instance",
             [](const D& d) { return show(d.durability_service.max_samples_per_instance); }},
        };
        t.insert(t.end(), own.begin(), own.end());
        return t;
    }();
    return table;
}

const std::vector<Field<SubscriptionBuiltinTopicData>>& fields_of(const SubscriptionBuiltinTopicData*) {
    using D = SubscriptionBuiltinTopicData;
    static const std::vector<Field<D>> table = [] {
        std::vector<Field<D>> t = common_fields<D>();
        t.push_back({"time-based filter", [](const D& d) { return show(d.time_based_filter.minimum_separation); }});
        return t;
    }();
    return table;
}

// The fields of `got` that differ from `want`, each as a readable line; the
// key against the handle first.
template <class Data>
std::vector<std::string> differences(const Matched<Data>& got, const Data& want) {
    std::vector<std::string> out;
    if (!std::equal(std::begin(got.data.key.value), std::end(got.data.key.value), std::begin(got.handle.value))) {
        out.push_back("the key of its discovery data is not its handle's value");
    }
    for (const Field<Data>& f : fields_of(static_cast<const Data*>(nullptr))) {
        const std::string g = f.value(got.data);
        const std::string w = f.value(want);
        if (g != w) out.push_back(std::string("announced ") + f.name + " " + g + ", expected " + w);
    }
    return out;
}

template <class Data>
bool compare(Verdict& v, const Matched<Data>& got, const Data& want, const std::string& what) {
    const std::vector<std::string> diff = differences(got, want);
    for (const std::string& d : diff) v.fail() << what << ": " << d;
    return diff.empty();
}

template <class Data>
std::vector<Matched<Data>> expect_matched(Verdict& v, const std::vector<Matched<Data>>& matched,
                                          const InstanceHandleSeq& positive, const std::vector<Data>& positive_want,
                                          const std::vector<std::pair<InstanceHandle_t, Data>>& own,
                                          const std::string& what) {
    std::vector<Matched<Data>> out;
    std::vector<bool> used(positive_want.size(), false);
    std::vector<bool> own_seen(own.size(), false);
    for (const Matched<Data>& m : matched) {
        bool found = false;
        for (std::size_t i = 0; i < own.size(); ++i) {
            if (own[i].first != m.handle) continue;
            found = true;
            own_seen[i] = true;
            compare(v, m, own[i].second, what + ", this side's endpoint");
        }
        if (found) continue;
        if (std::find(positive.begin(), positive.end(), m.handle) == positive.end()) continue;
        out.push_back(m);
        // The wanted record closest to it (positive endpoints come in any order).
        std::size_t best = positive_want.size();
        std::size_t best_diff = 0;
        for (std::size_t i = 0; i < positive_want.size(); ++i) {
            if (used[i]) continue;
            const std::size_t d = differences(m, positive_want[i]).size();
            if (best == positive_want.size() || d < best_diff) {
                best = i;
                best_diff = d;
            }
        }
        if (!(v.check(best < positive_want.size()) << what << ": more endpoints of the positive side matched than "
                                                             "expected")) {
            continue;
        }
        used[best] = true;
        compare(v, m, positive_want[best], what + ", the positive side's endpoint");
    }
    v.check(out.size() == positive_want.size())
        << what << ": the data of " << out.size() << " endpoint(s) of the positive side looked up, expected "
        << positive_want.size();
    // A decoy whose data could not be looked up (or that is not listed)
    // proves nothing about the lookup: a failure, not a skip.
    const std::size_t own_missing = static_cast<std::size_t>(std::count(own_seen.begin(), own_seen.end(), false));
    v.check(own_missing == 0) << what << ": the data of " << own_missing << " of this side's " << own.size()
                              << " endpoint(s) matched beside the positive one(s) could not be looked up";
    return out;
}

}  // namespace

std::string printable(const OctetSeq& value) {
    std::string out = "\"";
    for (octet o : value) {
        if (o >= 0x20 && o < 0x7f && o != '"' && o != '\\') {
            out.push_back(static_cast<char>(o));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(o));
            out += hex;
        }
    }
    return out + "\"";
}

namespace {

// What a writer and a reader both announce: their own policies, their
// group's, and their topic's topic data.
template <class Data, class EndpointQos, class GroupQos>
Data announced(const std::string& topic, const std::string& type, const EndpointQos& q, const GroupQos& g,
               const TopicQos& t) {
    Data d;
    d.topic_name = topic;
    d.type_name = type;
    d.durability = q.durability;
    d.deadline = q.deadline;
    d.latency_budget = q.latency_budget;
    d.liveliness = q.liveliness;
    d.reliability = q.reliability;
    d.ownership = q.ownership;
    d.destination_order = q.destination_order;
    d.user_data = q.user_data;
    d.presentation = g.presentation;
    d.partition = g.partition;
    d.group_data = g.group_data;
    d.topic_data = t.topic_data;
    return d;
}

}  // namespace

PublicationBuiltinTopicData announced_writer(const std::string& topic, const std::string& type,
                                             const DataWriterQos& w, const PublisherQos& p, const TopicQos& t) {
    PublicationBuiltinTopicData d = announced<PublicationBuiltinTopicData>(topic, type, w, p, t);
    d.durability_service = w.durability_service;
    d.lifespan = w.lifespan;
    d.ownership_strength = w.ownership_strength;
    return d;
}

SubscriptionBuiltinTopicData announced_reader(const std::string& topic, const std::string& type,
                                              const DataReaderQos& r, const SubscriberQos& s, const TopicQos& t) {
    SubscriptionBuiltinTopicData d = announced<SubscriptionBuiltinTopicData>(topic, type, r, s, t);
    d.time_based_filter = r.time_based_filter;
    return d;
}

bool expect_announced(Verdict& v, const Matched<PublicationBuiltinTopicData>& got,
                      const PublicationBuiltinTopicData& want, const std::string& what) {
    return compare(v, got, want, what);
}

bool expect_announced(Verdict& v, const Matched<SubscriptionBuiltinTopicData>& got,
                      const SubscriptionBuiltinTopicData& want, const std::string& what) {
    return compare(v, got, want, what);
}

namespace {

template <class Data, class Endpoint>
std::vector<Matched<Data>> expect_matched_of(Verdict& v, Matches& m, Endpoint* endpoint,
                                             const std::vector<Data>& positive,
                                             const std::vector<std::pair<InstanceHandle_t, Data>>& own,
                                             const std::string& what) {
    InstanceHandleSeq own_handles;
    for (const auto& o : own) own_handles.push_back(o.first);
    const InstanceHandleSeq positive_handles = m.exactly(v, positive.size(), own_handles);
    std::vector<Matched<Data>> out;
    if constexpr (std::is_same_v<Endpoint, DataReader>) {
        out = expect_matched(v, matched_publications(v, endpoint), positive_handles, positive, own, what);
    } else {
        out = expect_matched(v, matched_subscriptions(v, endpoint), positive_handles, positive, own, what);
    }
    for (const Matched<Data>& e : out) {
        expect_participant(v, participant_of(endpoint), e.data.participant_key, what + ", the positive side's endpoint");
    }
    return out;
}

}  // namespace

std::vector<Matched<PublicationBuiltinTopicData>> expect_matched(
    Verdict& v, Matches& m, DataReader* reader, const std::vector<PublicationBuiltinTopicData>& positive,
    const std::vector<std::pair<InstanceHandle_t, PublicationBuiltinTopicData>>& own, const std::string& what) {
    return expect_matched_of(v, m, reader, positive, own, what);
}

std::vector<Matched<SubscriptionBuiltinTopicData>> expect_matched(
    Verdict& v, Matches& m, DataWriter* writer, const std::vector<SubscriptionBuiltinTopicData>& positive,
    const std::vector<std::pair<InstanceHandle_t, SubscriptionBuiltinTopicData>>& own, const std::string& what) {
    return expect_matched_of(v, m, writer, positive, own, what);
}

// ---- participants ---------------------------------------------------------------------

bool Participants::announce(const BuiltinTopicKey_t& key) const {
    return std::any_of(keys.begin(), keys.end(), [&](const BuiltinTopicKey_t& k) {
        return std::equal(std::begin(k.value), std::end(k.value), std::begin(key.value));
    });
}

Participants discovered_participants(DomainParticipant* participant) {
    Participants out;
    if (participant == nullptr || participant->get_discovered_participants(out.handles) != RETCODE_OK) return out;
    const InstanceHandle_t own = participant->get_instance_handle();
    out.handles.erase(std::remove(out.handles.begin(), out.handles.end(), own), out.handles.end());
    for (const InstanceHandle_t& h : out.handles) {
        ParticipantBuiltinTopicData data;
        // One that left between the list and the lookup has no data any more.
        if (participant->get_discovered_participant_data(data, h) == RETCODE_OK) out.keys.push_back(data.key);
    }
    return out;
}

DomainParticipant* participant_of(DataReader* reader) {
    Subscriber* s = reader == nullptr ? nullptr : reader->get_subscriber();
    return s == nullptr ? nullptr : s->get_participant();
}

DomainParticipant* participant_of(DataWriter* writer) {
    Publisher* p = writer == nullptr ? nullptr : writer->get_publisher();
    return p == nullptr ? nullptr : p->get_participant();
}

namespace {
std::string show(const BuiltinTopicKey_t& key) {
    std::string out;
    for (octet o : key.value) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(o));
        out += hex;
    }
    return out;
}
}  // namespace

bool expect_participant(Verdict& v, DomainParticipant* participant, const BuiltinTopicKey_t& participant_key,
                        const std::string& what) {
    Participants found;
    const bool listed =
        wait_until([&] { return (found = discovered_participants(participant)).announce(participant_key); }, kMatchMs);
    return v.check(listed) << what << ": its participant key " << show(participant_key)
                           << " is the key of none of the " << found.keys.size()
                           << " participant(s) this side discovered (other than its own)";
}

// ---- matched endpoints ------------------------------------------------------------

namespace {

template <class Data, class Entity, class List, class Lookup>
std::vector<Matched<Data>> matched(Verdict& v, Entity* entity, List list, Lookup lookup, const char* what) {
    std::vector<Matched<Data>> out;
    InstanceHandleSeq handles;
    if (entity == nullptr) return out;
    const ReturnCode_t rc = (entity->*list)(handles);
    v.equal(rc, RETCODE_OK) << what;
    for (const InstanceHandle_t& h : handles) {
        Matched<Data> m{h, Data{}};
        const ReturnCode_t data_rc = (entity->*lookup)(m.data, h);
        v.equal(data_rc, RETCODE_OK) << what << ": the data of a listed handle";
        if (data_rc == RETCODE_OK) out.push_back(m);
    }
    return out;
}

}  // namespace

std::vector<Matched<PublicationBuiltinTopicData>> matched_publications(Verdict& v, DataReader* reader) {
    return matched<PublicationBuiltinTopicData>(v, reader, &DataReader::get_matched_publications,
                                                &DataReader::get_matched_publication_data, "matched publications");
}

std::vector<Matched<SubscriptionBuiltinTopicData>> matched_subscriptions(Verdict& v, DataWriter* writer) {
    return matched<SubscriptionBuiltinTopicData>(v, writer, &DataWriter::get_matched_subscriptions,
                                                 &DataWriter::get_matched_subscription_data, "matched subscriptions");
}

std::vector<Matched<PublicationBuiltinTopicData>> matched_publications(DataReader* reader) {
    Verdict v("matched publications");
    return matched_publications(v, reader);
}

std::vector<Matched<SubscriptionBuiltinTopicData>> matched_subscriptions(DataWriter* writer) {
    Verdict v("matched subscriptions");
    return matched_subscriptions(v, writer);
}

}  // namespace cp
