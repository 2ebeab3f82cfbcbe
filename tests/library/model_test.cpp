// The local entity model: factory life cycle, containment, deletion and
// registration rules, default-QoS objects, QoS consistency and immutability,
// and the CDR classes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "quorvela/quorvela.h"

using namespace QUORVELA;

namespace {

// A minimal keyed type: { int32 id (key); string text; }.
struct Rec {
  int32_t id = 0;
  std::string text;
};

class RecTypeSupport : public TypeSupport {
 public:
  constexpr explicit RecTypeSupport(bool keyed) : keyed_(keyed) {}
  void* create_data() override { return new Rec(); }
  void delete_data(void* d) override { delete static_cast<Rec*>(d); }
  int32_t copy_data(void* dst, void* src) override {
    *static_cast<Rec*>(dst) = *static_cast<Rec*>(src);
    return 0;
  }
  uint32_t get_serialized_data_size(void* d, uint32_t off) override {
    uint32_t a = CdrSerializer::getBaseTypeSize(4, off);
    return a + CdrSerializer::getStringSize(static_cast<uint32_t>(static_cast<Rec*>(d)->text.size()) + 1, off + a);
  }
  uint32_t get_max_serialized_data_size(void*, uint32_t off) override {
    uint32_t a = CdrSerializer::getBaseTypeSize(4, off);
    return a + CdrSerializer::getStringSize(256, off + a);
  }
  int32_t serialize_data(void* d, CdrSerializer* s, int32_t) override {
    if (!write_id(static_cast<Rec*>(d)->id, s)) return -1;
    return s->serializeString(static_cast<Rec*>(d)->text) ? 0 : -1;
  }
  int32_t deserialize_data(void* d, CdrDeserializer* s, int32_t) override {
    Rec* r = static_cast<Rec*>(d);
    uint32_t pad = (4 - s->m_position % 4) % 4;
    SerializedBuffer* b = s->m_buffer->readData(nullptr, pad);
    if (b == nullptr) return -1;
    b = b->readData(&r->id, 4);
    if (b == nullptr) return -1;
    s->m_buffer = b;
    s->m_position += pad + 4;
    s->m_remaining -= pad + 4;
    return s->deserializeString(r->text) ? 0 : -1;
  }
  void* get_typeobject() override { return nullptr; }
  int32_t get_instancehandle(void* d, CdrSerializer* s, InstanceHandle_t& h, bool force) override {
    if (!has_key()) {
      h = HANDLE_NIL;
      return 0;
    }
    if (!write_id(static_cast<Rec*>(d)->id, s)) return 1;
    return s->getKeyHash(h.value, force) ? 0 : 1;
  }
  intptr_t get_typecode() override { return 0; }
  bool has_key() override { return keyed_; }
  const char* get_typename() override { return "Rec"; }
  int32_t MakeKey(const void* d, InstanceHandle_t& h, bool force) override {
    std::vector<uint8_t> bytes(get_serialized_data_size(const_cast<void*>(d), 0));
    SerializedBuffer buf(bytes.data(), static_cast<uint32_t>(bytes.size()));
    CdrSerializer s(&buf, true);
    return get_instancehandle(const_cast<void*>(d), &s, h, force) == 0 ? 0 : -1;
  }

