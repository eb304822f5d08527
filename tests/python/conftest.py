"""Shared fixtures for the arvcore package tests."""

import logging

import pytest


@pytest.fixture
def files_dir(tmp_path, monkeypatch):
    """A fresh, empty data directory, set as ARVCORE_FILES_DIR for the test."""
    path = tmp_path / "files"
    path.mkdir()
    monkeypatch.setenv("ARVCORE_FILES_DIR", str(path))
    return path


@pytest.fixture
def arvcore_logs(caplog):
    """caplog capturing every level of the module's loggers.

    The core only sends records whose level Python enables, so the loggers' levels are set
    here (and put back afterwards by caplog).
    """
    import arvcore.vlndev.VLNTableManager  # noqa: F401  (installs the logging bridge)

    for name in ("CaliTbl", "AAKitTbl", "BeamTbl", "UDDeltaTbl", "TblDB"):
        caplog.set_level(logging.DEBUG, logger=name)
    return caplog


@pytest.fixture(autouse=True)
def _restore_logging():
    """Undo logging.disable() calls a test may leave behind."""
    yield
    logging.disable(logging.NOTSET)
