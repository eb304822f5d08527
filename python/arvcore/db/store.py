"""Functions over the module's table database store (see arvcore.db)."""

import functools
import json
import logging

import arvcore.vlndev.VLNTableManager  # noqa: F401  (loads the core in its order)
from arvcore import _arvcore
from arvcore.VLNPublic import RetCode
from arvcore.VLNUtils import RetType

_KIT = "aakit"
_BEAM = "beam"
_LOGGER = logging.getLogger("TblDB")


def _store_down(fn):
    """A store that cannot be reached answers as the calibration manager's database does:
    ERROR_DB_SERVER "DB server connection error", with the cause (which names no password)
    logged on "TblDB". The managers hand that envelope on as their web functions' answer."""

    @functools.wraps(fn)
    def call(*args, **kwargs):
        try:
            return fn(*args, **kwargs)
        except ConnectionError as e:
            _LOGGER.error("Table database unavailable: %s", e)
            return RetType(RetCode.ERROR_DB_SERVER, "DB server connection error")

    return call


def open_store(url=None):
    """The store at ``url`` (shared per URL within the process; opened at first use). A locator
    of no accepted form (see arvcore.db) raises ValueError."""
    return _arvcore.TableStore(url)


def import_tables(files, layout=None, url=None):
    """Parses each calibration CSV file for a device of ``layout`` (boards, ICs per board,
    channels per IC; None: the layout the table's own rows describe) and stores it with its
    layout under the serial number and frequency of its name, replacing an older copy. Answers
    one RetType per file: OK, or the parse envelope of a broken file (which is not stored). A
    layout that disagrees with the table's rows raises ValueError naming both."""
    store = open_store(url)
    return [store.import_file(str(f), None if layout is None else list(layout)) for f in files]


def kit_functions(url=None):
    """The kit fetch function and forwarding function of a web-mode kit manager
    (``getAAKitList(callback=fetch)``, ``setAAKitInfo/saveAAKitFile/deleteAAKitInfo(callback=
    forward)``), backed by the store."""
    store = open_store(url)

    @_store_down
    def fetch(devtype, total_ch, supportDevs):
        table = {}
        for name, record in store.documents(_KIT):
            dev = record.get("DEV_TYPE")
            if dev is not None and dev not in supportDevs:
                continue
            offsets = [record.get("OFFSET_TX"), record.get("OFFSET_RX")]
            if any(isinstance(o, list) and len(o) != total_ch for o in offsets):
                continue
            table[name] = record
        return RetType(data=table)

    @_store_down
    def forward(func_name=None, kitName=None, check=False, context=None):
        if func_name == "saveAAKitFile":
            if context is None:
                return RetType(RetCode.ERROR_BF_AAKIT, "no kit record to save")
            record = dict(context)
            record["AAKIT_NAME"] = kitName
            store.put_document(_KIT, kitName, _without_name(record))
            return RetType()
        if func_name == "deleteAAKitInfo":
            if not store.remove_document(_KIT, kitName):
                return RetType(RetCode.ERROR_BF_AAKIT, "%s not exist in list" % kitName)
            return RetType()
        return RetType(RetCode.ERROR_BF_AAKIT, "unknown kit operation: %s" % func_name)

    return fetch, forward


def _without_name(record):
    # The name is the document's key; the record keeps the fields a kit file holds after it.
    return {k: v for k, v in record.items() if k != "AAKIT_NAME"}


def beam_callbacks(sn, url=None):
    """The load and save callbacks of one web-mode beam manager (serial number ``sn``),
    backed by the store. A table is stored under the name its file would have; the save goes
    to the table of the last load."""
    store = open_store(url)
    state = {"key": None}

    @_store_down
    def load(func_name="_load", freq=None, aakit="", **_payload):
        key = _arvcore.beam_table_key(sn, freq, aakit or "")
        state["key"] = key
        table = store.document(_BEAM, key)
        if table is None:
            return RetType(RetCode.ERROR_BF_BEAM_FILE,
                           "No beam table %s in the table database" % key)
        return RetType(data=table)

    @_store_down
    def save(func_name="_saveToBeamTableFile", new_table=None):
        if state["key"] is None:
            return RetType(RetCode.ERROR_BF_BEAM_FILE, "BeamFile saving exception")
        if new_table is None:
            return RetType(RetCode.ERROR_BF_BEAM_FILE, "no beam table to save")
        store.put_document(_BEAM, state["key"], new_table)
        return RetType()

    return load, save


def import_beam_file(path, url=None):
    """Stores a beam table JSON file (as a file-mode beam manager writes it) under its file
    name, so that beam_callbacks load it."""
    import os

    with open(path, encoding="utf-8") as f:
        table = json.load(f)
    open_store(url).put_document(_BEAM, os.path.basename(path), table)
    return RetType()
