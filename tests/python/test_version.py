"""One version everywhere: the CMake project's, as the package and the command show it."""

import os
import pathlib
import re
import subprocess

import pytest

import arvcore

ROOT = pathlib.Path(__file__).resolve().parents[2]


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(\s*\w+\s+VERSION\s+(\d+\.\d+\.\d+)", text).group(1)


def test_package_version_is_the_projects():
    assert arvcore.__version__ == project_version()


@pytest.mark.skipif(not os.environ.get("ARVCORE_VLNTABLE"), reason="vlntable not built")
def test_vlntable_version_is_the_projects():
    done = subprocess.run([os.environ["ARVCORE_VLNTABLE"], "--version"], capture_output=True,
                          text=True, check=True)
    assert done.stdout.strip() == f"vlntable {project_version()}"