 private:
  static bool write_id(int32_t id, CdrSerializer* s) {
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    uint32_t pad = (4 - s->m_position % 4) % 4;
    SerializedBuffer* b = s->m_buffer->writeData(zeros, pad);
    if (b == nullptr) return false;
    b = b->writeData(&id, 4);
    if (b == nullptr) return false;
    s->m_buffer = b;
    s->m_position += pad + 4;
    s->m_remaining -= pad + 4;
    return true;
  }
  bool keyed_;
};

// Type supports are constant-initialised statics: the base must allow it.
constinit RecTypeSupport g_keyed(true);
constinit RecTypeSupport g_other(true);

// ------------------------------------------------------------- API shape

// Return codes, handle layout and the shape of the classes user code derives
// from are fixed; a change here breaks callers built against the API.
static_assert(RETCODE_OK == 0 && RETCODE_ERROR == 1 && RETCODE_UNSUPPORTED == 2 && RETCODE_BAD_PARAMETER == 3 &&
              RETCODE_PRECONDITION_NOT_MET == 4 && RETCODE_OUT_OF_RESOURCES == 5 && RETCODE_NOT_ENABLED == 6 &&
              RETCODE_IMMUTABLE_POLICY == 7 && RETCODE_INCONSISTENT_POLICY == 8 && RETCODE_ALREADY_DELETED == 9 &&
              RETCODE_TIMEOUT == 10 && RETCODE_NO_DATA == 11 && RETCODE_ILLEGAL_OPERATION == 12);
static_assert(sizeof(ReturnCode_t) == 4);
static_assert(sizeof(InstanceHandle_t) == 24 && offsetof(InstanceHandle_t, length) == 16 &&
              offsetof(InstanceHandle_t, trailing) == 20);
static_assert(sizeof(Duration_t) == 8 && sizeof(Time) == 8);
static_assert(!std::has_virtual_destructor_v<TypeSupport> && sizeof(TypeSupport) == sizeof(void*),
              "TypeSupport: a vtable and nothing else, no virtual destructor");
static_assert(std::has_virtual_destructor_v<Listener> && std::is_base_of_v<Listener, DataWriterListener>);
static_assert(std::is_base_of_v<SequenceBase, SequenceData<SampleInfo>>);
static_assert(std::is_base_of_v<TopicDescription, Topic> && std::is_polymorphic_v<Topic>);
// HANDLE_NIL is a compile-time constant, so every source's copy exists before
// any code runs.
constinit InstanceHandle_t g_nil_copy = HANDLE_NIL;

// The vtable slot a virtual member function occupies (Itanium C++ ABI on
// x86-64: the pointer holds 1 + the byte offset into the vtable).
template <typename Pmf>
long vtable_slot(Pmf f) {
  struct Rep {
    uintptr_t ptr;
    ptrdiff_t adj;
  } r;
  static_assert(sizeof(Pmf) == sizeof(Rep));
  std::memcpy(&r, &f, sizeof r);
  return (r.ptr & 1) != 0 ? static_cast<long>((r.ptr - 1) / sizeof(void*)) : -1;
}

TEST(ApiShape, VirtualSlotsInTheirFixedOrder) {
#if defined(__x86_64__)
  EXPECT_EQ(vtable_slot(&TypeSupport::create_data), 0);
  EXPECT_EQ(vtable_slot(&TypeSupport::delete_data), 1);
  EXPECT_EQ(vtable_slot(&TypeSupport::copy_data), 2);
  EXPECT_EQ(vtable_slot(&TypeSupport::get_serialized_data_size), 3);
  EXPECT_EQ(vtable_slot(&TypeSupport::get_max_serialized_data_size), 4);
  EXPECT_EQ(vtable_slot(&TypeSupport::serialize_data), 5);
  EXPECT_EQ(vtable_slot(&TypeSupport::deserialize_data), 6);
  EXPECT_EQ(vtable_slot(&TypeSupport::get_typeobject), 7);
  EXPECT_EQ(vtable_slot(&TypeSupport::get_instancehandle), 8);
  EXPECT_EQ(vtable_slot(&TypeSupport::get_typecode), 9);
  EXPECT_EQ(vtable_slot(&TypeSupport::has_key), 10);
  EXPECT_EQ(vtable_slot(&TypeSupport::get_typename), 11);
  EXPECT_EQ(vtable_slot(&TypeSupport::MakeKey), 12);
  // The two destructor slots come first, then the four events.
  EXPECT_EQ(vtable_slot(&DataWriterListener::on_liveliness_lost), 2);
  EXPECT_EQ(vtable_slot(&DataWriterListener::on_offered_deadline_missed), 3);
  EXPECT_EQ(vtable_slot(&DataWriterListener::on_offered_incompatible_qos), 4);
  EXPECT_EQ(vtable_slot(&DataWriterListener::on_publication_matched), 5);
#else
  GTEST_SKIP() << "vtable layout checked on x86-64 only";
#endif
}

TEST(ApiShape, HandleEqualityAndNil) {
  EXPECT_EQ(g_nil_copy, HANDLE_NIL);
  EXPECT_EQ(InstanceHandle_t(), HANDLE_NIL);
  for (uint8_t b : HANDLE_NIL.value) EXPECT_EQ(b, 0);
  EXPECT_EQ(HANDLE_NIL.length, 16u);
  EXPECT_EQ(HANDLE_NIL.trailing, 0);

  InstanceHandle_t a, b;
  a.value[15] = 1;
  EXPECT_NE(a, b);
  a.length = b.length = 8;  // only the first `length` octets count
  EXPECT_EQ(a, b);
  b.trailing = 1;
  EXPECT_NE(a, b);
  b.trailing = 0;
  b.length = 9;
  EXPECT_NE(a, b);
  a.length = b.length = 1000;  // a length beyond the octets compares all 16
  EXPECT_NE(a, b);
}

// Every default-constructed QoS value, and every *_QOS_DEFAULT object, holds
// the documented defaults.
constexpr Duration_t kInf{0x7fffffff, 0xffffffffu};
constexpr Duration_t kZero{0, 0};
constexpr Duration_t k100ms{0, 100000000};

template <typename Q>
void expect_group_defaults(const Q& q) {
  EXPECT_TRUE(q.partition.name.empty());
  EXPECT_TRUE(q.group_data.value.empty());
  EXPECT_EQ(q.presentation.access_scope, 0);
  EXPECT_FALSE(q.presentation.coherent_access);
  EXPECT_FALSE(q.presentation.ordered_access);
  EXPECT_TRUE(q.entity_factory.autoenable_created_entities);
}

// The rows topic, writer and reader QoS share.
template <typename Q>
void expect_endpoint_defaults(const Q& q, uint8_t reliability) {
  EXPECT_EQ(q.durability.kind, 0);
  EXPECT_EQ(q.deadline.period, kInf);
  EXPECT_EQ(q.latency_budget.duration, kZero);
  EXPECT_EQ(q.liveliness.kind, 0);
  EXPECT_EQ(q.liveliness.lease_duration, kInf);
  EXPECT_EQ(q.reliability.kind, reliability);
  EXPECT_EQ(q.reliability.max_blocking_time, k100ms);
  EXPECT_EQ(q.destination_order.kind, 0);
  EXPECT_EQ(q.history.kind, 0);
  EXPECT_EQ(q.history.depth, 1);
  EXPECT_EQ(q.resource_limits.max_samples, -1);
  EXPECT_EQ(q.resource_limits.max_instances, -1);
  EXPECT_EQ(q.resource_limits.max_samples_per_instance, -1);
  EXPECT_EQ(q.ownership.kind, 0);
}

template <typename Q>
void expect_durability_service_defaults(const Q& q) {
  EXPECT_EQ(q.durability_service.service_cleanup_delay, kZero);
  EXPECT_EQ(q.durability_service.history_kind, 0);
  EXPECT_EQ(q.durability_service.history_depth, 1);
  EXPECT_EQ(q.durability_service.max_samples, -1);
  EXPECT_EQ(q.durability_service.max_instances, -1);
  EXPECT_EQ(q.durability_service.max_samples_per_instance, -1);
  EXPECT_EQ(q.transport_priority.value, 0);
  EXPECT_EQ(q.lifespan.duration, kInf);
}

void expect_defaults(const DomainParticipantFactoryQos& q) { EXPECT_TRUE(q.entity_factory.autoenable_created_entities); }
void expect_defaults(const DomainParticipantQos& q) {
  EXPECT_TRUE(q.user_data.value.empty());
  EXPECT_TRUE(q.entity_factory.autoenable_created_entities);
  EXPECT_EQ(q.transport_mode, 0x11);
  EXPECT_TRUE(q.properties.value.empty());
}
void expect_defaults(const PublisherQos& q) { expect_group_defaults(q); }
void expect_defaults(const SubscriberQos& q) { expect_group_defaults(q); }
void expect_defaults(const TopicQos& q) {
  EXPECT_TRUE(q.topic_data.value.empty());
  expect_endpoint_defaults(q, BEST_EFFORT_RELIABILITY_QOS);
  expect_durability_service_defaults(q);
}
void expect_defaults(const DataWriterQos& q) {
  expect_endpoint_defaults(q, RELIABLE_RELIABILITY_QOS);
  expect_durability_service_defaults(q);
  EXPECT_TRUE(q.user_data.value.empty());
  EXPECT_EQ(q.ownership_strength.value, 0);
  EXPECT_TRUE(q.writer_data_lifecycle.autodispose_unregistered_instances);
  EXPECT_TRUE(q.properties.value.empty());
}
void expect_defaults(const DataReaderQos& q) {
  expect_endpoint_defaults(q, BEST_EFFORT_RELIABILITY_QOS);
  EXPECT_TRUE(q.user_data.value.empty());
  EXPECT_EQ(q.time_based_filter.minimum_separation, kZero);
  EXPECT_EQ(q.reader_data_lifecycle.autopurge_nowriter_samples_delay, kInf);
  EXPECT_EQ(q.reader_data_lifecycle.autopurge_disposed_samples_delay, kInf);
  EXPECT_TRUE(q.properties.value.empty());
}

template <typename Q>
void expect_defaults_both(const Q& default_object, const char* what) {
  SCOPED_TRACE(what);
  expect_defaults(Q());
  expect_defaults(default_object);
}

TEST(QosDefaults, DefaultConstructedValuesAndDefaultObjects) {
  expect_defaults_both(PARTICIPANT_FACTORY_QOS_DEFAULT, "factory");
  expect_defaults_both(PARTICIPANT_QOS_DEFAULT, "participant");
  expect_defaults_both(PUBLISHER_QOS_DEFAULT, "publisher");
  expect_defaults_both(SUBSCRIBER_QOS_DEFAULT, "subscriber");
  expect_defaults_both(TOPIC_QOS_DEFAULT, "topic");
  expect_defaults_both(DATAWRITER_QOS_DEFAULT, "writer");
  expect_defaults_both(DATAREADER_QOS_DEFAULT, "reader");
}

class ModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    factory = DomainParticipantFactory::get_instance();
    ASSERT_NE(factory, nullptr);
  }
  void TearDown() override { DomainParticipantFactory::finalize(); }

  DomainParticipant* make_participant(DomainId_t domain = 0) {
    return factory->create_participant(domain, PARTICIPANT_QOS_DEFAULT, nullptr, 0);
  }

  DomainParticipantFactory* factory = nullptr;
};

