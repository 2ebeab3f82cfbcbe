// Basic value types of the QUORVELA DDS API: return codes, time, handles,
// masks, status records and sample information.
#ifndef QUORVELA_TYPES_H
#define QUORVELA_TYPES_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace QUORVELA {

typedef uint8_t octet;
typedef int32_t DomainId_t;

// ---------------------------------------------------------------- return codes
typedef int32_t ReturnCode_t;
constexpr ReturnCode_t RETCODE_OK = 0;
constexpr ReturnCode_t RETCODE_ERROR = 1;
constexpr ReturnCode_t RETCODE_UNSUPPORTED = 2;
constexpr ReturnCode_t RETCODE_BAD_PARAMETER = 3;
constexpr ReturnCode_t RETCODE_PRECONDITION_NOT_MET = 4;
constexpr ReturnCode_t RETCODE_OUT_OF_RESOURCES = 5;
constexpr ReturnCode_t RETCODE_NOT_ENABLED = 6;
constexpr ReturnCode_t RETCODE_IMMUTABLE_POLICY = 7;
constexpr ReturnCode_t RETCODE_INCONSISTENT_POLICY = 8;
constexpr ReturnCode_t RETCODE_ALREADY_DELETED = 9;
constexpr ReturnCode_t RETCODE_TIMEOUT = 10;
constexpr ReturnCode_t RETCODE_NO_DATA = 11;
constexpr ReturnCode_t RETCODE_ILLEGAL_OPERATION = 12;

// ------------------------------------------------------------------------ time
struct Duration_t {
  int32_t sec;
  uint32_t nanosec;
};
constexpr bool operator==(const Duration_t& a, const Duration_t& b) {
  return a.sec == b.sec && a.nanosec == b.nanosec;
}
constexpr bool operator!=(const Duration_t& a, const Duration_t& b) { return !(a == b); }

constexpr int32_t DURATION_INFINITE_SEC = 0x7fffffff;
constexpr uint32_t DURATION_INFINITE_NSEC = 0xffffffffu;
constexpr Duration_t DURATION_INFINITE = {DURATION_INFINITE_SEC, DURATION_INFINITE_NSEC};
constexpr Duration_t DURATION_ZERO = {0, 0};

// A point in time: seconds and nanoseconds since the epoch.
struct Time {
  int32_t sec;
  uint32_t nanosec;
};
typedef Time Time_t;
constexpr bool operator==(const Time& a, const Time& b) { return a.sec == b.sec && a.nanosec == b.nanosec; }
constexpr bool operator!=(const Time& a, const Time& b) { return !(a == b); }
constexpr Time TIME_INVALID = {-1, 0xffffffffu};

// ------------------------------------------------------------ instance handles
// 16 value octets, a length and a trailing word: exactly 24 bytes, in this order.
struct InstanceHandle {
  octet value[16];
  uint32_t length;
  int32_t trailing;

  constexpr InstanceHandle() : value{}, length(16), trailing(0) {}

  bool operator==(const InstanceHandle& o) const {
    if (length != o.length || trailing != o.trailing) return false;
    const uint32_t n = length < 16 ? length : 16;
    return std::memcmp(value, o.value, n) == 0;
  }
  bool operator!=(const InstanceHandle& o) const { return !(*this == o); }
};
typedef InstanceHandle InstanceHandle_t;
static_assert(sizeof(InstanceHandle_t) == 24, "InstanceHandle_t must be 24 bytes");

// Every translation unit gets its own, constant-initialised copy.
constexpr InstanceHandle_t HANDLE_NIL = InstanceHandle_t();

typedef std::vector<InstanceHandle_t> InstanceHandleSeq;

// Zero GUID constant.
struct GUID_t {
  octet prefix[12];
  octet entity_id[4];
};
constexpr GUID_t GUID_UNKNOWN = {{0}, {0}};

// ------------------------------------------------------------------- sequences
typedef std::vector<octet> OctetSeq;
typedef std::vector<std::string> StringSeq;

// --------------------------------------------------------------- status masks
typedef uint32_t StatusKind;
typedef uint32_t StatusMask;
constexpr StatusMask INCONSISTENT_TOPIC_STATUS = 0x0001;
constexpr StatusMask OFFERED_DEADLINE_MISSED_STATUS = 0x0002;
constexpr StatusMask REQUESTED_DEADLINE_MISSED_STATUS = 0x0004;
constexpr StatusMask OFFERED_INCOMPATIBLE_QOS_STATUS = 0x0020;
constexpr StatusMask REQUESTED_INCOMPATIBLE_QOS_STATUS = 0x0040;
constexpr StatusMask SAMPLE_LOST_STATUS = 0x0080;
constexpr StatusMask SAMPLE_REJECTED_STATUS = 0x0100;
constexpr StatusMask DATA_ON_READERS_STATUS = 0x0200;
constexpr StatusMask DATA_AVAILABLE_STATUS = 0x0400;
constexpr StatusMask LIVELINESS_LOST_STATUS = 0x0800;
constexpr StatusMask LIVELINESS_CHANGED_STATUS = 0x1000;
constexpr StatusMask PUBLICATION_MATCHED_STATUS = 0x2000;
constexpr StatusMask SUBSCRIPTION_MATCHED_STATUS = 0x4000;
constexpr StatusMask STATUS_MASK_ALL = 0xffffffffu;
constexpr StatusMask STATUS_MASK_NONE = 0;

