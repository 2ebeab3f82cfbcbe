"""FlatRecord samples through the library: written, registered, disposed,
read and taken, in one process and from another process."""
import itertools
import os
import subprocess
import sys
import time

import pytest

import quorvela as Q
from FlatRecord import FlatRecord, FlatRecordDataReader, FlatRecordDataWriter, FlatRecordTypeSupport

DOMAIN = 0
WAIT_S = 10.0
_topic_numbers = itertools.count()


def unique_topic():
    return "PyFlatRecord_%d_%d" % (os.getpid(), next(_topic_numbers))


def sample(l=0, s=0, sb=""):
    r = FlatRecord()
    r.lVal, r.sVal, r.sbVal = l, s, sb
    return r


def handle_of(length, trailing, hex_value):
    h = Q.InstanceHandle()
    h.length, h.trailing = length, trailing
    h.value = bytes.fromhex(hex_value)
    return h


def reliable_keep_all(qos):
    qos.reliability.kind = Q.RELIABLE_RELIABILITY_QOS
    qos.history.kind = Q.KEEP_ALL_HISTORY_QOS
    return qos


class Entities:
    """A participant with FlatRecord registered, one topic, a typed writer and
    a typed reader (reliable, keep all)."""

    def __init__(self, topic_name, with_writer=True, with_reader=True):
        self.factory = Q.DomainParticipantFactory.get_instance()
        self.participant = self.factory.create_participant(DOMAIN)
        assert self.participant is not None
        assert self.participant.registe_type("FlatRecord", FlatRecordTypeSupport.get_instance()) == Q.RETCODE_OK
        self.topic = self.participant.create_topic(topic_name, "FlatRecord")
        assert self.topic is not None
        self.writer = self.reader = None
        if with_writer:
            self.publisher = self.participant.create_publisher()
            self.dw = self._endpoint(Q.DataWriterQos(), self.publisher.get_default_datawriter_qos,
                                     self.publisher.create_datawriter)
            self.writer = FlatRecordDataWriter(self.dw)
        if with_reader:
            self.subscriber = self.participant.create_subscriber()
            self.dr = self._endpoint(Q.DataReaderQos(), self.subscriber.get_default_datareader_qos,
                                     self.subscriber.create_datareader)
            self.reader = FlatRecordDataReader(self.dr)

    def _endpoint(self, qos, get_default_qos, create):
        """A writer or reader on the topic: the group's default QoS made
        reliable and keep-all."""
        assert get_default_qos(qos) == Q.RETCODE_OK
        endpoint = create(self.topic, reliable_keep_all(qos))
        assert endpoint is not None
        return endpoint

    def close(self):
        assert self.participant.delete_contained_entities() == Q.RETCODE_OK
        assert self.factory.delete_participant(self.participant) == Q.RETCODE_OK
        assert Q.DomainParticipantFactory.finalize() == Q.RETCODE_OK


@pytest.fixture
def ents():
    e = Entities(unique_topic())
    yield e
    e.close()


def next_sample(reader, op="take_next_sample", timeout=WAIT_S):
    """Polls until the reader returns something other than RETCODE_NO_DATA."""
    out, info = FlatRecord(), Q.SampleInfo()
    deadline = time.monotonic() + timeout
    while True:
        rc = getattr(reader, op)(out, info)
        if rc != Q.RETCODE_NO_DATA or time.monotonic() > deadline:
            return rc, out, info
        time.sleep(0.01)


def test_write_then_take_in_order(ents):
    sent = [(1, -1, "one"), (2147483647, 32767, "caf\u00e9"), (-2147483648, -32768, "")]
    for values in sent:
        assert ents.writer.write(sample(*values), Q.InstanceHandle()) == Q.RETCODE_OK
    got = []
    for _ in sent:
        rc, out, info = next_sample(ents.reader)
        assert rc == Q.RETCODE_OK
        assert info.valid_data and info.instance_state == Q.ALIVE_INSTANCE_STATE
        got.append((out.lVal, out.sVal, out.sbVal))
    assert got == sent
    assert ents.reader.take_next_sample(FlatRecord(), Q.SampleInfo()) == Q.RETCODE_NO_DATA


