// The addresses of the entity objects that exist now, and of the type
// supports announced as plain addresses (see entity_exists() in entities.h
// and type_support_at() in type_support.h).
#include <mutex>
#include <set>
#include <unordered_map>

#include "quorvela/entities.h"

namespace QUORVELA {

namespace {

enum class Kind { participant, publisher, subscriber, topic, writer, reader };

struct Registry {
  std::mutex mutex;
  std::unordered_map<const void*, Kind> entities;
  std::set<int64_t> type_supports;  // addresses
};

// Never destroyed: entities with static storage may go after it otherwise.
Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

void enter(const void* entity, Kind kind) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().entities[entity] = kind;
}

void leave(const void* entity) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().entities.erase(entity);
}

bool exists(const void* entity, Kind kind) {
  if (entity == nullptr) return false;
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto it = registry().entities.find(entity);
  return it != registry().entities.end() && it->second == kind;
}

}  // namespace

#define QV_REGISTERED_ENTITY(Class, kind)                           \
  Class::Class() { enter(static_cast<const Class*>(this), kind); }   \
  Class::~Class() { leave(static_cast<const Class*>(this)); }        \
  bool entity_exists(const Class* entity) { return exists(entity, kind); }

QV_REGISTERED_ENTITY(DomainParticipant, Kind::participant)
QV_REGISTERED_ENTITY(Publisher, Kind::publisher)
QV_REGISTERED_ENTITY(Subscriber, Kind::subscriber)
QV_REGISTERED_ENTITY(Topic, Kind::topic)
QV_REGISTERED_ENTITY(DataWriter, Kind::writer)
QV_REGISTERED_ENTITY(DataReader, Kind::reader)

#undef QV_REGISTERED_ENTITY

int64_t announce_type_support(TypeSupport* type_support) {
  const int64_t address = reinterpret_cast<int64_t>(type_support);
  if (type_support != nullptr) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().type_supports.insert(address);
  }
  return address;
}

TypeSupport* type_support_at(int64_t address) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  return registry().type_supports.count(address) != 0 ? reinterpret_cast<TypeSupport*>(address) : nullptr;
}

}  // namespace QUORVELA