// ------------------------------------------------------------------ factory

TEST_F(ModelTest, FinalizeResetsFactoryStateAndReclaimsParticipants) {
  DomainParticipantFactoryQos fq;
  fq.entity_factory.autoenable_created_entities = false;
  ASSERT_EQ(factory->set_qos(fq), RETCODE_OK);
  DomainParticipantQos dq;
  dq.user_data.value = {'x', 'y', 'z'};
  dq.entity_factory.autoenable_created_entities = false;
  ASSERT_EQ(factory->set_default_participant_qos(dq), RETCODE_OK);

  DomainParticipant* p = make_participant();
  ASSERT_NE(p, nullptr);
  EXPECT_FALSE(p->is_enabled());  // the factory's autoenable was off
  DomainParticipantQos got;
  ASSERT_EQ(p->get_qos(got), RETCODE_OK);
  EXPECT_EQ(got.user_data.value, dq.user_data.value);
  ASSERT_NE(p->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0), nullptr);

  DomainParticipantFactory::finalize();  // reclaims p with its publisher
  DomainParticipantFactory* again = DomainParticipantFactory::get_instance();
  EXPECT_EQ(again, factory);
  EXPECT_EQ(again->lookup_participant(0), nullptr);
  ASSERT_EQ(again->get_qos(fq), RETCODE_OK);
  EXPECT_TRUE(fq.entity_factory.autoenable_created_entities);
  ASSERT_EQ(again->get_default_participant_qos(got), RETCODE_OK);
  EXPECT_TRUE(got.user_data.value.empty());
  EXPECT_TRUE(got.entity_factory.autoenable_created_entities);
  EXPECT_EQ(got.transport_mode, 0x11);
  DomainParticipantFactory::finalize();  // twice, with nothing created, is harmless
}

TEST_F(ModelTest, DomainIdRange) {
  struct Case {
    DomainId_t id;
    bool accepted;
  } cases[] = {{-1, false}, {0, true}, {1, true}, {232, true}, {233, false}, {100000, false}};
  for (const Case& c : cases) {
    DomainParticipant* p = make_participant(c.id);
    EXPECT_EQ(p != nullptr, c.accepted) << "domain " << c.id;
    if (p != nullptr) {
      EXPECT_EQ(p->get_domain_id(), c.id);
      EXPECT_EQ(factory->delete_participant(p), RETCODE_OK);
      EXPECT_EQ(p, nullptr);
    }
  }
}

TEST_F(ModelTest, LookupParticipantFindsTheEarliestAlive) {
  DomainParticipant* a = make_participant(3);
  DomainParticipant* b = make_participant(3);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(factory->lookup_participant(3), a);
  EXPECT_EQ(factory->lookup_participant(4), nullptr);
  ASSERT_EQ(factory->delete_participant(a), RETCODE_OK);
  EXPECT_EQ(factory->lookup_participant(3), b);
}

// ------------------------------------------------------ default QoS objects

TEST_F(ModelTest, DefaultObjectsAreRecognisedByAddressNotValue) {
  DomainParticipant* p = make_participant();
  ASSERT_NE(p, nullptr);
  PublisherQos custom;
  custom.group_data.value = {'x', 'y', 'z'};
  ASSERT_EQ(p->set_default_publisher_qos(custom), RETCODE_OK);

  Publisher* by_default = p->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
  PublisherQos copy = PUBLISHER_QOS_DEFAULT;  // a copy is just a value
  Publisher* by_value = p->create_publisher(copy, nullptr, 0);
  ASSERT_NE(by_default, nullptr);
  ASSERT_NE(by_value, nullptr);
  PublisherQos got;
  ASSERT_EQ(by_default->get_qos(got), RETCODE_OK);
  EXPECT_EQ(got.group_data.value, custom.group_data.value);
  ASSERT_EQ(by_value->get_qos(got), RETCODE_OK);
  EXPECT_TRUE(got.group_data.value.empty());

  // The default taken at creation does not follow later changes.
  ASSERT_EQ(p->set_default_publisher_qos(PUBLISHER_QOS_DEFAULT), RETCODE_OK);
  ASSERT_EQ(by_default->get_qos(got), RETCODE_OK);
  EXPECT_EQ(got.group_data.value, custom.group_data.value);
  ASSERT_EQ(p->get_default_publisher_qos(got), RETCODE_OK);
  EXPECT_TRUE(got.group_data.value.empty());
  EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
}

TEST_F(ModelTest, GettersReplaceSequencesWhole) {
  DomainParticipantQos q;
  q.user_data.value = {1, 2, 3, 4, 5, 6};
  DomainParticipant* p = factory->create_participant(0, q, nullptr, 0);
  ASSERT_NE(p, nullptr);
  q.user_data.value = {9};
  ASSERT_EQ(p->set_qos(q), RETCODE_OK);
  DomainParticipantQos got;
  got.user_data.value = {7, 7, 7, 7, 7, 7, 7, 7};
  ASSERT_EQ(p->get_qos(got), RETCODE_OK);
  EXPECT_EQ(got.user_data.value, std::vector<octet>({9}));
}

// -------------------------------------------------------- deletion rules