def test_read_leaves_the_sample_and_take_removes_it(ents):
    assert ents.writer.write(sample(7, 8, "kept"), Q.InstanceHandle()) == Q.RETCODE_OK
    rc, out, info = next_sample(ents.reader, "read_next_sample")
    assert rc == Q.RETCODE_OK and (out.lVal, out.sVal, out.sbVal) == (7, 8, "kept")
    assert info.sample_state == Q.NOT_READ_SAMPLE_STATE and info.valid_data
    # The next-sample calls only return samples not accessed before.
    assert ents.reader.read_next_sample(FlatRecord(), Q.SampleInfo()) == Q.RETCODE_NO_DATA
    assert ents.reader.take_next_sample(FlatRecord(), Q.SampleInfo()) == Q.RETCODE_NO_DATA

    assert ents.writer.write(sample(9, 0, "taken"), Q.InstanceHandle()) == Q.RETCODE_OK
    rc, out, info = next_sample(ents.reader, "take_next_sample")
    assert rc == Q.RETCODE_OK and (out.lVal, out.sbVal) == (9, "taken")
    assert ents.reader.read_next_sample(FlatRecord(), Q.SampleInfo()) == Q.RETCODE_NO_DATA


def test_timestamps_reach_the_reader(ents):
    stamp = Q.Time(1700000000, 123456789)
    assert ents.writer.write_w_timestamp(sample(1), Q.InstanceHandle(), stamp) == Q.RETCODE_OK
    rc, out, info = next_sample(ents.reader)
    assert rc == Q.RETCODE_OK
    assert info.source_timestamp == stamp


def test_keyless_instance_operations(ents):
    # The type has no key: its one instance is the nil handle, which the
    # writer registers and writes to, but does not dispose or unregister.
    s = sample(3, 4, "inst")
    other = handle_of(16, 0, "01")
    for h in (ents.writer.register_instance(s), ents.writer.register_instance_w_timestamp(s, Q.Time(5, 0)),
              ents.writer.lookup_instance(s), ents.reader.lookup_instance(s)):
        assert type(h) is Q.InstanceHandle and h.is_nil()
    nil = ents.writer.register_instance(s)
    assert ents.writer.write(s, nil) == Q.RETCODE_OK
    for h in (nil, other):
        assert ents.writer.dispose(s, h) == Q.RETCODE_ILLEGAL_OPERATION
        assert ents.writer.dispose_w_timestamp(s, h, Q.Time(6, 0)) == Q.RETCODE_ILLEGAL_OPERATION
        assert ents.writer.unregister_instance(s, h) == Q.RETCODE_ILLEGAL_OPERATION
        assert ents.writer.unregister_instance_w_timestamp(s, h, Q.Time(7, 0)) == Q.RETCODE_ILLEGAL_OPERATION
    holder = sample(9, 9, "untouched")
    assert ents.writer.get_key_value(holder, nil) == Q.RETCODE_ILLEGAL_OPERATION
    assert ents.reader.get_key_value(holder, nil) == Q.RETCODE_ILLEGAL_OPERATION
    assert (holder.lVal, holder.sVal, holder.sbVal) == (9, 9, "untouched")

    # Only the write reached the reader.
    rc, out, info = next_sample(ents.reader)
    assert rc == Q.RETCODE_OK and info.valid_data and (out.lVal, out.sVal, out.sbVal) == (3, 4, "inst")
    assert info.instance_state == Q.ALIVE_INSTANCE_STATE
    time.sleep(0.2)
    assert ents.reader.take_next_sample(FlatRecord(), Q.SampleInfo()) == Q.RETCODE_NO_DATA


def test_binding_entities_and_deleted_writer():
    e = Entities(unique_topic())
    try:
        assert e.topic.get_name().startswith("PyFlatRecord_") and e.topic.get_type_name() == "FlatRecord"
        assert e.participant.get_domain_id() == DOMAIN
        now = Q.Time()
        assert e.participant.get_current_time(now) == Q.RETCODE_OK and now.sec > 0
        # A typed writer stands for the binding writer, also for deletion.
        second = FlatRecordDataWriter(e.dw)
        assert e.publisher.delete_datawriter(second) == Q.RETCODE_OK
        assert not Q.DataWriter.is_valid(second)
        with pytest.raises(ValueError):
            FlatRecordDataWriter(second)          # stands for no writer any more
        with pytest.raises(ValueError):
            second.write(sample(1), Q.InstanceHandle())
        with pytest.raises(ValueError):
            e.publisher.delete_datawriter(None)
        assert e.subscriber.delete_datareader(e.dr) == Q.RETCODE_OK
        with pytest.raises(ValueError):
            e.dr.get_instance_handle()
    finally:
        e.close()


