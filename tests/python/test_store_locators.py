"""Table database locators and settings as every surface takes them: the Python store
functions, a web-mode manager and its log, and `vlntable db`. A locator of no accepted form is
refused whole and never becomes a file; a timeout is a number of seconds above 0 wherever it
is set. No server is needed: the servers named here are not there."""

import json
import logging
import os
import subprocess

import pytest

from arvcore import db as tabledb
from arvcore.VLNPublic import RetCode
from arvcore.vlndev.VLNTableManager import CalibrationTableManager, VLNTableDBError

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SAMPLE = os.path.join(REPO, "examples", "files", "D2230E013-28_28GHz.csv")
SN = "D2230E013-28"
ABSENT = "127.0.0.1:1"  # nothing listens there: a server locator that is read fails to connect
VLNTABLE = os.environ.get("ARVCORE_VLNTABLE") and os.path.abspath(os.environ["ARVCORE_VLNTABLE"])


def run_vlntable(*args, env=None, cwd=None):
    if not VLNTABLE:
        return None
    return subprocess.run([VLNTABLE, *args], capture_output=True, text=True, cwd=cwd,
                          env={**os.environ, **(env or {})})


def log_texts(caplog):
    fmt = logging.Formatter()
    return [r.getMessage() + (fmt.formatException(r.exc_info) if r.exc_info else "")
            for r in caplog.records]


def web_parse(caplog):
    """What a web-mode manager over $ARVCORE_TABLE_DB answers to parse, with its log."""
    caplog.clear()
    m = CalibrationTableManager(SN, 28, lambda: (4, 1, 4), is_web_mode=True)
    try:
        ret = m.parse(28)
    except VLNTableDBError as e:  # a manager left without its database component
        ret = e.ret
    return ret, [ret.RetMsg, *log_texts(caplog)]


# The secret is SEKRIT. Each locator: refused (a mistyped form), or read (and then it names a
# server that is not there).
def hostile_locators(tmp):
    return [
        (" postgresql://u:SEKRIT@%s/db" % ABSENT, False),
        ("postgresql://u:SEKRIT@%s/db\t\n" % ABSENT, False),
        ("postgres:u:SEKRIT@%s/db" % ABSENT, True),
        ("postgresql:/u:SEKRIT@%s/db" % ABSENT, True),
        ("postgresql//u:SEKRIT@%s/db" % ABSENT, True),
        ("sqlite:/u:SEKRIT@x/db", True),
        ("sqlite://u:SEKRIT@x/db", True),
        ("dbname=postgresql://u:SEKRIT@%s/db" % ABSENT, True),
        ("host=127.0.0.1 port=1 dbname='postgres:u:SEKRIT@h/db'", True),
        ("postgresql://u@%s/postgresql:%%2F%%2Fv:SEKRIT%%40h" % ABSENT, True),
        ("postgresql://u@%s/db?application_name=SEKRIT%%zz" % ABSENT, True),  # quoted by libpq
        ("sqlite:///%s/s.db?password=SEKRIT" % tmp, True),
        ("%s/s.db?grace=1&passfile=SEKRIT" % tmp, True),
        ("u:SEKRIT@%s/db" % ABSENT, True),
        ("SEKRIT@127.0.0.1", True),
        ("jdbc:postgresql://u:SEKRIT@%s/db" % ABSENT, True),
        ("file:///u:SEKRIT@h/db", True),
        ("postgresql://u:SEKRIT@h/db\x01", True),
    ]