TEST_F(ModelTest, DeletionsRefuseNullForeignAndStalePointers) {
  DomainParticipant* p1 = make_participant();
  DomainParticipant* p2 = make_participant();
  ASSERT_NE(p1, nullptr);
  ASSERT_NE(p2, nullptr);
  Publisher* pub = p1->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
  Subscriber* sub = p1->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(pub, nullptr);
  ASSERT_NE(sub, nullptr);
  ASSERT_EQ(p1->registe_type("Rec", &g_keyed), RETCODE_OK);
  Topic* topic = p1->create_topic("t", "Rec", TOPIC_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(topic, nullptr);

  Publisher* null_pub = nullptr;
  Topic* null_topic = nullptr;
  ContentFilteredTopic* null_cft = nullptr;
  DomainParticipant* null_p = nullptr;
  EXPECT_EQ(p1->delete_publisher(null_pub), RETCODE_BAD_PARAMETER);
  EXPECT_EQ(p1->delete_topic(null_topic), RETCODE_BAD_PARAMETER);
  EXPECT_EQ(p1->delete_contentfilteredtopic(null_cft), RETCODE_BAD_PARAMETER);
  EXPECT_EQ(factory->delete_participant(null_p), RETCODE_BAD_PARAMETER);

  Publisher* foreign = pub;
  EXPECT_EQ(p2->delete_publisher(foreign), RETCODE_PRECONDITION_NOT_MET);
  EXPECT_EQ(foreign, pub);

  // A participant with contents is not deleted.
  DomainParticipant* keep = p1;
  EXPECT_EQ(factory->delete_participant(keep), RETCODE_PRECONDITION_NOT_MET);
  EXPECT_EQ(keep, p1);

  Publisher* stale = pub;
  EXPECT_EQ(p1->delete_publisher(pub), RETCODE_OK);
  EXPECT_EQ(pub, nullptr);
  EXPECT_EQ(p1->delete_publisher(stale), RETCODE_PRECONDITION_NOT_MET);

  EXPECT_TRUE(p1->contains_entity(sub->get_instance_handle()));
  EXPECT_TRUE(p1->contains_entity(topic->get_instance_handle()));
  EXPECT_FALSE(p1->contains_entity(HANDLE_NIL));
  EXPECT_FALSE(p1->contains_entity(p1->get_instance_handle()));
  EXPECT_FALSE(p2->contains_entity(topic->get_instance_handle()));
  const InstanceHandle_t sub_handle = sub->get_instance_handle();
  EXPECT_EQ(p1->delete_contained_entities(), RETCODE_OK);
  EXPECT_FALSE(p1->contains_entity(sub_handle));
  EXPECT_EQ(p1->lookup_topicdescription("t"), nullptr);
  EXPECT_EQ(factory->delete_participant(p1), RETCODE_OK);
  DomainParticipant* again = keep;
  EXPECT_EQ(factory->delete_participant(again), RETCODE_BAD_PARAMETER);
}

TEST_F(ModelTest, EntityHandlesAreUniqueAndNeverReused) {
  std::set<std::vector<uint8_t>> seen;
  auto note = [&](const InstanceHandle_t& h) {
    EXPECT_EQ(h.length, 16u);
    EXPECT_NE(h, HANDLE_NIL);
    EXPECT_TRUE(seen.insert(std::vector<uint8_t>(h.value, h.value + 16)).second);
  };
  for (int round = 0; round < 3; ++round) {
    DomainParticipant* p = make_participant();
    ASSERT_NE(p, nullptr);
    note(p->get_instance_handle());
    for (int i = 0; i < 5; ++i) {
      note(p->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0)->get_instance_handle());
      note(p->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0)->get_instance_handle());
    }
    EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
    EXPECT_EQ(factory->delete_participant(p), RETCODE_OK);
  }
}

// -------------------------------------------------- registration and topics

TEST_F(ModelTest, TypeRegistrationRules) {
  DomainParticipant* p = make_participant();
  DomainParticipant* other = make_participant();
  ASSERT_NE(p, nullptr);
  struct Case {
    const char* name;
    TypeSupport* ts;
    ReturnCode_t expected;
  } cases[] = {
      {"A", &g_keyed, RETCODE_OK},
      {"A", &g_keyed, RETCODE_OK},                      // same support again
      {"B", &g_keyed, RETCODE_OK},                      // same support, second name
      {"A", &g_other, RETCODE_PRECONDITION_NOT_MET},    // taken by another support
      {"", &g_keyed, RETCODE_BAD_PARAMETER},
      {"C", nullptr, RETCODE_BAD_PARAMETER},
  };
  for (const Case& c : cases) EXPECT_EQ(p->registe_type(c.name, c.ts), c.expected) << c.name;
  // Registrations are per participant.
  EXPECT_EQ(other->registe_type("A", &g_other), RETCODE_OK);
  // They survive delete_contained_entities and never block deletion.
  EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
  EXPECT_NE(p->create_topic("t", "B", TOPIC_QOS_DEFAULT, nullptr, 0), nullptr);
  EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
  EXPECT_EQ(factory->delete_participant(p), RETCODE_OK);
}

TEST_F(ModelTest, TopicNamesAndContentFilteredTopics) {
  DomainParticipant* p = make_participant();
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->registe_type("KeyedType", &g_keyed), RETCODE_OK);
  ASSERT_EQ(p->registe_type("no_description", &g_keyed), RETCODE_OK);
  EXPECT_EQ(p->create_topic("t", "unregistered", TOPIC_QOS_DEFAULT, nullptr, 0), nullptr);
  Topic* t = p->create_topic("t", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->get_type_name(), "KeyedType");
  EXPECT_EQ(t->get_name(), "t");
  EXPECT_EQ(t->get_participant(), p);
  EXPECT_EQ(p->create_topic("t", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0), nullptr);

  ContentFilteredTopic* cft = p->create_contentfilteredtopic("cft", t, "lVal > %0", {"5"});
  ASSERT_NE(cft, nullptr);
  EXPECT_EQ(cft->get_related_topic(), t);
  EXPECT_EQ(p->lookup_topicdescription("cft"), static_cast<TopicDescription*>(cft));
  // One name space for topics and content-filtered topics.
  EXPECT_EQ(p->create_topic("cft", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0), nullptr);
  EXPECT_EQ(p->create_contentfilteredtopic("t", t, "lVal > 1", {}), nullptr);
  // Refusals leave nothing under the name.
  EXPECT_EQ(p->create_contentfilteredtopic("bad", t, "lVal >", {}), nullptr);
  EXPECT_EQ(p->create_contentfilteredtopic("bad", t, "lVal > %1", {"1"}), nullptr);
  EXPECT_EQ(p->create_contentfilteredtopic("bad", nullptr, "lVal > 1", {}), nullptr);
  EXPECT_EQ(p->lookup_topicdescription("bad"), nullptr);
  Topic* t2 = p->create_topic("t2", "no_description", TOPIC_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(t2, nullptr);
  EXPECT_EQ(p->create_contentfilteredtopic("bad", t2, "lVal > 1", {}), nullptr);

  // Parameters: verbatim, in order; a refused change keeps the old ones.
  StringSeq params;
  ASSERT_EQ(cft->get_expression_parameters(params), RETCODE_OK);
  EXPECT_EQ(params, StringSeq({"5"}));
  EXPECT_EQ(cft->set_expression_parameters({}), RETCODE_BAD_PARAMETER);
  ASSERT_EQ(cft->get_expression_parameters(params), RETCODE_OK);
  EXPECT_EQ(params, StringSeq({"5"}));

  // A topic in use by a content-filtered topic is not deleted.
  Topic* keep = t;
  EXPECT_EQ(p->delete_topic(keep), RETCODE_PRECONDITION_NOT_MET);
  EXPECT_EQ(p->delete_contentfilteredtopic(cft), RETCODE_OK);
  EXPECT_EQ(cft, nullptr);
  EXPECT_EQ(p->delete_topic(t), RETCODE_OK);
  EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
}

