// XML QoS profiles: a process-wide store of named QoS values read from a QoS
// file, looked up by profile library, profile and QoS name.
//
// ---------------------------------------------------------------- file format
//
//   <qos_config>
//     <library name="example_lib">
//       <profile name="example_profile">
//         <qos name="named_topic" kind="topic">
//           <field path="durability.kind">TRANSIENT_LOCAL</field>
//           <field path="deadline.period" sec="10" nanosec="0"/>
//           <field path="lifespan.duration">INFINITE</field>
//           <field path="topic_data.value" text="topic_data_value"/>
//           <field path="history.depth">100</field>
//         </qos>
//         <qos name="named_pub" kind="publisher">
//           <field path="partition.name">
//             <item>partition1</item>
//             <item>partition2</item>
//           </field>
//           <field path="group_data.value" hex="12 34 56"/>
//         </qos>
//       </profile>
//     </library>
//   </qos_config>
//
// Structure. The root element is <qos_config>. It holds <library> elements,
// a library holds <profile> elements, a profile holds <qos> elements and a qos
// holds <field> elements. Library, profile and qos each carry a non-empty
// `name`; names are unique among their siblings (a qos name is unique within
// its profile, whatever its kind). Nothing else is allowed: other elements,
// other attributes, stray text and a DOCTYPE are refused. Comments are fine.
//
// QoS kinds (the `kind` attribute of <qos>) and the QoS type each one holds:
//   participant_factory  DomainParticipantFactoryQos
//   participant          DomainParticipantQos
//   publisher            PublisherQos
//   subscriber           SubscriberQos
//   topic                TopicQos
//   datawriter           DataWriterQos
//   datareader           DataReaderQos
//
// Values. Each entry starts as the default-constructed QoS of its kind; every
// <field> then sets one member, named by its member path in that QoS type
// (`reliability.max_blocking_time`, `entity_factory.autoenable_created_
// entities`, ...). A path the kind's type does not have is refused, and so is
// the same path twice in one entry. An entry without fields is the default
// value. Field values by member type:
//   bool        element text: true, false, 1 or 0
//   int32       element text: decimal (optionally signed) or 0x hex; the
//               resource limits (max_samples, max_instances,
//               max_samples_per_instance, in resource_limits and
//               durability_service) take -1 (unlimited) or a positive number;
//               history.depth and durability_service.history_depth take a
//               positive number
//   kind        element text: the number or the name, short or full
//               (TRANSIENT_LOCAL or TRANSIENT_LOCAL_DURABILITY_QOS):
//                 durability        VOLATILE 0, TRANSIENT_LOCAL 1,
//                                   TRANSIENT 2, PERSISTENT 3
//                 reliability       BEST_EFFORT 1, RELIABLE 2
//                 history           KEEP_LAST 0, KEEP_ALL 1  (also
//                                   durability_service.history_kind)
//                 liveliness        AUTOMATIC 0, MANUAL_BY_PARTICIPANT 1,
//                                   MANUAL_BY_TOPIC 2
//                 ownership         SHARED 0, EXCLUSIVE 1
//                 destination order BY_RECEPTION_TIMESTAMP 0,
//                                   BY_SOURCE_TIMESTAMP 1
//                 access scope      INSTANCE 0, TOPIC 1, GROUP 2
//   duration    attributes sec="S" nanosec="N", both required, with
//               0 <= S <= 2147483647 and N < 1000000000, or S = 2147483647
//               with N = 4294967295 (infinite); or the element text INFINITE
//               for {2147483647, 4294967295}
//   octets      (user_data.value, topic_data.value, group_data.value)
//               text="..." for the bytes of that text (no terminating zero) or
//               hex="12 34 56" for raw bytes (two hex digits per byte,
//               separated by white space); neither means empty
//   strings     (partition.name) one <item>NAME</item> per element, in order;
//               NAME is taken byte for byte, white space included
//   transport_mode (participant) element text: a number 1..31 of the
//               TRANSPORT_* flags
//   properties  (properties.value of participant, datawriter, datareader)
//               one <property name="N" value="V"/> per element, in order
//
// Loading is atomic: a file that cannot be read, is not well-formed XML (a
// character reference to NUL, "&#0;", included: XML has no such character), or
// breaks any rule above (including numbers out of range and unknown kinds or
// paths) changes nothing. Files are limited to 4 MiB, octet values to
// 64 KiB, string lists to 1024 items.
//
// ----------------------------------------------------------------------- API
//
// All functions are thread-safe (one mutex guards the store).
//
//   profiles::load(file)      Reads `file` (a path, relative to the working
//                             directory) and replaces every loaded profile by
//                             its contents. RETCODE_BAD_PARAMETER for null;
//                             RETCODE_ERROR for a missing, unreadable,
//                             malformed or invalid file, with the profiles
//                             loaded before kept and the reason written as
//                             one line on standard error ("quorvela: QoS
//                             file refused: " and the reason). Loading the same file again
//                             is OK and gives the same profiles.
//   profiles::unload()        Forgets every profile. Always RETCODE_OK.
//   profiles::find(lib, profile, name, out)
//                             One overload per QoS type. RETCODE_OK with `out`
//                             replaced whole by the entry; RETCODE_ERROR with
//                             `out` unchanged when nothing is loaded, the
//                             library, profile or name is unknown, or the
//                             entry is of another kind; RETCODE_BAD_PARAMETER
//                             for a null string.
//   profiles::last_error()    Why the last refused load was refused (empty
//                             after a successful one); for diagnostics.
#pragma once

#include <string>

#include "quorvela/qos.h"
#include "quorvela/types.h"

namespace QUORVELA::detail::profiles {

ReturnCode_t load(const char* file);
ReturnCode_t unload();

ReturnCode_t find(const char* library, const char* profile, const char* qos_name,
                  DomainParticipantFactoryQos& out);
ReturnCode_t find(const char* library, const char* profile, const char* qos_name, DomainParticipantQos& out);
ReturnCode_t find(const char* library, const char* profile, const char* qos_name, PublisherQos& out);
ReturnCode_t find(const char* library, const char* profile, const char* qos_name, SubscriberQos& out);
ReturnCode_t find(const char* library, const char* profile, const char* qos_name, TopicQos& out);
ReturnCode_t find(const char* library, const char* profile, const char* qos_name, DataWriterQos& out);
ReturnCode_t find(const char* library, const char* profile, const char* qos_name, DataReaderQos& out);

std::string last_error();

}  // namespace QUORVELA::detail::profiles
