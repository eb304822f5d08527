"""arvcore.plot: the figures hold the table's values, on the sample data and on generated tables
of other layouts; `vlntable ... plot` writes them; without matplotlib only plotting fails."""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("matplotlib")

from arvcore import plot  # noqa: E402
from arvcore.VLNPublic import RFMode  # noqa: E402
from test_beam_commands import vlntable_command  # noqa: E402

SN = "D2230E013-28"
ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLES = ROOT / "examples" / "files"
GEN = ROOT / "scripts" / "gen_cali.py"


def generated(directory, layout, drop=()):
    """A small generated table of `layout`; DATA rows whose (mode, board, chip, channel, gain,
    phase) cells are in `drop` are left out."""
    subprocess.run([sys.executable, str(GEN), str(directory), "--layout", ",".join(map(str, layout)),
                    "--com-steps", "2", "--gain-step", "5", "--phase-step", "90"],
                   check=True, capture_output=True)
    path = directory / ("%s_28GHz.csv" % SN)
    if drop:
        rows = path.read_text().splitlines(keepends=True)
        keep = [r for r in rows if not (r.startswith("DATA,") and tuple(
            r.split(",")[i] for i in (1, 3, 5, 7, 10, 12)) in drop)]
        assert len(keep) < len(rows)
        path.write_text("".join(keep))
    return plot.open_calibration(directory, SN, 28, layout)


def panels(fig):
    """The data axes of a figure (colour bars left out), and the number of colour bars."""
    bars = [ax for ax in fig.axes if ax.get_label() == "<colorbar>"]
    return [ax for ax in fig.axes if ax not in bars], len(bars)


@pytest.fixture(scope="module")
def sample():
    return plot.open_calibration(SAMPLES, SN, 28)


@pytest.mark.parametrize("layout", [(4, 1, 4), (1, 1, 4), (3, 2, 8), (16, 1, 4)])
def test_ranges_and_tc_draw_the_limits_of_every_section(tmp_path, sample, layout):
    cali = sample if layout == (4, 1, 4) else generated(tmp_path, layout)
    sections = layout[0] * layout[1]
    fig = plot.plot_ranges(cali)
    axes, _ = panels(fig)
    com, ele = cali.getCOMDR().RetData, cali.getELEDR().RetData
    assert [ax.get_title() for ax in axes] == [m.name for m in RFMode]
    for ax, mode in zip(axes, RFMode):
        bars = ax.patches[:sections]
        assert [(b.get_y(), b.get_y() + b.get_height()) for b in bars] == pytest.approx(
            [tuple(p) for p in com[mode.value]])
        assert list(ax.lines[0].get_ydata()) == pytest.approx(ele[mode.value])
        assert ax.get_ylabel() == "gain (dB)"
    assert SN in fig._suptitle.get_text() and "28 GHz" in fig._suptitle.get_text()

    fig = plot.plot_tc(cali)
    (ax,), _ = panels(fig)
    tc = cali._getTC()[0]
    heights = [[p.get_height() for p in c] for c in ax.containers]
    assert heights == [[ic[k] for ic in tc] for k in range(len(tc[0]))]
    assert len(heights[0]) == sections


@pytest.mark.parametrize("layout", [(4, 1, 4), (2, 4, 8)])
def test_offsets_heat_maps_per_mode_and_chip(tmp_path, sample, layout):
    cali = sample if layout == (4, 1, 4) else generated(tmp_path, layout)
    boards, chips, channels = layout
    axes, bars = panels(plot.plot_offsets(cali))
    assert len(axes) == bars == len(RFMode) * chips
    for ax in axes:
        mode, chip = ax.get_title().split(" ")
        shown = ax.images[0].get_array()
        assert shown.shape == (boards, channels)
        table = cali._CaliTable
        for b in range(boards):
            stored = table["BOARD_%d" % (b + 1)][mode][chip]
            assert list(shown[b]) == [stored["CHANNEL_%d" % c] for c in range(1, channels + 1)]
        assert (ax.get_xlabel(), ax.get_ylabel()) == ("channel", "board")


