"""Thread stress: registering, unregistering, serializing and deserializing
from several threads at once while the nested schemas are swapped.

The scenario runs in a child interpreter (a crash or a deadlock must not
take the test process down) for a few seconds, with a tiny thread switch
interval and values whose conversions run Python code, so that threads
interleave inside calls.  Every call must end with a result that is correct
for layouts that were registered at some moment, or with one of the
documented errors; every thread must finish.
"""

import json
import textwrap

STRESS_SECONDS = 3.0

CHILD = textwrap.dedent(r"""
    import json
    import random
    import sys
    import threading
    import time

    import _korvex_messages as km
    from tests.support.cdr import Cdr
    # Converting these runs Python code (their __index__ / __float__).
    from tests.support.values import FloatOnly, IndexOnly

    DURATION = @DURATION@
    A, B, C = "stress.A", "stress.B", "stress.C"
    B_LAYOUTS = {
        "B1": [("x", "int32")],
        "B2": [("label", "string"), ("sub", "struct:" + C)],
    }
    C_LAYOUTS = {
        "C1": [("v", "float64")],
        "C2": [("flag", "bool"), ("n", "uint16")],
    }
    km.register_schema(A, [("id", "uint32"), ("inner", "struct:" + B),
                           ("items", "array<struct:" + B + ">")])


    def b_value():
        # Valid for every layout of B and C at once.
        return {"x": IndexOnly(7), "label": "hi",
                "sub": {"v": FloatOnly(1.5), "flag": True, "n": IndexOnly(3)}}


    def a_value():
        inner = b_value()
        return {"id": IndexOnly(42), "inner": inner, "items": [inner, b_value()]}


    def set_layouts(b, c):
        for name, layouts, choice in ((B, B_LAYOUTS, b), (C, C_LAYOUTS, c)):
            if km.schema_exists(name):
                km.unregister_schema(name)
            if choice is not None:
                km.register_schema(name, layouts[choice])


    def outcome(call, *args):
        try:
            return ("ok", call(*args))
        except (TypeError, ValueError, KeyError) as error:
            return (type(error).__name__, error.args)


    # -- Every result serialize may give: each struct value looks its schema
    # up when it is written, so each lookup may see any state.
    class Need(Exception):
        pass


    def reference_encode(choose):
        w = Cdr()

        def write_c():
            layout = choose("C")
            if layout is None:
                raise KeyError(C)
            if layout == "C1":
                w.f64(1.5)
            else:
                w.u8(1).u16(3)

        def write_b():
            layout = choose("B")
            if layout is None:
                raise KeyError(B)
            if layout == "B1":
                w.i32(7)
            else:
                w.string("hi")
                write_c()

        w.u32(42)
        write_b()
        w.count(2)
        write_b()
        write_b()
        return w.done()


    def serialize_outcomes():
        options = {"B": ["B1", "B2", None], "C": ["C1", "C2", None]}
        found = set()
        pending = [()]
        while pending:
            prefix = pending.pop()
            used = []

            def choose(kind):
                if len(used) < len(prefix):
                    used.append(kind)
                    return options[kind][prefix[len(used) - 1]]
                raise Need()

            try:
                found.add(("ok", reference_encode(choose)))
            except KeyError as error:
                found.add(("KeyError", error.args))
            except Need:
                pending.extend(prefix + (i,) for i in range(3))
        return found


    SERIALIZE_OUTCOMES = serialize_outcomes()

    # -- deserialize runs no Python code, so within one call the registry
    # cannot change: its result is that of one registry state.  Payloads are
    # the encodings under each layout pair; their outcomes under every state
    # are taken before any thread starts.
    STATES = [(b, c) for b in ("B1", "B2", None) for c in ("C1", "C2", None)]
    PAYLOADS = []
    for b in ("B1", "B2"):
        for c in ("C1", "C2"):
            set_layouts(b, c)
            PAYLOADS.append(km.serialize(A, a_value()))
    PAYLOADS.append(PAYLOADS[0][:-3])  # truncated
    DESERIALIZE_OUTCOMES = []
    for payload in PAYLOADS:
        allowed = []
        for b, c in STATES:
            set_layouts(b, c)
            allowed.append(outcome(km.deserialize, A, payload))
        DESERIALIZE_OUTCOMES.append(allowed)
    SCHEMA_LISTINGS = [[(f, t) for f, t in fields] for fields in B_LAYOUTS.values()]
    set_layouts("B1", "C1")

    sys.setswitchinterval(1e-5)
    deadline = time.monotonic() + DURATION
    failures = []
    ops = {}


    def runner(label, body):
        def run():
            rng = random.Random(label)
            count = 0
            try:
                while time.monotonic() < deadline and not failures:
                    body(rng)
                    count += 1
            except BaseException as error:
                failures.append("%s: %s: %r" % (label, type(error).__name__, error))
            ops[label] = count
        return threading.Thread(target=run, name=label, daemon=True)


    def check(label, condition, detail):
        if not condition:
            raise AssertionError("%s: %s" % (label, detail))


    def swapper(name, layouts):
        # The contender works on the same names, so the registry may change
        # between any two of these calls.
        def body(rng):
            if km.schema_exists(name):
                got = outcome(km.unregister_schema, name)
                check("swap", got in (("ok", None), ("KeyError", (name,))), got)
            if rng.random() < 0.8:
                got = outcome(km.register_schema, name, layouts[rng.choice(sorted(layouts))])
                check("swap", got in (("ok", None),
                                      ("ValueError", ("Schema already registered: " + name,))), got)
        return body


    def contender(rng):
        # Races the swappers on the same names: only the documented
        # registry errors may come back.
        name, layouts = rng.choice([(B, B_LAYOUTS), (C, C_LAYOUTS)])
        got = outcome(km.register_schema, name, layouts[rng.choice(sorted(layouts))])
        taken = ("ValueError", ("Schema already registered: " + name,))
        check("contender", got in (("ok", None), taken), got)
        got = outcome(km.unregister_schema, name)
        check("contender", got in (("ok", None), ("KeyError", (name,))), got)


    def serializer(rng):
        got = outcome(km.serialize, A, a_value())
        check("serializer", got in SERIALIZE_OUTCOMES, got)


    def deserializer(rng):
        index = rng.randrange(len(PAYLOADS))
        got = outcome(km.deserialize, A, PAYLOADS[index])
        check("deserializer", got in DESERIALIZE_OUTCOMES[index], (index, got))


    def reader(rng):
        got = outcome(km.get_schema, B)
        listed = got[0] == "ok" and got[1] in SCHEMA_LISTINGS
        check("reader", listed or got == ("KeyError", (B,)), got)
        check("reader", km.schema_exists(B) in (True, False), "schema_exists")


    def registrar(number):
        own = "stress.own.%d" % number
        fields = [("n", "uint16"), ("b", "struct:" + B)]

        def body(rng):
            km.register_schema(own, fields)
            check(own, km.schema_exists(own) is True, "registered schema missing")
            check(own, km.get_schema(own) == fields, km.get_schema(own))
            got = outcome(km.serialize, own, {"n": IndexOnly(5), "b": b_value()})
            check(own, got[0] == "ok" or got in (("KeyError", (B,)), ("KeyError", (C,))), got)
            km.unregister_schema(own)
            check(own, km.schema_exists(own) is False, "unregistered schema still there")
        return body


    threads = [
        runner("swap B", swapper(B, B_LAYOUTS)),
        runner("swap C", swapper(C, C_LAYOUTS)),
        runner("contender", contender),
        runner("serializer 1", serializer),
        runner("serializer 2", serializer),
        runner("deserializer 1", deserializer),
        runner("deserializer 2", deserializer),
        runner("reader", reader),
        runner("registrar 1", registrar(1)),
        runner("registrar 2", registrar(2)),
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(DURATION + 30)
    alive = [thread.name for thread in threads if thread.is_alive()]
    print(json.dumps({"ops": ops, "failures": failures, "alive": alive,
                      "serialize_outcomes": len(SERIALIZE_OUTCOMES)}))
    sys.stdout.flush()
""")


def test_concurrent_calls_with_schemas_swapped(run_python):
    source = CHILD.replace("@DURATION@", repr(STRESS_SECONDS))
    proc = run_python(source, timeout=STRESS_SECONDS + 90)
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    assert report["alive"] == [], "threads still running (deadlock?): %r" % report
    assert report["failures"] == [], report["failures"]
    # Each kind of thread got work done, so the interleavings were real.
    assert set(report["ops"]) == {
        "swap B",
        "swap C",
        "contender",
        "serializer 1",
        "serializer 2",
        "deserializer 1",
        "deserializer 2",
        "reader",
        "registrar 1",
        "registrar 2",
    }
    assert all(count >= 20 for count in report["ops"].values()), report["ops"]
    # The reference enumeration covers mixed layouts, not just one per call.
    assert report["serialize_outcomes"] > 10
