"""Python objects whose library entity was deleted behind their back, and
made-up type-support addresses: the binding and the typed wrappers refuse
them with ValueError instead of reaching freed or foreign memory."""
import itertools
import os

import pytest

import quorvela as Q
from FlatRecord import FlatRecord, FlatRecordDataReader, FlatRecordDataWriter, FlatRecordTypeSupport

DELETED = "deleted library entity in method '%s', argument %d of type '%s'"
W = "TypedDataWriter< FlatRecord > *"
R = "TypedDataReader< FlatRecord > *"
_numbers = itertools.count()


class World:
    """A participant with FlatRecord registered, a topic, a writer and a
    reader (binding and typed objects), and a second, unused topic."""

    def __init__(self):
        self.factory = Q.DomainParticipantFactory.get_instance()
        self.participant = self.factory.create_participant(0)
        assert self.participant is not None
        assert self.participant.registe_type("FlatRecord", FlatRecordTypeSupport.get_instance()) == Q.RETCODE_OK
        self.topic_name = "PyDeleted_%d_%d" % (os.getpid(), next(_numbers))
        self.topic = self.participant.create_topic(self.topic_name, "FlatRecord")
        self.spare = self.participant.create_topic(self.topic_name + "_spare", "FlatRecord")
        self.publisher = self.participant.create_publisher()
        self.subscriber = self.participant.create_subscriber()
        self.dw = self.publisher.create_datawriter(self.topic)
        self.dr = self.subscriber.create_datareader(self.topic)
        assert None not in (self.topic, self.spare, self.publisher, self.subscriber, self.dw, self.dr)
        self.writer = FlatRecordDataWriter(self.dw)
        self.reader = FlatRecordDataReader(self.dr)


# Ways to delete entities without going through the objects used afterwards.
def delete_writer_through_another_object(w):
    assert w.publisher.delete_datawriter(w.publisher.lookup_datawriter(w.topic_name)) == Q.RETCODE_OK


def delete_spare_topic(w):
    assert w.participant.delete_topic(w.spare) == Q.RETCODE_OK


def delete_contained(w):
    assert w.participant.delete_contained_entities() == Q.RETCODE_OK


def delete_participant(w):
    delete_contained(w)
    assert w.factory.delete_participant(w.participant) == Q.RETCODE_OK


def finalize(w):
    assert Q.DomainParticipantFactory.finalize() == Q.RETCODE_OK


# (deletion, call made afterwards, refused function, argument, printed type)
CASES = [
    (delete_writer_through_another_object, lambda w: w.writer.write(FlatRecord(), Q.InstanceHandle()),
     "FlatRecordDataWriter_write", 1, W),
    (delete_writer_through_another_object, lambda w: FlatRecordDataWriter(w.dw), "new_FlatRecordDataWriter", 1,
     "DataWriter *"),
    (delete_writer_through_another_object, lambda w: w.publisher.delete_datawriter(w.writer),
     "Publisher_delete_datawriter", 2, "DataWriter *"),
    (delete_participant, lambda w: w.dw.get_qos(Q.DataWriterQos()), "DataWriter_get_qos", 1, "DataWriter *"),
    (delete_participant, lambda w: w.reader.read_next_sample(FlatRecord(), Q.SampleInfo()),
     "FlatRecordDataReader_read_next_sample", 1, R),
    (finalize, lambda w: w.reader.take_next_sample(FlatRecord(), Q.SampleInfo()),
     "FlatRecordDataReader_take_next_sample", 1, R),
    (finalize, lambda w: Q.DataReader.get_subscription_matched_status(w.reader, Q.SubscriptionMatchedStatus()),
     "DataReader_get_subscription_matched_status", 1, "DataReader *"),
    (finalize, lambda w: w.participant.create_topic("t", "FlatRecord"), "DomainParticipant_create_topic", 1,
     "QUORVELA::DomainParticipant *"),
    (delete_contained, lambda w: w.topic.get_name(), "Topic_get_name", 1, "QUORVELA::Topic *"),
    (delete_contained, lambda w: w.publisher.create_datawriter(None), "Publisher_create_datawriter", 1,
     "QUORVELA::Publisher *"),
    (delete_contained, lambda w: w.subscriber.lookup_datareader("t"), "Subscriber_lookup_datareader", 1,
     "QUORVELA::Subscriber *"),
    (delete_spare_topic, lambda w: w.subscriber.create_datareader(w.spare), "Subscriber_create_datareader", 2,
     "QUORVELA::Topic *"),
]


@pytest.mark.parametrize("delete,call,name,argnum,printed", CASES,
                         ids=["%s-%s" % (c[0].__name__, c[2]) for c in CASES])
def test_calls_on_deleted_entities_raise(delete, call, name, argnum, printed):
    w = World()
    try:
        delete(w)
        with pytest.raises(ValueError) as info:
            call(w)
        assert str(info.value) == DELETED % (name, argnum, printed)
    finally:
        Q.DomainParticipantFactory.finalize()


def test_validity_follows_the_library_entity():
    w = World()
    try:
        assert Q.DataWriter.is_valid(w.writer) and Q.DataReader.is_valid(w.dr)
        delete_writer_through_another_object(w)
        assert not Q.DataWriter.is_valid(w.dw) and not Q.DataWriter.is_valid(w.writer)
        assert Q.DataReader.is_valid(w.reader)
        # Objects standing for deleted entities are still freed quietly.
        del w.writer, w.dw
        # The rest goes on working.
        assert w.reader.take_next_sample(FlatRecord(), Q.SampleInfo()) == Q.RETCODE_NO_DATA
    finally:
        Q.DomainParticipantFactory.finalize()


def test_registe_type_takes_only_addresses_of_type_supports():
    factory = Q.DomainParticipantFactory.get_instance()
    participant = factory.create_participant(0)
    try:
        address = FlatRecordTypeSupport.get_instance()
        for made_up in (5, 0, -1, address + 8):
            with pytest.raises(ValueError) as info:
                participant.registe_type("x", made_up)
            assert str(info.value) == ("in method 'DomainParticipant_registe_type', argument 3: "
                                       "not the address of a type support (get_instance())")
        assert participant.create_topic("t", "x") is None     # nothing was registered
        with pytest.raises(TypeError):
            participant.registe_type("x", str(address))
        assert participant.registe_type("x", address) == Q.RETCODE_OK
        assert participant.create_topic("t", "x") is not None
    finally:
        Q.DomainParticipantFactory.finalize()