def test_comdata_panels_hold_the_entries_and_blank_missing_points(tmp_path):
    # Channel 2 of board 2, chip 1, lacks gain -3 dB at phase 90 (in every step).
    cali = generated(tmp_path, (2, 1, 4), drop={("TX", "2", "1", "2", "-3.0", "90")})
    fig = plot.plot_comdata(cali, board=2, mode="TX", chip=1, step="COM_2")
    axes, bars = panels(fig)
    assert len(axes) == 4 and bars == 4
    step = cali._CaliTable["BOARD_2"]["TX"]["DATA_CHIP_1"]["COM_2"]
    channels, gains, phases, _ = plot.comdata_grid(step)
    assert channels == [1, 2, 3, 4]
    assert gains == [-8.0, -3.0, 2.0, 7.0] and phases == [0, 90, 180, 270]
    rows = plot.comdata_rows(channels, gains)
    blanks = 0
    for k, ax in enumerate(axes):
        assert ax.get_title() == plot.COMDATA_FIELDS[k][0]
        shown = ax.images[0].get_array()
        assert shown.shape == (4 * 4, 4)
        for ch in channels:
            for gi, g in enumerate(gains):
                for pi, p in enumerate(phases):
                    entry = step.get("%d_%d_%d" % (ch, int(g * 10), p))
                    if entry is None:
                        assert shown.mask[rows[(ch, gi)], pi]
                        blanks += 1
                    else:
                        assert shown[rows[(ch, gi)], pi] == pytest.approx(entry[k])
    assert blanks == 4  # the one missing point, in each of the four stored numbers
    assert {ax.get_xlabel() for ax in axes} == {"phase (degrees)"}
    assert axes[0].get_ylabel().startswith("gain (dB)")
    assert [t.get_text() for t in axes[0].texts] == ["ch %d" % c for c in channels]
    assert "BOARD_2 TX chip 1 COM_2" in fig._suptitle.get_text()
    with pytest.raises(KeyError):
        plot.plot_comdata(cali, board=3)


def test_comdata_of_the_sample_only_selected_channels(sample):
    axes, _ = panels(plot.plot_comdata(sample, step=1, channels=[3]))
    step = sample._CaliTable["BOARD_1"]["TX"]["DATA_CHIP_1"]["COM_1"]
    assert [t.get_text() for t in axes[0].texts] == ["ch 3"]
    # Top row: the highest gain (4 dB) at phase 0; the entry's gain number is panel 2.
    assert axes[2].images[0].get_array()[0, 0] == step["3_40_0"][2]


@pytest.fixture
def beams(tmp_path):
    data = tmp_path / "files"
    shutil.copytree(SAMPLES, data)
    return plot.open_beam_table(data, SN, 28)


def test_channel_beam_grid_and_marks(beams):
    fig = plot.plot_beam(beams, "RX", 1)
    (common, db, deg), bars = panels(fig)
    assert bars == 3
    entry = beams._BeamTable["RX"]["1"]["channel_config"]
    for k in range(4):
        group = entry["board_%d" % (k + 1)]
        assert common.images[0].get_array()[k, 0] == group["common_db"]
        for c in range(4):
            ch = group["channel_%d" % (c + 1)]
            assert db.images[0].get_array()[k, c] == ch["db"]
            assert deg.images[0].get_array()[k, c] == ch["deg"]
    # Only board_1 channel_1 has sw 1: marked in both grids.
    for ax in (db, deg):
        assert list(ax.lines[0].get_xdata()) == [0]
        assert [round(y) for y in ax.lines[0].get_ydata()] == [0]
    assert [t.get_text() for t in db.get_yticklabels()] == ["board_%d" % k for k in range(1, 5)]
    assert "one channel trimmed" in fig._suptitle.get_text()
    # An unset id reads as the default beam: every channel at the section's ELEDR limit.
    fig = plot.plot_beam(beams, RFMode.TX, 7)
    _, db, _ = panels(fig)[0]
    eledr = beams.getBeamPattern(RFMode.TX, 7).RetData["channel_config"]["board_2"]["channel_1"]
    assert db.images[0].get_array()[1, 0] == eledr["db"]
    assert not db.lines and "not stored" in fig._suptitle.get_text()


def test_steering_and_stored_ids(beams):
    fig = plot.plot_beam(beams, "TX", 2)
    (ax,), bars = panels(fig)
    assert bars == 1
    points = ax.collections[0]
    assert points.get_offsets().tolist() == [[0, 0], [30.0, 90.0]]
    assert list(points.get_array()) == [6.5, 6.0]
    assert ax.collections[1].get_offsets().tolist() == [[30.0, 90.0]]  # beam 2 ringed
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("theta (degrees)", "phi (degrees)")
    (ax,), _ = panels(plot.plot_steering(beams, "RX"))
    assert not ax.collections and "no stored BEAM beams" in ax.texts[0].get_text()

    (ax,), bars = panels(plot.plot_beam_ids(beams))
    shown = ax.images[0].get_array()
    assert shown.shape == (2, 64) and bars == 1
    assert shown[0, :3].tolist() == [1, 1, 0] and shown[1, :2].tolist() == [2, 0]
    assert shown.sum() == 4


