"""What docs/core.md fixes and the tests, the fuzzers and the benchmark check:
the six functions and their parameters, the bounds, and the fixed texts.

Every literal text that more than one place expects is built here, so a
change of wording is one change.
"""

# ---------------------------------------------------------------------------
# The six exported functions and their parameters, in order.

PARAMETERS = {
    "register_schema": ("name", "fields"),
    "get_schema": ("name",),
    "schema_exists": ("name",),
    "unregister_schema": ("name",),
    "serialize": ("schema_name", "values"),
    "deserialize": ("schema_name", "data"),
}

# ---------------------------------------------------------------------------
# Bounds

# Levels of nested struct and array values (top-level fields are level 0).
MAX_NESTING = 100
# Struct values that occupy no bytes, decoded per message.
MAX_EMPTY_VALUES = 1048576
# Calls of the module active on one thread at once, the outermost included.
MAX_REENTRY = 8
# Lengths and counts are uint32 on the wire: at most this many bytes or
# elements (a string's length field also counts its terminator).  Too large
# to reach in a test; the test-only module's limit of 16 stands in for it
# (test_limits.py).
MAX_LENGTH = 2**32 - 1

# ---------------------------------------------------------------------------
# Fixed texts

SERIALIZATION_FAILED = "Serialization failed: "
DESERIALIZATION_FAILED = "Deserialization failed: "

# Details of deserialize's TypeErrors (after DESERIALIZATION_FAILED).
FILL = "failed to fill whole buffer"
ALIGN = "Input truncated while aligning CDR stream"
# The whole text of the TypeError for input that ends too early.
FILL_ERROR = DESERIALIZATION_FAILED + FILL

# deserialize's ValueErrors.
TOO_SHORT = "CDR payload too short (missing encapsulation header)"

# register_schema's ValueErrors.
NOT_LIST_OR_TUPLE = "Schema definition error: Fields must be provided as list[tuple[str, str]]"
TWO_ITEMS = "Schema definition error: Each field entry must contain exactly 2 items"
NO_STRUCT_NAME = "Schema definition error: Struct type must include a schema name"

REENTRY_REFUSED = (
    f"Re-entrant calls nested too deeply: at most {MAX_REENTRY} calls of this module may be "
    "active on one thread"
)


def encapsulation_text(data):
    """deserialize's ValueError for a header other than 00 01."""
    shown = ", ".join(f"{b:02x}" for b in data[:4])
    return f"Unsupported CDR encapsulation [{shown}]. Only little-endian CDR is currently supported"


def nesting_text(path):
    """The detail of the nesting bound's TypeError, in either direction."""
    return (
        f"Nesting too deep at '{path}': at most {MAX_NESTING} levels of nested structs and "
        "arrays are supported"
    )


def empty_limit_text(path):
    """The detail of deserialize's TypeError past MAX_EMPTY_VALUES."""
    return (
        f"Too many empty struct values at '{path}': at most {MAX_EMPTY_VALUES} values that "
        "occupy no bytes are decoded per message"
    )


def nul_text(path):
    """The detail of deserialize's TypeError for a string without its terminator."""
    return f"Invalid ROS string for '{path}': missing NUL terminator"


def too_long_text(path, n, unit, most):
    """serialize's TypeError for a value past the length limit."""
    return (
        f"{SERIALIZATION_FAILED}Value of '{path}' is too long for CDR: {n} {unit}, "
        f"at most {most} allowed"
    )


def mismatch_text(path, expected, got):
    """serialize's TypeError for a value of the wrong kind."""
    return f"Field type mismatch on '{path}': expected {expected}, got {got}"


def missing_field_text(path):
    return f"{SERIALIZATION_FAILED}Missing field '{path}'"


def missing_nested_field_text(path):
    return f"{SERIALIZATION_FAILED}Missing nested field '{path}'"


def unsupported_type_text(quoted):
    """register_schema's TypeError for a type name outside the grammar."""
    return f"{SERIALIZATION_FAILED}Unsupported field type '{quoted}'"


def already_registered_text(name):
    return f"Schema already registered: {name}"
