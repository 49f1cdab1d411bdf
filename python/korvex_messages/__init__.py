"""Python helpers around the `_korvex_messages` extension module.

The codec itself is `_korvex_messages` (register_schema, serialize,
deserialize, ...); this package holds what is easier to write in Python on
top of it.
"""

from korvex_messages._registration import SchemaMismatchError, ensure_schemas
from korvex_messages._tables import Table, decode_table, encode_table

# The one place the version is written: pyproject.toml reads it from here.
__version__ = "0.1.0"

__all__ = ["SchemaMismatchError", "Table", "decode_table", "encode_table", "ensure_schemas"]
