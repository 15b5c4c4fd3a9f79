"""The module kestrow.tracer, its two types, and the CFileDisposition record."""

from __future__ import annotations

import gc
import subprocess
import sys
import textwrap
import weakref

import pytest

import kestrow.tracer as tracer_module
from kestrow.tracer import CFileDisposition, CTracer

DISPOSITION_MEMBERS = [
    "original_filename",
    "canonical_filename",
    "source_filename",
    "trace",
    "reason",
    "file_tracer",
    "has_dynamic_filename",
]

TRACER_MEMBER_DOCS = {
    "should_trace": "Function indicating whether to trace a file.",
    "check_include": "Function indicating whether to include a file.",
    "warn": "Function for issuing warnings.",
    "concur_id_func": "Function for determining concurrency context",
    "data": "The raw dictionary of trace data.",
    "file_tracers": "Mapping from file name to plugin name.",
    "should_trace_cache": "Dictionary caching should_trace results.",
    "trace_arcs": "Should we trace arcs, or just lines?",
    "should_start_context": "Function for starting contexts.",
    "switch_context": "Function for switching to a new context.",
    "lock_data": "Function for locking access to self.data.",
    "unlock_data": "Function for unlocking access to self.data.",
    "disable_plugin": "Function for disabling a plugin.",
}

TRACER_METHOD_DOCS = {
    "start": "Start the tracer",
    "stop": "Stop the tracer",
    "get_stats": "Get statistics about the tracing",
    "activity": "Has there been any activity?",
    "reset_activity": "Reset the activity flag",
}


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_module_has_its_doc_and_exactly_the_two_types():
    assert tracer_module.__name__ == "kestrow.tracer"
    assert tracer_module.__doc__ == "Fast kestrow tracer."
    own = {name for name in vars(tracer_module) if not name.startswith("__")}
    assert own == {"CTracer", "CFileDisposition"}
    assert isinstance(CTracer, type) and isinstance(CFileDisposition, type)


@pytest.mark.parametrize(
    "cls, module, name, doc",
    [
        (CTracer, "kestrow", "CTracer", "CTracer objects"),
        (CFileDisposition, "kestrow", "CFileDispositionType", "CFileDisposition objects"),
    ],
)
def test_type_names_and_docs(cls, module, name, doc):
    assert cls.__module__ == module
    assert cls.__name__ == name
    assert cls.__doc__ == doc


def test_tracer_members_and_their_docs():
    members = {
        name: value.__doc__
        for name, value in vars(CTracer).items()
        if type(value).__name__ == "member_descriptor"
    }
    assert members == TRACER_MEMBER_DOCS


def test_tracer_methods_and_their_docs():
    methods = {
        name: value.__doc__
        for name, value in vars(CTracer).items()
        if type(value).__name__ == "method_descriptor"
    }
    assert methods == TRACER_METHOD_DOCS


def test_disposition_members_have_empty_docs_and_no_methods():
    members = {
        name: value.__doc__
        for name, value in vars(CFileDisposition).items()
        if type(value).__name__ == "member_descriptor"
    }
    assert members == dict.fromkeys(DISPOSITION_MEMBERS, "")
    assert not [n for n, v in vars(CFileDisposition).items() if callable(v) and n != "__new__"]


@pytest.mark.parametrize("cls", [CTracer, CFileDisposition])
def test_types_can_be_subclassed(cls):
    sub = type("Sub", (cls,), {"extra": 1})
    obj = sub()
    assert isinstance(obj, cls) and obj.extra == 1


def test_new_disposition_reads_none_everywhere():
    d = CFileDisposition()
    assert {name: getattr(d, name) for name in DISPOSITION_MEMBERS} == dict.fromkeys(
        DISPOSITION_MEMBERS
    )


@pytest.mark.parametrize("member", DISPOSITION_MEMBERS)
def test_disposition_member_assign_replace_delete(member):
    d = CFileDisposition()
    first, second = object(), object()
    first_ref = sys.getrefcount(first)
    setattr(d, member, first)
    assert getattr(d, member) is first
    assert sys.getrefcount(first) == first_ref + 1
    setattr(d, member, second)
    assert getattr(d, member) is second
    # Replacing releases the old value.
    assert sys.getrefcount(first) == first_ref
    delattr(d, member)
    assert getattr(d, member) is None
    setattr(d, member, True)
    assert getattr(d, member) is True


def test_disposition_releases_its_members_when_freed():
    class Value:
        pass

    values = [Value() for _ in DISPOSITION_MEMBERS]
    refs = [weakref.ref(v) for v in values]
    d = CFileDisposition()
    for name, value in zip(DISPOSITION_MEMBERS, values):
        setattr(d, name, value)
    del d, values, value
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_disposition_subclass_record_is_freed_with_its_own_attributes():
    class Note:
        pass

    class Disposition(CFileDisposition):
        pass

    note = Note()
    note_ref = weakref.ref(note)
    d = Disposition()
    d.trace = True
    d.source_filename = "x.py"
    d.note = note  # stored in the subclass's instance dictionary
    del note
    d_ref = weakref.ref(d)
    del d
    gc.collect()
    assert d_ref() is None
    assert note_ref() is None


def test_second_module_object_has_neither_type_and_first_stays_usable():
    result = run_python(
        """
        import importlib, sys
        import kestrow.tracer as first
        del sys.modules["kestrow.tracer"]
        second = importlib.import_module("kestrow.tracer")
        assert second is not first
        print(sorted(n for n in vars(second) if not n.startswith("__")))
        print(second.__doc__)
        t = first.CTracer()
        d = first.CFileDisposition()
        d.trace = True
        print(type(t).__name__, d.trace, t.start is not None)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "[]",
        "Fast kestrow tracer.",
        "CTracer True True",
    ]