def test_kit_offsets_and_title():
    kits = plot.open_kits(SAMPLES)
    name = "LAB-4x4_ONE_28_2024031514302512+0800"
    fig = plot.plot_kit(kits, name)
    axes, _ = panels(fig)
    record = kits.getAAKitInfo(name).RetData
    for ax, field in zip(axes, ("OFFSET_TX", "OFFSET_RX")):
        assert ax.get_title() == field
        assert [p.get_height() for p in ax.patches] == record[field]
    title = fig._suptitle.get_text()
    assert "spacing 5.35 x 5.35" in title and "H -60..60" in title and "V -30..30" in title
    with pytest.raises(ValueError):
        plot.plot_kit(kits, "NO-SUCH-KIT")


def test_kit_with_offsets_per_polarization(files_dir):
    from arvcore.vlndev.VLNTableManager import AAKitTableManager

    kits = AAKitTableManager(9, 4, num_polar=2, support_dev=[9])
    offsets = {"HORIZON": [0, 1, 2, 3], "VERTICAL": [3, 2, 1, 0]}
    name = kits.setAAKitInfo("POL", [5.0, 5.0], [-45.0, 45.0], [-30.0, 30.0], offsets,
                             offsets).RetData
    axes, _ = panels(plot.plot_kit(kits, name))
    for ax in axes:
        horizon, vertical = ax.containers
        assert [p.get_height() for p in horizon] == offsets["HORIZON"]
        assert [p.get_height() for p in vertical] == offsets["VERTICAL"]
        assert ax.get_xlim()[1] < 5  # four channels, not eight


