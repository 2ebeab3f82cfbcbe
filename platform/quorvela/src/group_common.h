// What publishers and subscribers share: the topic policies an endpoint
// copies, the links of their writers and readers to topics, the end of an
// endpoint's creation and its deletion, and the replacement of the group's
// QoS. Each function says which lock it expects.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "impl.h"
#include "model_util.h"
#include "policy_table.h"
#include "reader.h"
#include "writer.h"

namespace QUORVELA::detail {

// copy_from_topic_qos: every policy the topic and the endpoint both have.
template <typename Q>
void copy_topic_policies(const TopicQos& t, Q& endpoint) {
  for_each_policy_of<Q>([&](const auto& row, auto member) {
    if (auto from = row.template in<TopicQos>()) endpoint.*member = t.*from;
  });
}

// What a writer or reader holds on topics while it belongs to its group: a
// user count on its topic and, for a reader, on its content-filtered topic.
inline void hold_topics(DataWriterImpl* w) { w->topic_impl()->add_user(); }
inline void release_topics(DataWriterImpl* w) { w->topic_impl()->remove_user(); }

inline void hold_topics(DataReaderImpl* r) {
  r->topic_impl()->add_user();
  if (ContentFilteredTopicImpl* c = r->cft_impl()) c->add_user();
}
inline void release_topics(DataReaderImpl* r) {
  r->topic_impl()->remove_user();
  if (ContentFilteredTopicImpl* c = r->cft_impl()) c->remove_user();
}

// The end of a create call, with the model lock held in `lock`: links `e`
// into its group and enables it when the group autoenables what it creates.
// When that fails (Cyclone refused the endpoint) the creation fails: `e` is
// unlinked, closed outside the lock and freed.
template <typename Endpoint>
Endpoint* link_new_endpoint(std::unique_lock<std::recursive_mutex>& lock, std::vector<Endpoint*>& endpoints,
                            Endpoint* e, bool enable) {
  endpoints.push_back(e);
  hold_topics(e);
  if (!enable || e->enable() == RETCODE_OK) return e;
  endpoints.pop_back();
  release_topics(e);
  lock.unlock();
  e->close();
  delete e;
  return nullptr;
}

inline void participant_default(ParticipantImpl* participant, PublisherQos& q) {
  participant->get_default_publisher_qos(q);
}
inline void participant_default(ParticipantImpl* participant, SubscriberQos& q) {
  participant->get_default_subscriber_qos(q);
}

template <typename Endpoint>
bool holds_handle(const std::vector<Endpoint*>& endpoints, const InstanceHandle_t& h) {
  for (Endpoint* e : endpoints)
    if (e->get_instance_handle() == h) return true;
  return false;
}

// Unlinks every endpoint of a group; they are to be closed outside the lock.
template <typename Endpoint>
std::vector<Endpoint*> unlink_all(std::vector<Endpoint*>& endpoints) {
  std::vector<Endpoint*> out;
  out.swap(endpoints);
  for (Endpoint* e : out) release_topics(e);
  return out;
}

// Deletes one endpoint of a group: unlinked under the model lock, closed
// (which waits for its callbacks) after releasing it.
template <typename Endpoint, typename Api>
ReturnCode_t delete_endpoint(std::vector<Endpoint*>& endpoints, Api*& endpoint) {
  Endpoint* victim = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    if (endpoint == nullptr) return RETCODE_BAD_PARAMETER;
    victim = unlink_member(endpoints, endpoint);
    if (victim == nullptr) return RETCODE_PRECONDITION_NOT_MET;
    release_topics(victim);
  }
  victim->close();
  delete victim;
  endpoint = nullptr;
  return RETCODE_OK;
}

template <typename Endpoint>
ReturnCode_t delete_all_endpoints(std::vector<Endpoint*>& endpoints) {
  std::vector<Endpoint*> victims;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    victims = unlink_all(endpoints);
  }
  close_all(victims);
  return RETCODE_OK;
}

// Replaces the QoS of a publisher or subscriber; the default object stands
// for the participant's current default. Its endpoints are told of the
// change outside the model lock (what each holds of it in Cyclone changes
// there); the first code of one that could not (Cyclone refused it) is the
// result.
template <typename Q, typename Endpoint>
ReturnCode_t set_group_qos(ParticipantImpl* participant, Q& current, const std::atomic<bool>& enabled, const Q& qos,
                           const Q& default_object, const std::vector<Endpoint*>& endpoints) {
  std::vector<Endpoint*> affected;
  Q old, next = qos;
  {
    std::lock_guard<std::recursive_mutex> lock(model_mutex());
    if (&qos == &default_object) participant_default(participant, next);
    old = current;
    ReturnCode_t rc = replace_group_qos(current, enabled.load(), next, endpoints, affected);
    if (rc != RETCODE_OK) return rc;
  }
  return tell_all(affected, [&](Endpoint* e) { return e->group_qos_changed(old, next); });
}

}  // namespace QUORVELA::detail
