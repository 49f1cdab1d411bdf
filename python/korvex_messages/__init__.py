"""korvex_messages: Python dicts to CDR bytes and back, for message schemas
registered at run time.

The codec's six functions (register_schema, get_schema, schema_exists,
unregister_schema, serialize, deserialize) are those of the extension module
`_korvex_messages`, re-exported here as the same objects; the package adds
what is easier to write in Python on top of them (ensure_schemas), the
columnar pair decode_table/encode_table with its Table, and the ROS 2 codec
`korvex_messages.ros2`.
"""

from _korvex_messages import (
    deserialize,
    get_schema,
    register_schema,
    schema_exists,
    serialize,
    unregister_schema,
)
from korvex_messages._registration import SchemaMismatchError, ensure_schemas
from korvex_messages._tables import Table, decode_table, encode_table

# The one place the version is written: pyproject.toml reads it from here.
__version__ = "0.1.0"

__all__ = [
    "SchemaMismatchError",
    "Table",
    "decode_table",
    "deserialize",
    "encode_table",
    "ensure_schemas",
    "get_schema",
    "register_schema",
    "schema_exists",
    "serialize",
    "unregister_schema",
]
