"""Default table database query component.

A deployment with a table database replaces this module (or installs its own component);
without one every query answers the "server unreachable" text, which the table database
facade turns into a connection error.
"""

__all__ = ["DBQueryer"]

_NO_BACKEND = "DB server connection error: no table database back end is configured"


class DBQueryer:
    def __init__(self, table_name):
        self.table_name = table_name

    def queryDB(self, payload, queryCmd=None):
        return _NO_BACKEND