def test_without_matplotlib_only_plotting_fails():
    code = (
        "import sys; sys.modules['matplotlib'] = None\n"
        "from arvcore import plot\n"
        "cali = plot.open_calibration(sys.argv[1], 'D2230E013-28', 28)\n"
        "assert cali.getCOMDR().RetData\n"
        "try:\n"
        "    plot.plot_ranges(cali)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    done = subprocess.run([sys.executable, "-c", code, str(SAMPLES)], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "python3-matplotlib" in done.stdout


def run(*args):
    done = subprocess.run([vlntable_command(), *args], capture_output=True, timeout=120)
    return done.returncode, done.stdout, done.stderr.decode()


def test_plot_commands_write_pictures(tmp_path):
    data = tmp_path / "files"
    shutil.copytree(SAMPLES, data)
    png, svg = tmp_path / "c.png", tmp_path / "b.svg"
    code, out, err = run("cali", "plot", SN, "28", "--files", str(data), "--what", "comdata",
                         "--step", "2", "--out", str(png))
    assert code == 0 and out == b"", err
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    code, _, err = run("beam", "plot", SN, "28", "--files", str(data), "--mode", "RX", "--id", "1",
                       "--out", str(svg))
    assert code == 0, err
    assert b"<svg" in svg.read_bytes()[:400]
    code, _, err = run("kit", "plot", "VELNOR-4x4_ONE_28_IDEAL", "--files", str(data),
                       "--out", str(tmp_path / "k.png"))
    assert code == 0 and (tmp_path / "k.png").stat().st_size > 1000, err
    # A missing step, a missing beam table: a message, no picture, nothing created.
    code, _, err = run("cali", "plot", SN, "28", "--files", str(data), "--what", "comdata",
                       "--step", "9", "--out", str(tmp_path / "x.png"))
    assert code == 1 and "COM_9" in err and not (tmp_path / "x.png").exists()
    before = sorted(p.name for p in (data / "BeamTable").iterdir())
    code, _, err = run("beam", "plot", SN, "27.5", "--files", str(data), "--what", "ids",
                       "--out", str(tmp_path / "y.png"))
    assert code == 1 and "no beam table" in err
    assert sorted(p.name for p in (data / "BeamTable").iterdir()) == before
    # A legacy table is not loaded (the load would convert and rewrite it).
    legacy = data / "BeamTable" / ("Beam_Configuration_%s_28GHz.json" % SN)
    text = '{"version": "v1.2.0", "TX_beam_list": [], "RX_beam_list": []}'
    legacy.write_text(text)
    code, _, err = run("beam", "plot", SN, "28", "--files", str(data), "--what", "ids",
                       "--out", str(tmp_path / "y.png"))
    assert code == 1 and "current layout" in err and legacy.read_text() == text
    env = dict(os.environ, VLNTABLE_PYTHON="/nonexistent/python3")
    done = subprocess.run([vlntable_command(), "kit", "plot", "X", "--out", "z.png"],
                          capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 2 and "python3-matplotlib" in done.stderr


def test_picture_script_runs(tmp_path):
    done = subprocess.run(["bash", str(ROOT / "scripts" / "make-pictures.sh"), str(tmp_path)],
                          capture_output=True, text=True, timeout=300,
                          env=dict(os.environ, VLNTABLE=vlntable_command()))
    assert done.returncode == 0, done.stderr
    pictures = sorted(p.name for p in tmp_path.glob("*.png"))
    assert pictures == sorted(p.name for p in (ROOT / "docs").glob("*.png"))
    assert len(pictures) == 2


def test_beam_and_comdata_of_a_larger_layout(tmp_path):
    # 2 boards of 4 ICs with 8 channels: 8 channel groups of 8 channels.
    cali = generated(tmp_path, (2, 4, 8))
    from arvcore.VLNPublic import BeamType
    from arvcore.VLNUtils import RetType

    checks = (lambda *a: RetType(data=a[1:4]), lambda *a: RetType())
    beam = plot.open_beam_table(tmp_path, SN, 28, layout=(2, 4, 8), check_funcs=checks)

    change = {"board_8": {"channel_8": {"sw": 1, "db": 1.5, "deg": 90}}}
    assert beam.setBeamPattern(RFMode.TX, 3, BeamType.CHANNEL, change).RetMsg == ""
    _, db, deg = panels(plot.plot_beam(beam, "TX", 3))[0]
    assert db.images[0].get_array().shape == (8, 8)
    assert (db.images[0].get_array()[7, 7], deg.images[0].get_array()[7, 7]) == (1.5, 90)
    assert list(db.lines[0].get_xdata()) == [7]
    assert [round(y) for y in db.lines[0].get_ydata()] == [7]

    axes, _ = panels(plot.plot_comdata(cali, board=2, mode="RX", chip=4, step=2))
    step = cali._CaliTable["BOARD_2"]["RX"]["DATA_CHIP_4"]["COM_2"]
    channels, gains, _, _ = plot.comdata_grid(step)
    assert channels == list(range(1, 9))
    row = plot.comdata_rows(channels, gains)[(8, 0)]
    assert axes[3].images[0].get_array()[row, 0] == pytest.approx(step["8_-80_0"][3])


def test_diff_map_shows_the_whole_grid_within_and_missing_apart(tmp_path):
    sample = SAMPLES / f"{SN}_28GHz.csv"
    one_row = "DATA,TX,BOARD,1,CHIP,1,CH,1,GAIN,dB,-8.0,PHASE,45,COM,1,REG,0,8,MEAS,-8.059,43.55"
    other = tmp_path / sample.name
    other.write_text("".join(
        line for line in sample.read_text().replace(one_row, one_row[:-5] + "50.0")
        .splitlines(keepends=True) if not line.startswith("DATA,RX,BOARD,2,")))
    done = subprocess.run([vlntable_command(), "cali", "diff", str(sample), str(other), "--json",
                           "--tolerance", "0.2", "--plot", str(tmp_path / "d.png")],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 1 and (tmp_path / "d.png").stat().st_size > 0
    fig = plot.plot_diff(json.loads(done.stdout))
    assert str(sample) in fig._suptitle.get_text() and str(other) in fig._suptitle.get_text()
    maps, bars = panels(fig)
    maps = {ax.get_title(): ax for ax in maps}
    assert len(maps) == 8 and bars == 1  # TX meas_phase alone differs beyond the tolerance
    # Boards x chip.channel of the whole device; 0 within the tolerance, 1 points missing.
    states = maps["RX reg_gain"].images[0].get_array()
    assert states.shape == (4, 4)
    assert list(states[1]) == [1] * 4 and list(states[0]) == [0] * 4
    [tx_phase] = [i.get_array() for i in maps["TX meas_phase"].images[1:]]
    assert tx_phase[0, 0] == pytest.approx(6.45) and tx_phase.mask.sum() == 15
