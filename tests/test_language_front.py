"""The pattern language's front: its JSON fields, the builder's methods and the `mode` keyword."""

import pytest

from helpers import message_of
from vashlet import pattern_from_json


def atom(event_type="A", extra=""):
    return '{"event_type":"%s","predicates":[],"reference_predicates":[],"captures":[]%s}' % (event_type, extra)


def step(atom_json, transition="null", extra=""):
    return '{"atom":%s,"transition_from_previous":%s%s}' % (atom_json, transition, extra)


def document(*steps, consumption="FirstSuccessorPerStart", extra=""):
    return '{"steps":[%s],"consumption":"%s"%s}' % (",".join(steps), consumption, extra)


def transition(extra="", window="null"):
    return '{"max_elapsed":%s,"absence":[]%s}' % (window, extra)


# ---------------------------------------------------------------------------------------------
# JSON: each new field read and written back byte for byte

ROUND_TRIPS = {
    "any type": document(step(atom("", ',"any_type":true'))),
    "any-type absence": document(step(atom()), step(atom("B"), '{"max_elapsed":null,"absence":[%s]}'
                                                    % atom("", ',"any_type":true'))),
    "alternatives": document(step(atom(), extra=',"alternatives":[%s,%s]' % (atom("B"), atom("", ',"any_type":true')))),
    "exact count": document(step(atom(), extra=',"min_count":3,"max_count":3')),
    "optional": document(step(atom()), step(atom("B"), transition(), ',"min_count":0,"max_count":1')),
    "no maximum": document(step(atom(), extra=',"min_count":1,"max_count":null')),
    "alternatives and counts": document(step(atom(), extra=',"alternatives":[%s],"min_count":2,"max_count":5'
                                             % atom("B"))),
    "minimum gap in ticks": document(step(atom()), step(atom("B"), transition(',"min_elapsed":30', "60"))),
    "minimum gap as a duration": document(step(atom()), step(atom("B"), transition(',"min_elapsed":"1h30m"'))),
    "within ticks": document(step(atom()), extra=',"within":-5'),
    "within a duration": document(step(atom()), extra=',"within":"5m"'),
    "anchors": document(step(atom()), extra=',"anchored_start":true,"anchored_end":true'),
    "end anchor": document(step(atom()), extra=',"anchored_end":true'),
    "non-overlapping": document(step(atom()), consumption="NonOverlapping", extra=',"within":"1d"'),
}


@pytest.mark.parametrize("written", ROUND_TRIPS.values(), ids=ROUND_TRIPS.keys())
def test_new_fields_read_and_write_back_byte_for_byte(written):
    pattern = pattern_from_json(written)
    assert pattern.to_json() == written
    assert pattern_from_json(pattern.to_json(pretty=True)).to_json() == written


@pytest.mark.parametrize("given, written", [
    # defaults given explicitly are left out when written
    (document(step(atom(), extra=',"min_count":1,"max_count":1,"alternatives":[]'),
              extra=',"within":null,"anchored_start":false'), document(step(atom()))),
    (document(step(atom("A", ',"any_type":false'))), document(step(atom()))),
    (document(step(atom()), step(atom(), transition(',"min_elapsed":null'))),
     document(step(atom()), step(atom(), transition()))),
    # either count alone brings the other along
    (document(step(atom(), extra=',"max_count":4')), document(step(atom(), extra=',"min_count":1,"max_count":4'))),
    (document(step(atom(), extra=',"min_count":2,"max_count":null')),
     document(step(atom(), extra=',"min_count":2,"max_count":null'))),
])
def test_defaults_are_not_written(given, written):
    assert pattern_from_json(given).to_json() == written


def error_of(doc):
    return message_of(lambda: pattern_from_json(doc), ValueError)


BAD = [
    (document(step(atom(), extra=',"min_count":-1')), "invalid value: integer `-1`, expected u32 at line 1 column 139"),
    (document(step(atom(), extra=',"max_count":4294967296')),
     "invalid value: integer `4294967296`, expected u32 at line 1 column 147"),
    (document(step(atom(), extra=',"min_count":null')), "invalid type: null, expected u32 at line 1 column 141"),
    (document(step(atom(), extra=',"max_count":2.0')),
     "invalid type: floating point `2.0`, expected u32 at line 1 column 140"),
    (document(step(atom(), extra=',"min_count":2,"min_count":2')), "duplicate field `min_count` at line 1 column 150"),
    (document(step(atom(), extra=',"alternatives":{}')), "invalid type: map, expected a sequence at line 1 column 140"),
    (document(step(atom("A", ',"any_type":1'))), "invalid type: integer `1`, expected a boolean at line 1 column 104"),
    (document(step(atom("A", ',"any_type":true'))),
     'an atom of any type has an empty `event_type`, not "A" at line 1 column 108'),
    (document(step(atom()), extra=',"within":"5 fortnights"'),
     'invalid value: string "5 fortnights", expected i64 or a duration such as "10m" or "1h30m" '
     "at line 1 column 189"),
    (document(step(atom()), step(atom(), transition(',"min_elapsed":true'))),
     "invalid type: boolean `true`, expected i64 at line 1 column 287"),
    (document(step(atom()), extra=',"anchored_end":"yes"'),
     'invalid type: string "yes", expected a boolean at line 1 column 186'),
    ('{"steps":[],"consumption":"Skip"}',
     "unknown variant `Skip`, expected one of `FirstSuccessorPerStart`, `ExhaustivePerStart`, `NonOverlapping` "
     "at line 1 column 32"),
    # the array form keeps its lengths: the new fields are in the object form only
    ('[[[["A",[],[],[]],null,[]]],"FirstSuccessorPerStart"]', "trailing characters at line 1 column 24"),
    ('[[[["A",[],[],[],true],null]],"FirstSuccessorPerStart"]', "trailing characters at line 1 column 18"),
    ('[[[["A",[],[],[]],null]],"FirstSuccessorPerStart",5]', "trailing characters at line 1 column 51"),
    # counts are checked as the pattern is, without a position
    (document(step(atom(), extra=',"min_count":0,"max_count":1')),
     "the first step cannot be optional: a match starts with an event"),
    (document(step(atom(), extra=',"min_count":0,"max_count":0')),
     "step 0 is taken at most 0 times: a step's maximum count must be at least 1"),
    (document(step(atom()), step(atom(), transition(), ',"min_count":3,"max_count":2')),
     "step 1 is taken at least 3 and at most 2 times: the maximum must not be below the minimum"),
]


@pytest.mark.parametrize("doc, message", BAD)
def test_bad_new_fields_are_refused(doc, message):
    assert error_of(doc) == message