def test_names_with_a_nul_are_refused_whole():
    """A Python str reaches the library whole, NUL included: the name is
    refused rather than cut at the NUL into the name of another topic."""
    e = Entities(unique_topic(), with_writer=False, with_reader=False)
    try:
        name = unique_topic()
        for suffix in ("\0", "\0other"):
            assert e.participant.create_topic(name + suffix, "FlatRecord") is None
            assert e.participant.registe_type("Other" + suffix,
                                              FlatRecordTypeSupport.get_instance()) == Q.RETCODE_BAD_PARAMETER
        assert e.participant.create_topic(name, "FlatRecord") is not None
    finally:
        e.close()


# (binding function, arguments after the object, printed type of the object)
BINDING_METHODS_ON_NONE = [
    ("Time_sec_get", (), "Time *"),
    ("Time_sec_set", (1,), "Time *"),
    ("InstanceHandle_get_value", (), "InstanceHandle *"),
    ("SampleInfo_get_source_timestamp", (), "SampleInfo const *"),
    ("DataWriterQos_reliability_get", (), "QUORVELA::DataWriterQos *"),
    ("DomainParticipantFactory_create_participant", (DOMAIN,), "QUORVELA::DomainParticipantFactory *"),
    ("DomainParticipant_create_topic", ("t", "FlatRecord"), "QUORVELA::DomainParticipant *"),
    ("Publisher_create_datawriter", (None,), "QUORVELA::Publisher *"),
    ("Subscriber_create_datareader", (None,), "QUORVELA::Subscriber *"),
    ("Topic_get_name", (), "QUORVELA::Topic *"),
]


@pytest.mark.parametrize("name,args,printed", BINDING_METHODS_ON_NONE, ids=[c[0] for c in BINDING_METHODS_ON_NONE])
def test_binding_calls_nothing_on_none(name, args, printed):
    with pytest.raises(ValueError) as info:
        getattr(Q._quorvela, name)(None, *args)
    assert str(info.value) == "invalid null reference in method '%s', argument 1 of type '%s'" % (name, printed)


def test_binding_delete_of_none_does_nothing():
    for name in ("delete_Time", "delete_InstanceHandle", "delete_SampleInfo", "delete_DataWriter", "delete_DataReader"):
        assert getattr(Q._quorvela, name)(None) is None


WRITER_PROCESS = """
import sys, time
import quorvela as Q
from FlatRecord import FlatRecord, FlatRecordDataWriter, FlatRecordTypeSupport
topic_name, count = sys.argv[1], int(sys.argv[2])
f = Q.DomainParticipantFactory.get_instance()
p = f.create_participant({domain})
assert p.registe_type("FlatRecord", FlatRecordTypeSupport.get_instance()) == 0
t = p.create_topic(topic_name, "FlatRecord")
pub = p.create_publisher()
qos = Q.DataWriterQos()
pub.get_default_datawriter_qos(qos)
qos.reliability.kind = Q.RELIABLE_RELIABILITY_QOS
qos.history.kind = Q.KEEP_ALL_HISTORY_QOS
w = FlatRecordDataWriter(pub.create_datawriter(t, qos))
status = Q.PublicationMatchedStatus()
deadline = time.monotonic() + 20
while True:
    Q.DataWriter.get_publication_matched_status(w, status)
    if status.current_count > 0:
        break
    assert time.monotonic() < deadline, "no reader matched"
    time.sleep(0.02)
for i in range(count):
    s = FlatRecord()
    s.lVal, s.sVal, s.sbVal = i, -i, "from child %d" % i
    assert w.write(s, Q.InstanceHandle()) == 0
assert Q.DataWriter.wait_for_acknowledgments(w, 10, 0) == 0
p.delete_contained_entities()
f.delete_participant(p)
Q.DomainParticipantFactory.finalize()
print("written")
""".format(domain=DOMAIN)


