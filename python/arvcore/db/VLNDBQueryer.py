"""Default table database query component.

``DBQueryer(table_name)`` answers the table database facade from the module's own store: the
SQLite file or PostgreSQL server named by ``ARVCORE_TABLE_DB`` (default: ``calibration.db`` in
the data directory), filled with ``vlntable db import`` or ``arvcore.db.import_tables``. A
store that cannot be opened or reached answers the "server unreachable" text, which the facade
turns into ``ERROR_DB_SERVER``. A deployment may still replace this module with its own.
"""

import arvcore.vlndev.VLNTableManager  # noqa: F401  (loads the core in its order)
from arvcore import _arvcore

__all__ = ["DBQueryer"]

DBQueryer = _arvcore.TableDBQueryer