// ---------------------------------------------------------------- state masks
typedef uint16_t SampleStateKind;
typedef uint16_t SampleStateMask;
constexpr SampleStateKind READ_SAMPLE_STATE = 0x0001;
constexpr SampleStateKind NOT_READ_SAMPLE_STATE = 0x0002;
constexpr SampleStateMask ANY_SAMPLE_STATE = 0xffff;

typedef uint16_t ViewStateKind;
typedef uint16_t ViewStateMask;
constexpr ViewStateKind NEW_VIEW_STATE = 0x0001;
constexpr ViewStateKind NOT_NEW_VIEW_STATE = 0x0002;
constexpr ViewStateMask ANY_VIEW_STATE = 0xffff;

typedef uint16_t InstanceStateKind;
typedef uint16_t InstanceStateMask;
constexpr InstanceStateKind ALIVE_INSTANCE_STATE = 0x0001;
constexpr InstanceStateKind NOT_ALIVE_DISPOSED_INSTANCE_STATE = 0x0002;
constexpr InstanceStateKind NOT_ALIVE_NO_WRITERS_INSTANCE_STATE = 0x0004;
constexpr InstanceStateMask NOT_ALIVE_INSTANCE_STATE = 0x0006;
constexpr InstanceStateMask ANY_INSTANCE_STATE = 0xffff;

// ------------------------------------------------------------------ policy ids
typedef int32_t QosPolicyId_t;
constexpr QosPolicyId_t INVALID_QOS_POLICY_ID = 0;
constexpr QosPolicyId_t USERDATA_QOS_POLICY_ID = 1;
constexpr QosPolicyId_t DURABILITY_QOS_POLICY_ID = 2;
constexpr QosPolicyId_t PRESENTATION_QOS_POLICY_ID = 3;
constexpr QosPolicyId_t DEADLINE_QOS_POLICY_ID = 4;
constexpr QosPolicyId_t LATENCYBUDGET_QOS_POLICY_ID = 5;
constexpr QosPolicyId_t OWNERSHIP_QOS_POLICY_ID = 6;
constexpr QosPolicyId_t OWNERSHIPSTRENGTH_QOS_POLICY_ID = 7;
constexpr QosPolicyId_t LIVELINESS_QOS_POLICY_ID = 8;
constexpr QosPolicyId_t TIMEBASEDFILTER_QOS_POLICY_ID = 9;
constexpr QosPolicyId_t PARTITION_QOS_POLICY_ID = 10;
constexpr QosPolicyId_t RELIABILITY_QOS_POLICY_ID = 11;
constexpr QosPolicyId_t DESTINATIONORDER_QOS_POLICY_ID = 12;
constexpr QosPolicyId_t HISTORY_QOS_POLICY_ID = 13;
constexpr QosPolicyId_t RESOURCELIMITS_QOS_POLICY_ID = 14;
constexpr QosPolicyId_t ENTITYFACTORY_QOS_POLICY_ID = 15;
constexpr QosPolicyId_t WRITERDATALIFECYCLE_QOS_POLICY_ID = 16;
constexpr QosPolicyId_t READERDATALIFECYCLE_QOS_POLICY_ID = 17;
constexpr QosPolicyId_t TOPICDATA_QOS_POLICY_ID = 18;
constexpr QosPolicyId_t GROUPDATA_QOS_POLICY_ID = 19;
constexpr QosPolicyId_t TRANSPORTPRIORITY_QOS_POLICY_ID = 20;
constexpr QosPolicyId_t LIFESPAN_QOS_POLICY_ID = 21;
constexpr QosPolicyId_t DURABILITYSERVICE_QOS_POLICY_ID = 22;