// Topic and type names are 1 to 256 bytes without a NUL; others are
// refused before they reach Cyclone (which crashes on topic names of 65528
// bytes or more, and cuts a name at its first NUL).
TEST_F(ModelTest, NamesBeyondTheBoundOrWithANulAreRefused) {
  using namespace std::string_literals;
  DomainParticipant* p = make_participant();
  ASSERT_NE(p, nullptr);
  const std::string at_bound(256, 'n');
  const std::string refused[] = {std::string(257, 'n'), std::string(65528, 'n'), "\0"s, "\0name"s, "na\0me"s,
                                 "name\0"s, "name\0\0"s, at_bound.substr(0, 255) + "\0"s};
  EXPECT_EQ(p->registe_type(at_bound, &g_keyed), RETCODE_OK);
  ASSERT_EQ(p->registe_type("KeyedType", &g_keyed), RETCODE_OK);
  Publisher* pub = p->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
  Subscriber* sub = p->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
  ASSERT_TRUE(pub && sub);
  // At the bound both names go all the way to Cyclone.
  Topic* t = p->create_topic(at_bound, at_bound, TOPIC_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(pub->create_datawriter(t, DATAWRITER_QOS_DEFAULT, nullptr, 0), nullptr);
  EXPECT_NE(sub->create_datareader(t, DATAREADER_QOS_DEFAULT, nullptr, 0), nullptr);
  Topic* keyed = p->create_topic("keyed", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(keyed, nullptr);
  for (const std::string& name : refused) {
    SCOPED_TRACE(testing::Message() << name.size() << " bytes, NUL at " << static_cast<int64_t>(name.find('\0')));
    EXPECT_EQ(p->registe_type(name, &g_keyed), RETCODE_BAD_PARAMETER);
    EXPECT_EQ(p->create_topic(name, "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0), nullptr);
    EXPECT_EQ(p->create_contentfilteredtopic(name, keyed, "lVal > 1", {}), nullptr);
    EXPECT_EQ(p->lookup_topicdescription(name), nullptr);
    // Such a topic can never come: no waiting for it.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p->find_topic(name, {30, 0}), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
  EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
}

// Names that Cyclone would cut to the same C string never meet on the wire:
// with the part before the NUL in use, the longer names are no other topic
// or type of the same name, in this participant or another one.
TEST_F(ModelTest, NamesDifferingAfterANulDoNotMeet) {
  using namespace std::string_literals;
  DomainParticipant* a = make_participant();
  DomainParticipant* b = make_participant();
  ASSERT_TRUE(a && b);
  Topic* shared[2] = {};
  for (int i = 0; i < 2; ++i) {
    DomainParticipant* p = i == 0 ? a : b;
    EXPECT_EQ(p->registe_type("KeyedType\0other"s, &g_other), RETCODE_BAD_PARAMETER);
    ASSERT_EQ(p->registe_type("KeyedType", &g_keyed), RETCODE_OK);
    shared[i] = p->create_topic("shared", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
    ASSERT_NE(shared[i], nullptr);
    // The filter is one this type takes: only the name is refused.
    ASSERT_NE(p->create_contentfilteredtopic("filtered", shared[i], "lVal > 1", {}), nullptr);
    for (const std::string& name : {"shared\0one"s, "shared\0two"s}) {
      EXPECT_EQ(p->create_topic(name, "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0), nullptr);
      EXPECT_EQ(p->create_contentfilteredtopic(name, shared[i], "lVal > 1", {}), nullptr);
      EXPECT_EQ(p->lookup_topicdescription(name), nullptr);
    }
    EXPECT_EQ(p->lookup_topicdescription("shared"), static_cast<TopicDescription*>(shared[i]));
  }
  for (DomainParticipant* p : {a, b}) {
    EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
    EXPECT_EQ(factory->delete_participant(p), RETCODE_OK);
  }
}

// A writer or reader that Cyclone refuses (here for its topic name) is not
// created; created disabled, its enable() reports the refusal.
TEST_F(ModelTest, EndpointsCycloneRefusesAreNotCreated) {
  DomainParticipant* p = make_participant();
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->registe_type("Rec", &g_keyed), RETCODE_OK);
  Topic* t = p->create_topic("not a cyclone name", "Rec", TOPIC_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(t, nullptr);
  Publisher* pub = p->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
  Subscriber* sub = p->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
  ASSERT_TRUE(pub && sub);
  EXPECT_EQ(pub->create_datawriter(t, DATAWRITER_QOS_DEFAULT, nullptr, 0), nullptr);
  EXPECT_EQ(sub->create_datareader(t, DATAREADER_QOS_DEFAULT, nullptr, 0), nullptr);
  EXPECT_EQ(pub->lookup_datawriter("not a cyclone name"), nullptr);
  Topic* victim = t;
  EXPECT_EQ(p->delete_topic(victim), RETCODE_OK) << "a refused endpoint left a use of its topic";

  t = p->create_topic("not a cyclone name", "Rec", TOPIC_QOS_DEFAULT, nullptr, 0);
  PublisherQos manual;
  manual.entity_factory.autoenable_created_entities = false;
  ASSERT_EQ(pub->set_qos(manual), RETCODE_OK);
  DataWriter* w = pub->create_datawriter(t, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->enable(), RETCODE_BAD_PARAMETER);
  EXPECT_FALSE(w->is_enabled());
  EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
}

TEST_F(ModelTest, FindTopicReturnsTheTopicOrWaitsOutTheTimeout) {
  DomainParticipant* p = make_participant();
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->registe_type("Rec", &g_keyed), RETCODE_OK);
  Topic* t = p->create_topic("t", "Rec", TOPIC_QOS_DEFAULT, nullptr, 0);
  EXPECT_EQ(p->find_topic("t", {1, 0}), t);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(p->find_topic("missing", {0, 200000000}), nullptr);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
  EXPECT_EQ(factory->delete_participant(p), RETCODE_OK);
}

// -------------------------------------------------- QoS rules on entities

TEST_F(ModelTest, WriterAndReaderQosConsistency) {
  DomainParticipant* p = make_participant();
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->registe_type("Rec", &g_keyed), RETCODE_OK);
  Topic* t = p->create_topic("t", "Rec", TOPIC_QOS_DEFAULT, nullptr, 0);
  Publisher* pub = p->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
  Subscriber* sub = p->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(t, nullptr);

  struct Case {
    const char* what;
    int32_t depth;
    HistoryQosPolicyKind kind;
    int32_t max_samples, max_per_instance;
    bool accepted;
  } cases[] = {
      {"defaults", 1, KEEP_LAST_HISTORY_QOS, -1, -1, true},
      {"depth equal to per-instance limit", 5, KEEP_LAST_HISTORY_QOS, 500, 5, true},
      {"depth above per-instance limit", 6, KEEP_LAST_HISTORY_QOS, 500, 5, false},
      {"keep all ignores depth", 100, KEEP_ALL_HISTORY_QOS, 1000, 10, true},
      {"keep all with depth 1", 1, KEEP_ALL_HISTORY_QOS, 10, 10, true},
      {"samples below per-instance", 1, KEEP_LAST_HISTORY_QOS, 4, 5, false},
      {"depth 0 under keep last", 0, KEEP_LAST_HISTORY_QOS, -1, -1, false},
  };
  for (const Case& c : cases) {
    DataWriterQos wq = DATAWRITER_QOS_DEFAULT;
    wq.history.kind = c.kind;
    wq.history.depth = c.depth;
    wq.resource_limits.max_samples = c.max_samples;
    wq.resource_limits.max_samples_per_instance = c.max_per_instance;
    DataReaderQos rq = DATAREADER_QOS_DEFAULT;
    rq.history = wq.history;
    rq.resource_limits = wq.resource_limits;
    EXPECT_EQ(pub->create_datawriter(t, wq, nullptr, 0) != nullptr, c.accepted) << c.what;
    EXPECT_EQ(sub->create_datareader(t, rq, nullptr, 0) != nullptr, c.accepted) << c.what;
  }
  DataReaderQos rq = DATAREADER_QOS_DEFAULT;
  rq.deadline.period = {1, 0};
  rq.time_based_filter.minimum_separation = {2, 0};
  EXPECT_EQ(sub->create_datareader(t, rq, nullptr, 0), nullptr);
  // A null or foreign topic is refused without a crash.
  EXPECT_EQ(pub->create_datawriter(nullptr, DATAWRITER_QOS_DEFAULT, nullptr, 0), nullptr);
  EXPECT_EQ(sub->create_datareader(nullptr, DATAREADER_QOS_DEFAULT, nullptr, 0), nullptr);
  EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
}

TEST_F(ModelTest, ImmutablePoliciesOnEnabledEntitiesChangeNothing) {
  DomainParticipant* p = make_participant();
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->registe_type("Rec", &g_keyed), RETCODE_OK);
  Topic* t = p->create_topic("t", "Rec", TOPIC_QOS_DEFAULT, nullptr, 0);
  Publisher* pub = p->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(pub, nullptr);
  DataWriter* w = pub->create_datawriter(t, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(w->is_enabled());

  DataWriterQos q;
  ASSERT_EQ(w->get_qos(q), RETCODE_OK);
  q.user_data.value = {'u'};           // changeable
  q.reliability.kind = BEST_EFFORT_RELIABILITY_QOS;  // not changeable
  EXPECT_EQ(w->set_qos(q), RETCODE_IMMUTABLE_POLICY);
  DataWriterQos got;
  ASSERT_EQ(w->get_qos(got), RETCODE_OK);
  EXPECT_TRUE(got.user_data.value.empty());
  EXPECT_EQ(got.reliability.kind, RELIABLE_RELIABILITY_QOS);
  q.reliability.kind = RELIABLE_RELIABILITY_QOS;
  EXPECT_EQ(w->set_qos(q), RETCODE_OK);
  ASSERT_EQ(w->get_qos(got), RETCODE_OK);
  EXPECT_EQ(got.user_data.value, std::vector<octet>({'u'}));

  PublisherQos pq;
  ASSERT_EQ(pub->get_qos(pq), RETCODE_OK);
  pq.presentation.access_scope = TOPIC_PRESENTATION_QOS;
  pq.group_data.value = {1};
  EXPECT_EQ(pub->set_qos(pq), RETCODE_IMMUTABLE_POLICY);
  ASSERT_EQ(pub->get_qos(pq), RETCODE_OK);
  EXPECT_TRUE(pq.group_data.value.empty());

  TopicQos tq;
  ASSERT_EQ(t->get_qos(tq), RETCODE_OK);
  tq.history.depth = 3;
  EXPECT_EQ(t->set_qos(tq), RETCODE_IMMUTABLE_POLICY);
  tq.history.depth = 1;
  tq.topic_data.value = {'a', 'b'};
  EXPECT_EQ(t->set_qos(tq), RETCODE_OK);
  EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
}

TEST_F(ModelTest, DisabledEntitiesAcceptEveryChangeAndEnableInOrder) {
  DomainParticipantFactoryQos fq;
  fq.entity_factory.autoenable_created_entities = false;
  ASSERT_EQ(factory->set_qos(fq), RETCODE_OK);
  DomainParticipantQos pq;
  pq.entity_factory.autoenable_created_entities = false;
  DomainParticipant* p = factory->create_participant(0, pq, nullptr, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_FALSE(p->is_enabled());
  ASSERT_EQ(p->registe_type("Rec", &g_keyed), RETCODE_OK);
  Topic* t = p->create_topic("t", "Rec", TOPIC_QOS_DEFAULT, nullptr, 0);
  PublisherQos pubq;
  pubq.entity_factory.autoenable_created_entities = false;
  Publisher* pub = p->create_publisher(pubq, nullptr, 0);
  ASSERT_NE(pub, nullptr);
  EXPECT_FALSE(pub->is_enabled());
  DataWriter* w = pub->create_datawriter(t, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(w, nullptr);
  EXPECT_FALSE(w->is_enabled());

  DataWriterQos q;
  ASSERT_EQ(w->get_qos(q), RETCODE_OK);
  q.reliability.kind = BEST_EFFORT_RELIABILITY_QOS;
  EXPECT_EQ(w->set_qos(q), RETCODE_OK);

  EXPECT_EQ(pub->enable(), RETCODE_PRECONDITION_NOT_MET);  // its participant is disabled
  EXPECT_EQ(p->enable(), RETCODE_OK);
  EXPECT_FALSE(pub->is_enabled());  // no cascade
  EXPECT_EQ(pub->enable(), RETCODE_OK);
  EXPECT_EQ(w->enable(), RETCODE_OK);  // the topic itself is still disabled
  EXPECT_TRUE(w->is_enabled());
  EXPECT_FALSE(t->is_enabled());
  EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
  EXPECT_EQ(factory->delete_participant(p), RETCODE_OK);
}

TEST_F(ModelTest, EnablingAParentEnablesWhatItAutoenables) {
  DomainParticipantFactoryQos fq;
  fq.entity_factory.autoenable_created_entities = false;
  ASSERT_EQ(factory->set_qos(fq), RETCODE_OK);
  DomainParticipant* p = make_participant();  // autoenables, but is itself created disabled
  ASSERT_NE(p, nullptr);
  ASSERT_FALSE(p->is_enabled());
  ASSERT_EQ(p->registe_type("Rec", &g_keyed), RETCODE_OK);
  Topic* t = p->create_topic("t", "Rec", TOPIC_QOS_DEFAULT, nullptr, 0);
  Publisher* pub = p->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
  PublisherQos manual;
  manual.entity_factory.autoenable_created_entities = false;
  Publisher* pub_manual = p->create_publisher(manual, nullptr, 0);
  Subscriber* sub = p->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
  ASSERT_TRUE(t && pub && pub_manual && sub);
  DataWriter* w = pub->create_datawriter(t, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataWriter* w_manual = pub_manual->create_datawriter(t, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = sub->create_datareader(t, DATAREADER_QOS_DEFAULT, nullptr, 0);
  ASSERT_TRUE(w && w_manual && r);
  for (Entity* e : std::vector<Entity*>{t, pub, pub_manual, sub, w, w_manual, r}) EXPECT_FALSE(e->is_enabled());

  EXPECT_EQ(p->enable(), RETCODE_OK);
  for (Entity* e : std::vector<Entity*>{p, t, pub, pub_manual, sub, w, r}) EXPECT_TRUE(e->is_enabled());
  EXPECT_FALSE(w_manual->is_enabled());  // its publisher does not autoenable
  EXPECT_EQ(p->enable(), RETCODE_OK);    // again: nothing to do
  EXPECT_EQ(w_manual->enable(), RETCODE_OK);
  EXPECT_TRUE(w_manual->is_enabled());
  EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
  EXPECT_EQ(factory->delete_participant(p), RETCODE_OK);
}

TEST_F(ModelTest, ForeignAndStaleTopicDescriptionsAreRefusedWithoutBeingFollowed) {
  DomainParticipant* p = make_participant();
  DomainParticipant* other = make_participant();
  ASSERT_TRUE(p && other);
  for (DomainParticipant* x : {p, other}) ASSERT_EQ(x->registe_type("KeyedType", &g_keyed), RETCODE_OK);
  Topic* foreign = other->create_topic("t", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
  Topic* doomed = p->create_topic("doomed", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
  Topic* t = p->create_topic("t", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
  ContentFilteredTopic* doomed_cft = p->create_contentfilteredtopic("c", t, "lVal > 1", {});
  Publisher* pub = p->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
  Subscriber* sub = p->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
  ASSERT_TRUE(foreign && doomed && t && doomed_cft && pub && sub);
  Topic* stale = doomed;
  TopicDescription* stale_description = doomed;
  TopicDescription* stale_cft = doomed_cft;
  ASSERT_EQ(p->delete_topic(doomed), RETCODE_OK);
  ASSERT_EQ(p->delete_contentfilteredtopic(doomed_cft), RETCODE_OK);

  // Under AddressSanitizer a followed stale pointer fails the test.
  EXPECT_EQ(sub->create_datareader(foreign, DATAREADER_QOS_DEFAULT, nullptr, 0), nullptr);
  EXPECT_EQ(sub->create_datareader(stale_description, DATAREADER_QOS_DEFAULT, nullptr, 0), nullptr);
  EXPECT_EQ(sub->create_datareader(stale_cft, DATAREADER_QOS_DEFAULT, nullptr, 0), nullptr);
  EXPECT_EQ(pub->create_datawriter(foreign, DATAWRITER_QOS_DEFAULT, nullptr, 0), nullptr);
  EXPECT_EQ(pub->create_datawriter(stale, DATAWRITER_QOS_DEFAULT, nullptr, 0), nullptr);
  EXPECT_EQ(p->create_contentfilteredtopic("c2", stale, "lVal > 1", {}), nullptr);
  EXPECT_EQ(p->create_contentfilteredtopic("c2", foreign, "lVal > 1", {}), nullptr);
  EXPECT_EQ(p->delete_topic(stale), RETCODE_PRECONDITION_NOT_MET);
  EXPECT_NE(sub->create_datareader(t, DATAREADER_QOS_DEFAULT, nullptr, 0), nullptr);
  EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
}

TEST_F(ModelTest, LookupsOfWritersAndReadersByTopicName) {
  DomainParticipant* p = make_participant();
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->registe_type("KeyedType", &g_keyed), RETCODE_OK);
  Topic* t = p->create_topic("t", "KeyedType", TOPIC_QOS_DEFAULT, nullptr, 0);
  ContentFilteredTopic* cft = p->create_contentfilteredtopic("c", t, "lVal > 1", {});
  Publisher* pub = p->create_publisher(PUBLISHER_QOS_DEFAULT, nullptr, 0);
  Subscriber* sub = p->create_subscriber(SUBSCRIBER_QOS_DEFAULT, nullptr, 0);
  DataWriter* w1 = pub->create_datawriter(t, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataWriter* w2 = pub->create_datawriter(t, DATAWRITER_QOS_DEFAULT, nullptr, 0);
  DataReader* r = sub->create_datareader(cft, DATAREADER_QOS_DEFAULT, nullptr, 0);
  ASSERT_NE(w1, nullptr);
  ASSERT_NE(w2, nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(pub->lookup_datawriter("t"), w1);
  EXPECT_EQ(pub->lookup_datawriter("x"), nullptr);
  EXPECT_EQ(sub->lookup_datareader("c"), r);
  EXPECT_EQ(r->get_topicdescription(), static_cast<TopicDescription*>(cft));
  // In use: neither the topic nor the filtered topic can go.
  ContentFilteredTopic* keep = cft;
  EXPECT_EQ(p->delete_contentfilteredtopic(keep), RETCODE_PRECONDITION_NOT_MET);
  EXPECT_EQ(pub->delete_contained_entities(), RETCODE_OK);
  EXPECT_EQ(sub->delete_contained_entities(), RETCODE_OK);
  EXPECT_EQ(pub->lookup_datawriter("t"), nullptr);
  EXPECT_EQ(sub->lookup_datareader("c"), nullptr);
  EXPECT_EQ(p->delete_contentfilteredtopic(cft), RETCODE_OK);
  EXPECT_EQ(p->delete_topic(t), RETCODE_OK);
  EXPECT_EQ(p->delete_contained_entities(), RETCODE_OK);
}

// ---------------------------------------------------------------------- CDR

TEST(CdrTest, SizesAgreeWithWhatIsWrittenAtEveryStartPosition) {
  for (uint32_t start = 0; start < 8; ++start) {
    for (const std::string& text : {std::string(), std::string("a"), std::string("hello world"),
                                    std::string("x\0y", 3)}) {
      Rec r;
      r.id = -123456;
      r.text = text;
      std::vector<uint8_t> bytes(64, 0xee);
      SerializedBuffer buf(bytes.data(), static_cast<uint32_t>(bytes.size()));
      CdrSerializer s(&buf, true);
      s.m_position = start;
      ASSERT_EQ(g_keyed.serialize_data(&r, &s, 0), 0);
      EXPECT_EQ(s.m_position - start, g_keyed.get_serialized_data_size(&r, start)) << "start " << start;
      EXPECT_EQ(buf.offset(), s.m_position - start);
      EXPECT_EQ(s.m_remaining, 64 - buf.offset());
      // Alignment bytes are zero.
      const uint32_t pad = (4 - start % 4) % 4;
      for (uint32_t i = 0; i < pad; ++i) EXPECT_EQ(bytes[i], 0) << i;

      SerializedBuffer in(bytes.data(), buf.offset());
      CdrDeserializer d(&in, true);
      d.m_position = start;
      Rec back;
      ASSERT_EQ(g_keyed.deserialize_data(&back, &d, 0), 0);
      EXPECT_EQ(back.id, r.id);
      EXPECT_EQ(back.text, r.text);
      EXPECT_EQ(d.m_remaining, 0u);
    }
  }
}

TEST(CdrTest, StringsHonourTheByteOrderFlagAndRejectDamage) {
  std::vector<uint8_t> bytes(32, 0);
  SerializedBuffer buf(bytes.data(), 32);
  CdrSerializer s(&buf, !CdrSerializer(&buf, true).isLittleEndian());  // the other order
  ASSERT_TRUE(s.serializeString("abc"));
  const uint8_t big_endian_4[4] = {0, 0, 0, 4};
  const uint8_t little_endian_4[4] = {4, 0, 0, 0};
  EXPECT_EQ(std::memcmp(bytes.data(), s.isLittleEndian() ? big_endian_4 : little_endian_4, 4), 0);
  {
    SerializedBuffer in(bytes.data(), 8);
    CdrDeserializer d(&in, s.m_byteOrder);
    std::string out;
    ASSERT_TRUE(d.deserializeString(out));
    EXPECT_EQ(out, "abc");
  }
  {
    // Truncated: the length says 4 characters, 3 are there.
    SerializedBuffer in(bytes.data(), 7);
    CdrDeserializer d(&in, s.m_byteOrder);
    std::string out = "kept";
    EXPECT_FALSE(d.deserializeString(out));
    EXPECT_EQ(out, "kept");
  }
  {
    // A string that does not fit is not written at all.
    std::vector<uint8_t> small(6, 0xaa);
    SerializedBuffer tiny(small.data(), 6);
    CdrSerializer t(&tiny, true);
    EXPECT_FALSE(t.serializeString("abcdef"));
    EXPECT_EQ(tiny.offset(), 0u);
  }
}

// A type support whose counters drift from the buffer (it forgot to count
// some bytes) must not make the string calls leave the buffer.
TEST(CdrTest, StringCallsStayInsideTheBufferWhateverTheCounters) {
  std::vector<uint8_t> bytes = {10, 0, 0, 0, 'a', 'b', 'c', 'd'};  // claims 10 characters, holds 4
  SerializedBuffer in(bytes.data(), static_cast<uint32_t>(bytes.size()));
  CdrDeserializer d(&in, true);
  d.m_remaining = 1000;
  std::string out = "kept";
  EXPECT_FALSE(d.deserializeString(out));
  EXPECT_EQ(out, "kept");

  std::vector<uint8_t> small(8, 0xaa);
  SerializedBuffer tiny(small.data(), static_cast<uint32_t>(small.size()));
  CdrSerializer s(&tiny, true);
  s.m_remaining = 1000;
  EXPECT_FALSE(s.serializeString("abcdef"));
  EXPECT_EQ(tiny.offset(), 0u);  // nothing written, not even the length
}

TEST(CdrTest, BufferNeverOverrunsAndZeroLengthSucceeds) {
  uint8_t mem[4] = {0, 0, 0, 0};
  SerializedBuffer b(mem, 4);
  const uint8_t five[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(b.writeData(five, 0), &b);
  EXPECT_EQ(b.writeData(five, 5), nullptr);
  EXPECT_EQ(b.offset(), 0u);
  EXPECT_EQ(b.writeData(five, 4), &b);
  EXPECT_EQ(b.writeData(five, 1), nullptr);
  b.rewind();
  EXPECT_EQ(b.readData(nullptr, 2), &b);  // skip
  uint8_t two[2];
  EXPECT_EQ(b.readData(two, 2), &b);
  EXPECT_EQ(two[0], 3);
  EXPECT_EQ(b.readData(two, 1), nullptr);
}

TEST(CdrTest, KeyHashesAreDistinctPerKeyAndNeverNil) {
  std::set<std::vector<uint8_t>> seen;
  for (int32_t id : {0, 1, -1, 2, 255, 256, 65536, 0x7fffffff}) {
    Rec r;
    r.id = id;
    r.text = "ignored";
    InstanceHandle_t h;
    ASSERT_EQ(g_keyed.MakeKey(&r, h, false), 0);
    EXPECT_NE(h, HANDLE_NIL) << id;
    EXPECT_TRUE(seen.insert(std::vector<uint8_t>(h.value, h.value + 16)).second) << id;
    Rec same_key;
    same_key.id = id;
    InstanceHandle_t h2;
    ASSERT_EQ(g_keyed.MakeKey(&same_key, h2, false), 0);
    EXPECT_EQ(h, h2);
    InstanceHandle_t forced;
    ASSERT_EQ(g_keyed.MakeKey(&r, forced, true), 0);
    EXPECT_NE(forced, HANDLE_NIL);
    EXPECT_TRUE(seen.insert(std::vector<uint8_t>(forced.value, forced.value + 16)).second) << id;
  }
}

TEST(CdrTest, SizeFunctionsIncludeAlignment) {
  struct Case {
    uint32_t size, offset, expected;
  } scalars[] = {{4, 0, 4}, {4, 1, 7}, {4, 2, 6}, {4, 3, 5}, {2, 1, 3}, {2, 2, 2}, {1, 3, 1}, {8, 4, 12}};
  for (const Case& c : scalars)
    EXPECT_EQ(CdrSerializer::getBaseTypeSize(c.size, c.offset), c.expected) << c.size << "@" << c.offset;
  EXPECT_EQ(CdrSerializer::getStringSize(1, 0), 5u);
  EXPECT_EQ(CdrSerializer::getStringSize(256, 6), 2u + 4u + 256u);
}

}  // namespace