def test_hostile_locators_are_refused_whole_on_every_surface(tmp_path, monkeypatch, caplog):
    caplog.set_level(logging.DEBUG, logger="TblDB")
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    monkeypatch.chdir(cwd)
    for loc, refused in hostile_locators(tmp_path):
        seen = []
        with pytest.raises(ValueError if refused else ConnectionError) as e:
            tabledb.open_store(loc).tables()
        seen += [str(e.value), repr(e.value)]
        if refused:
            assert "sqlite:///PATH" in str(e.value), loc
        else:
            seen += [tabledb.open_store(loc).where, repr(tabledb.open_store(loc))]
        with pytest.raises(ValueError if refused else ConnectionError) as e:
            tabledb.import_tables([SAMPLE], url=loc)
        seen += [str(e.value), repr(e.value)]
        monkeypatch.setenv("ARVCORE_TABLE_DB", loc)
        ret, texts = web_parse(caplog)
        assert ret.RetCode == RetCode.ERROR_DB_SERVER, (loc, ret)
        seen += texts
        done = run_vlntable("db", "list", "--json", "--db", loc, cwd=cwd)
        if done:
            doc = json.loads(done.stdout)
            assert done.returncode != 0 and "error" in doc and "tables" not in doc, loc
            seen += [done.stdout, done.stderr]
        assert not any("SEKRIT" in text for text in seen), (loc, seen)
        assert sorted(os.listdir(tmp_path)) == ["cwd"] and os.listdir(cwd) == [], loc


def test_timeouts_are_above_zero_wherever_they_are_set(tmp_path, monkeypatch, caplog):
    caplog.set_level(logging.DEBUG, logger="TblDB")
    server = "postgresql://u@%s/db" % ABSENT
    cases = [  # (locator, environment, the setting named in the refusal; None: accepted)
        (server + "?query_timeout=0", {}, "query_timeout"),
        (server + "?query_timeout=-1", {}, "query_timeout"),
        (server + "?connect_timeout=0", {}, "connect_timeout"),
        (server + "?sslmode=disable&connect_timeout=-5", {}, "connect_timeout"),
        (server + "?connect_timeout=soon", {}, "connect_timeout"),
        ("host=127.0.0.1 port=1 connect_timeout=0", {}, "connect_timeout"),
        (server, {"ARVCORE_TABLE_DB_QUERY_TIMEOUT": "0"}, "$ARVCORE_TABLE_DB_QUERY_TIMEOUT"),
        (server, {"ARVCORE_TABLE_DB_QUERY_TIMEOUT": "abc"}, "$ARVCORE_TABLE_DB_QUERY_TIMEOUT"),
        (server, {"ARVCORE_TABLE_DB_CONNECT_TIMEOUT": "-2"}, "$ARVCORE_TABLE_DB_CONNECT_TIMEOUT"),
        (server, {"PGCONNECT_TIMEOUT": "0"}, "$PGCONNECT_TIMEOUT"),
        (server + "?connect_timeout=1.5&query_timeout=0.5", {"PGCONNECT_TIMEOUT": "0"}, None),
    ]
    for var in ("ARVCORE_TABLE_DB_QUERY_TIMEOUT", "ARVCORE_TABLE_DB_CONNECT_TIMEOUT",
                "PGCONNECT_TIMEOUT"):
        monkeypatch.delenv(var, raising=False)
    for loc, env, name in cases:
        with monkeypatch.context() as mp:
            for k, v in env.items():
                mp.setenv(k, v)
            expected = ConnectionError if name is None else ValueError
            with pytest.raises(expected) as e:
                tabledb.open_store(loc).tables()
            with pytest.raises(expected) as e2:
                tabledb.import_tables([SAMPLE], url=loc)
            mp.setenv("ARVCORE_TABLE_DB", loc)
            ret, texts = web_parse(caplog)
            results = [str(e.value), str(e2.value)]
            answers = [ret.RetCode != RetCode.OK and any((name or "") in t for t in texts)]
            for args in (["list", "--json"], ["rm", SN, "28"], ["import", SAMPLE]):
                done = run_vlntable("db", *args, "--db", loc, env=env, cwd=tmp_path)
                if done:
                    answers.append(done.returncode != 0)
                    results.append(done.stdout + done.stderr)
        if name is None:
            assert ret.RetCode == RetCode.ERROR_DB_SERVER and all(answers), (loc, env)
            assert not any("must be a number" in r for r in results), (loc, env, results)
        else:
            assert all(answers), (loc, env, texts)
            assert all(name in r and "above 0" in r for r in results), (loc, env, results)