// Policy names; per translation unit, constant-initialised.
constexpr const char* USERDATA_QOS_POLICY_NAME = "UserData";
constexpr const char* DURABILITY_QOS_POLICY_NAME = "Durability";
constexpr const char* PRESENTATION_QOS_POLICY_NAME = "Presentation";
constexpr const char* DEADLINE_QOS_POLICY_NAME = "Deadline";
constexpr const char* LATENCYBUDGET_QOS_POLICY_NAME = "LatencyBudget";
constexpr const char* OWNERSHIP_QOS_POLICY_NAME = "Ownership";
constexpr const char* LIVELINESS_QOS_POLICY_NAME = "Liveliness";
constexpr const char* TIMEBASEDFILTER_QOS_POLICY_NAME = "TimeBasedFilter";
constexpr const char* PARTITION_QOS_POLICY_NAME = "Partition";
constexpr const char* RELIABILITY_QOS_POLICY_NAME = "Reliability";
constexpr const char* DESTINATIONORDER_QOS_POLICY_NAME = "DestinationOrder";
constexpr const char* HISTORY_QOS_POLICY_NAME = "History";
constexpr const char* RESOURCELIMITS_QOS_POLICY_NAME = "ResourceLimits";
constexpr const char* ENTITYFACTORY_QOS_POLICY_NAME = "EntityFactory";
constexpr const char* WRITERDATALIFECYCLE_QOS_POLICY_NAME = "WriterDataLifecycle";
constexpr const char* READERDATALIFECYCLE_QOS_POLICY_NAME = "ReaderDataLifecycle";
constexpr const char* TOPICDATA_QOS_POLICY_NAME = "TopicData";
constexpr const char* GROUPDATA_QOS_POLICY_NAME = "GroupData";
constexpr const char* TRANSPORTPRIORITY_QOS_POLICY_NAME = "TransportPriority";
constexpr const char* LIFESPAN_QOS_POLICY_NAME = "Lifespan";
constexpr const char* DURABILITYSERVICE_QOS_POLICY_NAME = "DurabilityService";

// -------------------------------------------------------------- status records
struct QosPolicyCount {
  QosPolicyId_t policy_id = INVALID_QOS_POLICY_ID;
  int32_t count = 0;
};
typedef std::vector<QosPolicyCount> QosPolicyCountSeq;

struct InconsistentTopicStatus {
  int32_t total_count = 0;
  int32_t total_count_change = 0;
};

struct OfferedDeadlineMissedStatus {
  int32_t total_count = 0;
  int32_t total_count_change = 0;
  InstanceHandle_t last_instance_handle;
};

struct RequestedDeadlineMissedStatus {
  int32_t total_count = 0;
  int32_t total_count_change = 0;
  InstanceHandle_t last_instance_handle;
};

struct OfferedIncompatibleQosStatus {
  int32_t total_count = 0;
  int32_t total_count_change = 0;
  QosPolicyId_t last_policy_id = INVALID_QOS_POLICY_ID;
  QosPolicyCountSeq policies;
};

struct RequestedIncompatibleQosStatus {
  int32_t total_count = 0;
  int32_t total_count_change = 0;
  QosPolicyId_t last_policy_id = INVALID_QOS_POLICY_ID;
  QosPolicyCountSeq policies;
};

struct LivelinessLostStatus {
  int32_t total_count = 0;
  int32_t total_count_change = 0;
};

struct LivelinessChangedStatus {
  int32_t alive_count = 0;
  int32_t not_alive_count = 0;
  int32_t alive_count_change = 0;
  int32_t not_alive_count_change = 0;
  InstanceHandle_t last_publication_handle;
};

struct PublicationMatchedStatus {
  int32_t total_count = 0;
  int32_t total_count_change = 0;
  int32_t current_count = 0;
  int32_t current_count_change = 0;
  InstanceHandle_t last_subscription_handle;
};

struct SubscriptionMatchedStatus {
  int32_t total_count = 0;
  int32_t total_count_change = 0;
  int32_t current_count = 0;
  int32_t current_count_change = 0;
  InstanceHandle_t last_publication_handle;
};

struct SampleLostStatus {
  int32_t total_count = 0;
  int32_t total_count_change = 0;
};

typedef uint8_t SampleRejectedStatusKind;
constexpr SampleRejectedStatusKind NOT_REJECTED = 0;
constexpr SampleRejectedStatusKind REJECTED_BY_INSTANCES_LIMIT = 1;
constexpr SampleRejectedStatusKind REJECTED_BY_SAMPLES_LIMIT = 2;
constexpr SampleRejectedStatusKind REJECTED_BY_SAMPLES_PER_INSTANCE_LIMIT = 3;

struct SampleRejectedStatus {
  int32_t total_count = 0;
  int32_t total_count_change = 0;
  SampleRejectedStatusKind last_reason = NOT_REJECTED;
  InstanceHandle_t last_instance_handle;
};

// ----------------------------------------------------------------- sample info
struct SampleInfo {
  SampleStateKind sample_state = NOT_READ_SAMPLE_STATE;
  ViewStateKind view_state = NEW_VIEW_STATE;
  InstanceStateKind instance_state = ALIVE_INSTANCE_STATE;
  Time source_timestamp = {0, 0};
  InstanceHandle_t instance_handle;
  InstanceHandle_t publication_handle;
  int32_t disposed_generation_count = 0;
  int32_t no_writers_generation_count = 0;
  int32_t sample_rank = 0;
  int32_t generation_rank = 0;
  int32_t absolute_generation_rank = 0;
  bool valid_data = false;
};

}  // namespace QUORVELA

#endif