def test_samples_from_another_process():
    topic_name = unique_topic()
    e = Entities(topic_name, with_writer=False)
    child = subprocess.Popen([sys.executable, "-c", WRITER_PROCESS, topic_name, "5"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=dict(os.environ))
    try:
        got = []
        deadline = time.monotonic() + 30
        while len(got) < 5:
            out, info = FlatRecord(), Q.SampleInfo()
            rc = e.reader.take_next_sample(out, info)
            if rc == Q.RETCODE_OK:
                got.append((out.lVal, out.sVal, out.sbVal))
                continue
            assert rc == Q.RETCODE_NO_DATA
            assert child.poll() in (None, 0), child.communicate()[1]   # the writer failed
            assert time.monotonic() < deadline, "received %r" % got
            time.sleep(0.01)
        assert got == [(i, -i, "from child %d" % i) for i in range(5)]
        stdout, stderr = child.communicate(timeout=30)
        assert child.returncode == 0, stderr
        assert stdout == "written\n"
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
        e.close()


def partitions(qos_type, names):
    qos = qos_type()
    qos.partition.name = names
    return qos


def test_partition_names_with_a_nul_are_refused_wherever_they_are_set():
    """Partition names reach the library whole: one holding a NUL is refused
    by every call that sets a partition, and a group whose change was refused
    stays where it was, meeting no one across."""
    e = Entities(unique_topic(), with_writer=False, with_reader=False)
    try:
        pub = e.participant.create_publisher(partitions(Q.PublisherQos, ["p"]))
        sub = e.participant.create_subscriber(partitions(Q.SubscriberQos, ["p"]))
        other = e.participant.create_subscriber(partitions(Q.SubscriberQos, ["q"]))
        assert None not in (pub, sub, other)
        for names in (["p\0A"], ["p\0B"], ["\0"], [b"p\0"], ["q", "p\0B"]):
            assert e.participant.create_publisher(partitions(Q.PublisherQos, names)) is None, names
            assert e.participant.create_subscriber(partitions(Q.SubscriberQos, names)) is None, names
            assert pub.set_qos(partitions(Q.PublisherQos, names)) == Q.RETCODE_BAD_PARAMETER, names
            assert other.set_qos(partitions(Q.SubscriberQos, names)) == Q.RETCODE_BAD_PARAMETER, names
            assert e.participant.set_default_publisher_qos(
                partitions(Q.PublisherQos, names)) == Q.RETCODE_BAD_PARAMETER, names
            assert e.participant.set_default_subscriber_qos(
                partitions(Q.SubscriberQos, names)) == Q.RETCODE_BAD_PARAMETER, names
        for group, qos_type, kept in ((pub, Q.PublisherQos, ["p"]), (other, Q.SubscriberQos, ["q"])):
            now = qos_type()
            assert group.get_qos(now) == Q.RETCODE_OK and now.partition.name == kept
        for get_default, qos_type in ((e.participant.get_default_publisher_qos, Q.PublisherQos),
                                      (e.participant.get_default_subscriber_qos, Q.SubscriberQos)):
            now = qos_type()
            assert get_default(now) == Q.RETCODE_OK and now.partition.name == []
        with pytest.raises(TypeError):
            Q.PublisherQos().partition.name = ["p", 1]

        # The writer in "p" delivers to the reader in "p" only.
        dw = e._endpoint(Q.DataWriterQos(), pub.get_default_datawriter_qos, pub.create_datawriter)
        writer = FlatRecordDataWriter(dw)
        reader = FlatRecordDataReader(e._endpoint(Q.DataReaderQos(), sub.get_default_datareader_qos,
                                                  sub.create_datareader))
        across = FlatRecordDataReader(e._endpoint(Q.DataReaderQos(), other.get_default_datareader_qos,
                                                  other.create_datareader))
        deadline = time.monotonic() + WAIT_S
        status = Q.PublicationMatchedStatus()
        while dw.get_publication_matched_status(status) == Q.RETCODE_OK and status.current_count < 1:
            assert time.monotonic() < deadline, "the writer never matched the reader in its partition"
            time.sleep(0.01)
        assert writer.write(sample(5), Q.InstanceHandle()) == Q.RETCODE_OK
        rc, out, _ = next_sample(reader)
        assert rc == Q.RETCODE_OK and out.lVal == 5
        time.sleep(0.3)
        assert across.take_next_sample(FlatRecord(), Q.SampleInfo()) == Q.RETCODE_NO_DATA
        assert dw.get_publication_matched_status(status) == Q.RETCODE_OK and status.current_count == 1
    finally:
        e.close()
