"""Pictures of the tables: calibration limits, offsets, temperature compensation and ComData,
beam patterns and antenna-kit offsets, drawn with matplotlib.

Every function takes a manager (or a data directory and the names that pick the table) and
returns a ``matplotlib.figure.Figure``; save it with ``fig.savefig("name.png")``. Figures are
drawn on matplotlib's Agg canvas, never on a display. The rest of ``arvcore`` works without
matplotlib; these functions then raise ImportError naming the package to install.

    from arvcore import plot
    cali = plot.open_calibration("examples/files", "D2230E013-28", 28)
    plot.plot_ranges(cali).savefig("ranges.png")

``python3 -m arvcore.plot cali|beam|kit ... --out FILE`` draws one picture from the command
line (``vlntable cali|beam|kit plot`` runs it).
"""

import argparse
import contextlib
import logging
import math
import os
import re
import sys

from arvcore import _arvcore
from arvcore.VLNPublic import BeamType, RetCode, RFMode

__all__ = [
    "open_calibration",
    "open_beam_table",
    "open_kits",
    "plot_ranges",
    "plot_offsets",
    "plot_tc",
    "plot_comdata",
    "plot_beam",
    "plot_channel_beam",
    "plot_steering",
    "plot_beam_ids",
    "plot_kit",
    "plot_diff",
    "comdata_grid",
    "comdata_rows",
    "channel_grid",
    "beam_id_kinds",
    "save_figure",
    "main",
]

MATPLOTLIB_PACKAGE = "python3-matplotlib"

# The four numbers of a ComData entry, as stored in a calibration table's DATA rows: the
# register codes of gain and phase, and the gain and phase measured with them. The same names
# are used by `vlntable cali comdata` and `vlntable cali diff`.
COMDATA_FIELDS = (
    ("reg_gain", "code"),
    ("reg_phase", "code"),
    ("meas_gain", "dB"),
    ("meas_phase", "degrees"),
)

# Phases wrap around (0 and 359 degrees are neighbours): they are coloured on a cyclic map.
PHASE_CMAP = "twilight"


def _matplotlib():
    """(Figure class, Agg canvas class, numpy); ImportError naming the package to install when
    matplotlib is absent."""
    try:
        import numpy
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as e:
        raise ImportError(
            "arvcore.plot needs matplotlib: install the Debian package %s "
            "(apt-get install %s)" % (MATPLOTLIB_PACKAGE, MATPLOTLIB_PACKAGE),
            name="matplotlib",
        ) from e
    return Figure, FigureCanvasAgg, numpy


def _new_figure(width, height, layout="constrained"):
    """A figure on the Agg canvas (never a display), and numpy."""
    Figure, FigureCanvasAgg, np = _matplotlib()
    fig = Figure(figsize=(width, height), layout=layout)
    FigureCanvasAgg(fig)
    return fig, np


def _mode(mode):
    """An RFMode member from a member, its value or its name ("TX", "rx")."""
    if isinstance(mode, RFMode):
        return mode
    if isinstance(mode, str):
        try:
            return RFMode[mode.upper()]
        except KeyError:
            raise ValueError("unknown RF mode %r (one of %s)" % (mode, ", ".join(RFMode.__members__)))
    return RFMode(mode)


def _number(text):
    """A table number (some are stored as text); None when it is not one."""
    try:
        return float(text)
    except (TypeError, ValueError):
        return None


def _freq_text(freq):
    f = float(freq)
    return str(int(f)) if f == int(f) else repr(f)


def _check(ret, what):
    if ret.RetCode != RetCode.OK:
        raise ValueError("%s: %s %s" % (what, ret.RetCode.name, ret.RetMsg))
    return ret.RetData


@contextlib.contextmanager
def _files_dir(files):
    """Managers take the data directory when they are made: point them at `files` meanwhile."""
    if files is None:
        yield
        return
    old = os.environ.get("ARVCORE_FILES_DIR")
    os.environ["ARVCORE_FILES_DIR"] = os.fspath(files)
    try:
        yield
    finally:
        if old is None:
            del os.environ["ARVCORE_FILES_DIR"]
        else:
            os.environ["ARVCORE_FILES_DIR"] = old


def _layout_callable(layout):
    b, i, c = (int(n) for n in layout)
    return lambda: (b, i, c)


# --- opening tables ----------------------------------------------------------------------------


def open_calibration(files, sn, freq, layout=(4, 1, 4)):
    """The calibration manager of `sn` with its table of `freq` parsed from the data directory
    `files` (None: the SDK's data directory). ValueError when the parse fails."""
    from arvcore.vlndev.VLNTableManager import CalibrationTableManager

    with _files_dir(files):
        cali = CalibrationTableManager(sn, freq, _layout_callable(layout))
    _check(cali.parse(freq), "calibration table of %s at %s GHz" % (sn, _freq_text(freq)))
    return cali


def open_beam_table(files, sn, freq, kit="", layout=(4, 1, 4), num_beam=64, devtype=9,
                    check_funcs=None):
    """A beam manager of `sn` holding its table of `freq` and `kit`, with the limits of the
    calibration table of that frequency, loaded as the device loads it (a missing table is
    created, a legacy one converted). `check_funcs` are the device's checks for later sets
    (default: the module's fake_check and fake_ic_check)."""
    from arvcore.vlndev.VLNTableManager import BeamPatternTableManager, fake_check, fake_ic_check

    cali = open_calibration(files, sn, freq, layout)
    limits = [
        _check(ret, "limits of the calibration table")
        for ret in (cali.getDR(), cali.getCOMDR(), cali.getELEDR())
    ]
    with _files_dir(files):
        beam = BeamPatternTableManager(
            sn, devtype, num_beam, _layout_callable(layout),
            check_funcs or (fake_check, fake_ic_check)
        )
    beam._updateFreq(freq, *limits)
    _check(beam._load(freq, kit), "beam table of %s at %s GHz" % (sn, _freq_text(freq)))
    return beam


def open_kits(files, devtype=9, total_ch=16, num_polar=1, support_dev=None):
    """A kit manager with the kit files of the data directory `files` listed (read as the SDK
    reads them)."""
    from arvcore.vlndev.VLNTableManager import AAKitTableManager

    with _files_dir(files):
        kits = AAKitTableManager(
            devtype, total_ch, num_polar=num_polar,
            support_dev=list(support_dev) if support_dev else [devtype],
        )
    kits.getAAKitList()
    return kits


# --- calibration -------------------------------------------------------------------------------


def _cali_title(cali, what):
    table = cali._CaliTableEntry
    sn, fcenter = cali.sn, None
    with contextlib.suppress(KeyError):
        fcenter = table("FCENTER")
    freq = ", %s GHz" % _freq_text(fcenter) if _number(fcenter) is not None else ""
    return "%s%s: %s" % (sn, freq, what)


def _sections(cali):
    return cali._num_board * cali._num_ic_per_board


def _series(value):
    """The numbers of a limit entry: a number, a list of numbers, or a map of either."""
    if isinstance(value, dict):
        return [n for v in value.values() for n in _series(v)]
    if isinstance(value, (list, tuple)):
        return [float(v) for v in value]
    return [float(value)]


def plot_ranges(cali):
    """COMDR ranges (bars from minimum to maximum) and ELEDR limits (markers) per IC section,
    one panel per RF mode, with the mode's total range DR shaded."""
    com = _check(cali.getCOMDR(), "COMDR")
    ele = _check(cali.getELEDR(), "ELEDR")
    dr = _check(cali.getDR(), "DR")
    sections = _sections(cali)
    fig, np = _new_figure(max(6.0, 2.0 + 0.22 * sections), 6.0)
    axes = fig.subplots(len(RFMode), 1, sharex=True, squeeze=False)[:, 0]
    x = np.arange(1, sections + 1)
    for ax, mode in zip(axes, RFMode):
        lows, highs = [], []
        for pair in com[mode.value]:
            values = _series(pair)
            lows.append(min(values))
            highs.append(max(values))
        ax.bar(x, np.subtract(highs, lows), bottom=lows, width=0.6, color="tab:blue",
               alpha=0.8, label="COMDR (min to max)")
        ex, ey = [], []
        for i, limit in enumerate(ele[mode.value]):
            for v in _series(limit):
                ex.append(i + 1)
                ey.append(v)
        ax.plot(ex, ey, "D", color="tab:red", label="ELEDR")
        mode_dr = dr.get(mode.name) if isinstance(dr, dict) else None
        if isinstance(mode_dr, (list, tuple)) and len(mode_dr) == 2:
            ax.axhspan(float(mode_dr[0]), float(mode_dr[1]), color="0.85", zorder=0,
                       label="DR %s .. %s" % (mode_dr[0], mode_dr[1]))
        ax.set_title(mode.name)
        ax.set_ylabel("gain (dB)")
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small")
        ax.grid(axis="y", alpha=0.4)
    axes[-1].set_xlabel("IC section (BOARD_n of the table)")
    axes[-1].set_xticks(x if sections <= 32 else x[::max(1, sections // 16)])
    fig.suptitle(_cali_title(cali, "COMDR and ELEDR per IC section"))
    return fig


def _heat(ax, np, data, cmap, label, fig, origin="upper", values=False, limits=(None, None)):
    """A heat map of `data` (rows x columns, NaN blank) with its colour bar (none when `label`
    is None: the caller draws one for several maps); `values` writes each cell's number into
    it; `limits` fixes the colour scale."""
    import matplotlib

    masked = np.ma.masked_invalid(np.asarray(data, dtype=float))
    cm = matplotlib.colormaps[cmap].copy()
    cm.set_bad("white")
    image = ax.imshow(masked, cmap=cm, aspect="auto", origin=origin, interpolation="nearest",
                      vmin=limits[0], vmax=limits[1])
    if values:
        for (r, c), v in np.ndenumerate(masked.filled(np.nan)):
            if not math.isnan(v):
                ax.text(c, r + 0.05, "%g" % v, ha="center", va="bottom", fontsize="x-small",
                        color="white", bbox={"boxstyle": "round,pad=0.1", "fc": "0.2",
                                             "ec": "none", "alpha": 0.6})
    if label is not None:
        fig.colorbar(image, ax=ax, shrink=0.9).set_label(label)
    return image


def _ticks(ax, axis, labels, most=12):
    """Index ticks labelled with `labels`, at most `most` of them."""
    n = len(labels)
    step = max(1, math.ceil(n / most))
    positions = list(range(0, n, step))
    getattr(ax, "set_%sticks" % axis)(positions)
    getattr(ax, "set_%sticklabels" % axis)([labels[p] for p in positions])


def _offset_grid(cali, np, mode, chip):
    boards, channels = cali._num_board, cali._num_channel_per_ic
    grid = np.full((boards, channels), np.nan)
    for b in range(boards):
        try:
            chip_map = cali._CaliTableEntry("BOARD_%d" % (b + 1), mode.name, "OFFSET_CHIP_%d" % chip)
        except KeyError:
            continue
        for key, value in chip_map.items():
            c = int(key.rsplit("_", 1)[1])
            if 1 <= c <= channels:
                grid[b, c - 1] = value
    return grid


def plot_offsets(cali):
    """The per-channel offsets as a boards x channels heat map, one panel per RF mode (rows)
    and IC position "chip" (columns)."""
    chips = cali._num_ic_per_board
    boards, channels = cali._num_board, cali._num_channel_per_ic
    fig, np = _new_figure(max(5.0, 1.0 + chips * (2.2 + 0.3 * channels)),
                          max(4.5, 1.2 + len(RFMode) * (1.2 + 0.28 * boards)))
    axes = fig.subplots(len(RFMode), chips, squeeze=False)
    grids = {(mode, chip): _offset_grid(cali, np, mode, chip)
             for mode in RFMode for chip in range(1, chips + 1)}
    # One colour scale, centred on 0, for every panel.
    largest = max([float(np.nanmax(np.abs(g))) for g in grids.values() if not np.isnan(g).all()]
                  or [1.0]) or 1.0
    for r, mode in enumerate(RFMode):
        for chip in range(1, chips + 1):
            ax = axes[r, chip - 1]
            _heat(ax, np, grids[(mode, chip)], "coolwarm", "offset (steps)", fig,
                  limits=(-largest, largest))
            ax.set_title("%s OFFSET_CHIP_%d" % (mode.name, chip), fontsize="medium")
            ax.set_xlabel("channel")
            ax.set_ylabel("board")
            _ticks(ax, "x", [str(c) for c in range(1, channels + 1)])
            _ticks(ax, "y", [str(b) for b in range(1, boards + 1)], most=16)
    fig.suptitle(_cali_title(cali, "per-channel offsets"))
    return fig


def plot_tc(cali):
    """Temperature compensation per IC section: one bar per stored value, grouped by section."""
    chain = cali._getTC()[0]
    sections = len(chain)
    labels, columns = [], []
    for i, ic in enumerate(chain):
        values = _series(ic)
        if i == 0:
            per_mode = max(1, len(values) // len(RFMode))
            labels = ["%s TC[%d]" % (list(RFMode)[min(k // per_mode, len(RFMode) - 1)].name,
                                     k % per_mode) for k in range(len(values))]
        columns.append(values)
    fig, np = _new_figure(max(6.0, 2.5 + 0.35 * sections * max(1, len(labels)) / 2), 4.5)
    ax = fig.subplots()
    width = 0.8 / max(1, len(labels))
    x = np.arange(1, sections + 1)
    for k, label in enumerate(labels):
        heights = [col[k] if k < len(col) else np.nan for col in columns]
        ax.bar(x - 0.4 + width * (k + 0.5), heights, width=width, label=label)
    ax.set_xlabel("IC section (BOARD_n of the table)")
    ax.set_ylabel("TC value (code)")
    ax.set_xticks(x if sections <= 32 else x[::max(1, sections // 16)])
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small")
    ax.grid(axis="y", alpha=0.4)
    fig.suptitle(_cali_title(cali, "temperature compensation per IC section"))
    return fig


_CHANNEL_KEY = re.compile(r"^(-?\d+)_(-?\d+)_(-?\d+(?:\.\d+)?)$")


def comdata_grid(step_map, channels=None):
    """Arrange one step's ComData map ({"ch_gainstep_phase": entry}) as a grid.

    Returns (channels, gains in dB, phases in degrees, grids) where grids[c][k] is a
    len(gains) x len(phases) list of lists holding entry number k of channel c, or NaN where
    the table has no entry for that gain and phase."""
    rows = {}
    gain_steps, phases = set(), set()
    for key, entry in step_map.items():
        m = _CHANNEL_KEY.match(key)
        if not m:
            continue
        ch, g, p = int(m.group(1)), int(m.group(2)), float(m.group(3))
        gain_steps.add(g)
        phases.add(p)
        rows.setdefault(ch, {})[(g, p)] = entry
    if channels is None:
        channels = sorted(rows)
    gain_steps, phases = sorted(gain_steps), sorted(phases)
    gi = {g: i for i, g in enumerate(gain_steps)}
    pi = {p: i for i, p in enumerate(phases)}
    nan = float("nan")
    width = max((len(e) for r in rows.values() for e in r.values()), default=len(COMDATA_FIELDS))
    grids = []
    for ch in channels:
        per_field = [[[nan] * len(phases) for _ in gain_steps] for _ in range(width)]
        for (g, p), entry in rows.get(ch, {}).items():
            for k, v in enumerate(entry):
                per_field[k][gi[g]][pi[p]] = float(v)
        grids.append(per_field)
    return list(channels), [g / 10 for g in gain_steps], phases, grids


def _step_name(step):
    text = str(step)
    return text if text.startswith("COM_") else "COM_" + text


def comdata_rows(chans, gains):
    """Where plot_comdata draws each grid row: {(channel, gain index): image row}. Channels are
    stacked from the top, each block with its highest gain on top."""
    g = len(gains)
    return {(ch, gi): r * g + (g - 1 - gi) for r, ch in enumerate(chans) for gi in range(g)}


def plot_comdata(cali, board=1, mode="TX", chip=1, step=1, channels=None):
    """One board, mode, chip and common-arm step: the ComData entries as heat maps over gain
    (rows) and phase (columns), one panel per stored number, the channels stacked in blocks
    (see comdata_rows). Gain and phase points the table lacks stay blank."""
    from matplotlib.transforms import blended_transform_factory

    mode = _mode(mode)
    step = _step_name(step)
    path = ("BOARD_%d" % board, mode.name, "DATA_CHIP_%d" % chip, step)
    step_map = cali._CaliTableEntry(*path)
    chans, gains, phases, grids = comdata_grid(step_map, channels)
    if not chans:
        raise ValueError("%s holds no ComData entries" % "/".join(path))
    fields = len(grids[0])
    rows = comdata_rows(chans, gains)
    width, height = 3.3 * fields + 1.0, 1.6 + min(9.0, max(3.0, 0.07 * len(rows)))
    # A fixed grid (panel, colour bar, room for its labels) draws quicker than a solved layout.
    fig, np = _new_figure(width, height, layout=None)
    grid = fig.add_gridspec(1, 3 * fields, width_ratios=[1, 0.05, 0.45] * fields,
                            left=1.1 / width, right=0.995, top=1 - 0.75 / height,
                            bottom=0.65 / height, wspace=0.05)
    g = len(gains)
    ticks = list(range(0, g, max(1, math.ceil(g / 4))))
    first = None
    for k in range(fields):
        name, unit = COMDATA_FIELDS[k] if k < len(COMDATA_FIELDS) else ("entry[%d]" % k, "")
        image_rows = np.full((len(rows), len(phases)), np.nan)
        for r, ch in enumerate(chans):
            for gi in range(g):
                image_rows[rows[(ch, gi)]] = grids[r][k][gi]
        ax = fig.add_subplot(grid[0, 3 * k], sharex=first, sharey=first)
        phase = unit == "degrees"
        image = _heat(ax, np, image_rows, PHASE_CMAP if phase else "viridis", None, fig,
                      limits=(0, 360) if phase else (None, None))
        for r in range(1, len(chans)):
            ax.axhline(r * g - 0.5, color="white", linewidth=2)
        ax.set_title(name, fontsize="medium")
        ax.set_xlabel("phase (degrees)")
        if first is None:
            first = ax
            _ticks(ax, "x", ["%g" % p for p in phases], most=5)
            ax.set_yticks([rows[(ch, gi)] for ch in chans for gi in ticks])
            ax.set_yticklabels(["%g" % gains[gi] for ch in chans for gi in ticks],
                               fontsize="small")
            ax.set_ylabel("gain (dB), per channel", labelpad=26)
            to_data = blended_transform_factory(ax.transAxes, ax.transData)
            for r, ch in enumerate(chans):
                ax.text(-0.2, r * g + (g - 1) / 2, "ch %d" % ch, transform=to_data,
                        rotation=90, ha="center", va="center", fontsize="small")
        else:
            ax.tick_params(labelleft=False)
        bar = fig.colorbar(image, cax=fig.add_subplot(grid[0, 3 * k + 1], label="<colorbar>"))
        bar.set_label("%s (%s)" % (name, unit) if unit else name)
    fig.suptitle(_cali_title(cali, "ComData %s %s chip %d %s" % (path[0], mode.name, chip, step)))
    return fig


# --- beam tables -------------------------------------------------------------------------------


def _beam_title(beam, what):
    table = beam._BeamTable or {}
    kit = table.get("AAKIT_NAME") or ""
    freq = table.get("FREQ")
    parts = [str(table.get("SN", "?"))]
    if _number(freq) is not None:
        parts.append("%s GHz" % _freq_text(freq))
    parts.append("kit %s" % kit if kit else "no kit")
    return "%s: %s" % (", ".join(parts), what)


def _index(key, prefix):
    return int(key[len(prefix):]) if key.startswith(prefix) and key[len(prefix):].isdigit() else None


def channel_grid(channel_config):
    """(groups, channels, db, deg, sw, common) of a CHANNEL beam's "channel_config": group
    numbers and channel numbers in order, then groups x channels lists (NaN where a channel
    is missing) and the per-group common_db (NaN when null)."""
    nan = float("nan")
    groups = sorted(k for k in (_index(g, "board_") for g in channel_config) if k is not None)
    channels = sorted({
        n for g in channel_config.values() if isinstance(g, dict)
        for n in (_index(c, "channel_") for c in g) if n is not None
    })
    db, deg, sw, common = [], [], [], []
    for k in groups:
        group = channel_config["board_%d" % k]
        c = _number(group.get("common_db"))
        common.append(nan if c is None else c)
        rows = ([], [], [])
        for n in channels:
            ch = group.get("channel_%d" % n) or {}
            for row, field in zip(rows, ("db", "deg", "sw")):
                v = _number(ch.get(field))
                row.append(nan if v is None else v)
        db.append(rows[0])
        deg.append(rows[1])
        sw.append(rows[2])
    return groups, channels, db, deg, sw, common


def plot_channel_beam(beam, mode, beam_id):
    """One CHANNEL beam (stored, or the default one an unset id reads as) as the device's
    groups x channels grid of "db" and "deg", with each group's "common_db" beside them and
    switched channels ("sw" other than 0) crossed out."""
    mode = _mode(mode)
    entry = _check(beam.getBeamPattern(mode, beam_id), "beam %s of %s" % (beam_id, mode.name))
    if not isinstance(entry.get("channel_config"), dict):
        raise ValueError("beam %s of %s is not a CHANNEL beam (plot_steering draws BEAM beams)"
                         % (beam_id, mode.name))
    groups, channels, db, deg, sw, common = channel_grid(entry["channel_config"])
    stored = str(beam_id) in ((beam._BeamTable or {}).get(mode.name) or {})
    fig, np = _new_figure(4.0 + 2 * (1.6 + 0.45 * len(channels)), 1.8 + 0.42 * len(groups))
    axes = fig.subplots(1, 3, gridspec_kw={"width_ratios": [1.2, len(channels), len(channels)]})
    panels = (
        (axes[0], [[c] for c in common], "common_db (dB)", "viridis", "common_db"),
        (axes[1], db, "db (dB)", "viridis", "db"),
        (axes[2], deg, "deg (degrees)", PHASE_CMAP, "deg"),
    )
    group_labels = ["board_%d" % k for k in groups]
    small = len(groups) * max(1, len(channels)) <= 128
    for ax, data, label, cmap, title in panels:
        _heat(ax, np, data, cmap, label, fig, values=small)
        ax.set_title(title)
        _ticks(ax, "y", group_labels, most=32)
    axes[0].set_ylabel("channel group")
    axes[0].set_xticks([])
    for ax in axes[1:]:
        _ticks(ax, "x", [str(n) for n in channels], most=16)
        ax.set_xlabel("channel in group (x: sw not 0)")
        off = [(c, r) for r, row in enumerate(sw) for c, v in enumerate(row)
               if v != 0 and not math.isnan(v)]
        if off:
            xs, ys = zip(*off)
            # Below the cell's centre, clear of the value written above it.
            ax.plot(xs, [y + 0.22 for y in ys], "x", color="black", markersize=8,
                    markeredgewidth=2)
    text = "%s beam %s (CHANNEL%s)" % (mode.name, beam_id, "" if stored else ", default: not stored")
    description = entry.get("beam_description")
    if description:
        text += ": " + str(description)
    fig.suptitle(_beam_title(beam, text))
    return fig


def _steered_beams(beam, mode):
    out = []
    for beam_id, entry in ((beam._BeamTable or {}).get(mode.name) or {}).items():
        if not isinstance(entry, dict) or entry.get("beam_type") != BeamType.BEAM.value:
            continue
        config = entry.get("beam_config") or {}
        values = [_number(config.get(k)) for k in ("theta", "phi", "db")]
        if None not in values:
            out.append((beam_id, *values))
    return out


def plot_steering(beam, mode, highlight=None):
    """Every stored BEAM beam of `mode` at its steering angles (theta, phi), coloured by its
    gain "db"; the id `highlight`, when given, is ringed."""
    mode = _mode(mode)
    beams = _steered_beams(beam, mode)
    fig, np = _new_figure(7.0, 5.5)
    ax = fig.subplots()
    if beams:
        ids, theta, phi, db = zip(*beams)
        points = ax.scatter(theta, phi, c=db, cmap="viridis", s=60, edgecolors="black")
        bar = fig.colorbar(points, ax=ax)
        bar.set_label("db (dB)")
        for i, t, p in zip(ids, theta, phi):
            ax.annotate(i, (t, p), textcoords="offset points", xytext=(6, 6), fontsize="small")
        if highlight is not None and str(highlight) in ids:
            j = ids.index(str(highlight))
            ax.scatter([theta[j]], [phi[j]], s=260, facecolors="none", edgecolors="tab:red",
                       linewidths=2, label="beam %s" % highlight)
            ax.legend(loc="best", fontsize="small")
        ax.margins(0.15)
    else:
        ax.text(0.5, 0.5, "no stored BEAM beams in %s" % mode.name, ha="center", va="center",
                transform=ax.transAxes)
    ax.set_xlabel("theta (degrees)")
    ax.set_ylabel("phi (degrees)")
    ax.grid(alpha=0.4)
    fig.suptitle(_beam_title(beam, "%s BEAM beams (%d stored)" % (mode.name, len(beams))))
    return fig


def plot_beam(beam, mode, beam_id):
    """The picture of one beam id: its CHANNEL grid, or for a BEAM beam the steering picture of
    its mode with it ringed."""
    mode = _mode(mode)
    entry = _check(beam.getBeamPattern(mode, beam_id), "beam %s of %s" % (beam_id, mode.name))
    if isinstance(entry.get("channel_config"), dict):
        return plot_channel_beam(beam, mode, beam_id)
    return plot_steering(beam, mode, highlight=beam_id)


BEAM_ID_KINDS = ("not stored", "BEAM", "CHANNEL")


def beam_id_kinds(beam):
    """Per RF mode (rows) and beam id 1..num_beam (columns): 0 not stored, 1 a stored BEAM
    beam, 2 a stored CHANNEL beam."""
    num_beam = _check(beam.getBeamIdStorage(), "beam id count")
    table = beam._BeamTable or {}
    rows = []
    for mode in RFMode:
        stored = table.get(mode.name) or {}
        row = []
        for i in range(1, num_beam + 1):
            entry = stored.get(str(i))
            if not isinstance(entry, dict):
                row.append(0)
            else:
                row.append(1 if entry.get("beam_type") == BeamType.BEAM.value else 2)
        rows.append(row)
    return rows


def plot_beam_ids(beam):
    """Which beam ids hold a stored pattern, per RF mode, and of which type."""
    from matplotlib.colors import BoundaryNorm, ListedColormap

    rows = beam_id_kinds(beam)
    num_beam = len(rows[0]) if rows else 0
    fig, np = _new_figure(max(6.0, 2.5 + 0.14 * num_beam), 1.6 + 0.55 * len(rows))
    ax = fig.subplots()
    cmap = ListedColormap(["0.9", "tab:orange", "tab:blue"])
    norm = BoundaryNorm([-0.5, 0.5, 1.5, 2.5], cmap.N)
    image = ax.imshow(np.asarray(rows), cmap=cmap, norm=norm, aspect="auto",
                      interpolation="nearest")
    bar = fig.colorbar(image, ax=ax, ticks=[0, 1, 2])
    bar.ax.set_yticklabels(BEAM_ID_KINDS)
    bar.set_label("stored pattern")
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([m.name for m in RFMode])
    _ticks(ax, "x", [str(i) for i in range(1, num_beam + 1)], most=16)
    ax.set_xlabel("beam id")
    counts = ", ".join("%s %d" % (m.name, sum(1 for v in r if v)) for m, r in zip(RFMode, rows))
    fig.suptitle(_beam_title(beam, "stored beam ids (%s of %d)" % (counts, num_beam)))
    return fig


# --- kits --------------------------------------------------------------------------------------


def _pair_text(pair):
    try:
        return "%g..%g" % (float(pair[0]), float(pair[1]))
    except (TypeError, ValueError, IndexError, KeyError):
        return "?"


def plot_kit(kits, name):
    """One kit's per-channel phase-offset steps, one panel per RF mode (one bar series per
    polarization for per-polarization offsets); spacing and steering ranges in the title."""
    record = _check(kits.getAAKitInfo(name), "kit %s" % name)
    fields = [f for f in ("OFFSET_TX", "OFFSET_RX") if f in record]
    if not fields:
        raise ValueError("kit %s has no offsets" % name)
    # Offsets are a list per channel, or one such list per polarization.
    per_field = {f: record[f] if isinstance(record[f], dict) else {None: record[f]}
                 for f in fields}
    longest = max(len(v) for series in per_field.values() for v in series.values())
    fig, np = _new_figure(max(6.0, 2.0 + 0.3 * longest), 1.2 + 2.4 * len(fields))
    axes = fig.subplots(len(fields), 1, squeeze=False, sharex=True)[:, 0]
    for ax, field in zip(axes, fields):
        series = per_field[field]
        width = 0.8 / len(series)
        for k, (pol, values) in enumerate(series.items()):
            x = np.arange(1, len(values) + 1) - 0.4 + width * (k + 0.5)
            ax.bar(x, [float(v) for v in values], width=width, label=pol)
        if len(series) > 1:
            ax.legend(fontsize="small")
        ax.set_title(field)
        ax.set_ylabel("offset (steps)")
        ax.grid(axis="y", alpha=0.4)
    axes[-1].set_xlabel("antenna channel")
    axes[-1].set_xticks(range(1, longest + 1, max(1, math.ceil(longest / 32))))
    spacing = record.get("SPACING")
    kind = {0: "official", 1: "custom"}.get(record.get("TYPE"), "type %s" % record.get("TYPE"))
    fig.suptitle(
        "Kit %s (%s)\nspacing %s, steering H %s degrees, V %s degrees"
        % (name, kind, " x ".join("%g" % float(s) for s in spacing) if spacing else "?",
           _pair_text(record.get("STEERING_H")), _pair_text(record.get("STEERING_V")))
    )
    return fig


# --- differences of two tables ----------------------------------------------------------------


# Cells of a difference map that show no difference beyond the tolerance: compared and within
# it, or with points that only one table holds.
_WITHIN_COLOUR, _MISSING_COLOUR = "#cfe3c7", "#8c8c8c"


def _diff_columns(diff):
    """Boards and (chip, channel) columns of the whole grid of the device: the larger layout of
    the two tables, widened by any channel the differences name."""
    known = [l for l in ((diff.get("layout") or {}).get(k) for k in ("a", "b")) if l]
    boards, chips, channels = ([max(l[k] for l in known) for k in range(3)] if known
                               else (1, 1, 1))
    items = (diff.get("largest") or []) + (diff.get("channels") or [])
    boards = max([boards] + [i["board"] for i in items])
    columns = {(c, ch) for c in range(1, chips + 1) for ch in range(1, channels + 1)}
    columns |= {(i["chip"], i["channel"]) for i in items}
    return boards, sorted(columns)


def _diff_states(diff, np, mode, boards, where):
    """0 where every point of a channel is in both tables, 1 where some are in one only, NaN
    where neither table has the channel."""
    states = np.full((boards, len(where)), np.nan)
    for c in diff.get("channels") or []:
        if c["mode"] == mode.name:
            states[c["board"] - 1, where[(c["chip"], c["channel"])]] = 1 if c["missing"] else 0
    return states


def _diff_panel(ax, np, fig, states, grid, unit):
    import matplotlib
    from matplotlib.colors import ListedColormap

    background = ListedColormap([_WITHIN_COLOUR, _MISSING_COLOUR])
    ax.imshow(np.ma.masked_invalid(states), cmap=background, vmin=0, vmax=1, aspect="auto",
              interpolation="nearest")
    if np.isnan(grid).all():
        return  # no colour bar on a panel without a difference beyond the tolerance
    cm = matplotlib.colormaps["magma_r"].copy()
    cm.set_bad(alpha=0)
    image = ax.imshow(np.ma.masked_invalid(grid), cmap=cm, aspect="auto",
                      interpolation="nearest")
    fig.colorbar(image, ax=ax, shrink=0.9).set_label("largest difference (%s)" % unit)


def plot_diff(diff):
    """The largest ComData difference per board and channel of two tables, from `vlntable cali
    diff --plot` (the document of `--json` with "channels", what each channel showed): one
    map per RF mode (rows) and ComData field (columns) over the device's whole grid, boards
    against chip-and-channel. Differences beyond the tolerance are coloured; channels within
    it and channels with points only one table holds have their own shades; channels neither
    table has stay blank."""
    from matplotlib.patches import Patch

    items = diff.get("largest") or []
    fig, np = _new_figure(3.2 * len(COMDATA_FIELDS) + 1.0, 2.0 + 2.2 * len(RFMode))
    axes = fig.subplots(len(RFMode), len(COMDATA_FIELDS), squeeze=False)
    boards, columns = _diff_columns(diff)
    where = {c: k for k, c in enumerate(columns)}
    for r, mode in enumerate(RFMode):
        states = _diff_states(diff, np, mode, boards, where)
        for k, (field, unit) in enumerate(COMDATA_FIELDS):
            grid = np.full((boards, len(columns)), np.nan)
            for i in items:
                if i["mode"] == mode.name and i["field"] == field:
                    grid[i["board"] - 1, where[(i["chip"], i["channel"])]] = i["difference"]
            ax = axes[r, k]
            _diff_panel(ax, np, fig, states, grid, unit)
            ax.set_title("%s %s" % (mode.name, field), fontsize="medium")
            ax.set_xlabel("chip.channel")
            ax.set_ylabel("board")
            _ticks(ax, "x", ["%d.%d" % c for c in columns], most=8)
            _ticks(ax, "y", [str(b) for b in range(1, boards + 1)], most=16)
    fig.legend(handles=[Patch(color=_WITHIN_COLOUR, label="within the tolerance"),
                        Patch(color=_MISSING_COLOUR, label="points only one table has")],
               loc="lower center", ncol=2, fontsize="small")
    fig.get_layout_engine().set(rect=(0, 0.05, 1, 0.95))  # room for the legend below
    tolerances = diff.get("tolerances") or {}
    tolerance = (", ".join("%g %s" % (v, u) for u, v in tolerances.items()) if tolerances
                 else "%g" % diff.get("tolerance", 0))
    fig.suptitle("Largest ComData differences (tolerance %s)\nA %s\nB %s"
                 % (tolerance, diff.get("a", "?"), diff.get("b", "?")), fontsize="medium")
    return fig


# --- files and the command line ----------------------------------------------------------------


def save_figure(fig, path):
    """Writes `fig` to `path` (format from the extension: .png, .svg, .pdf) through a temporary
    file in the same directory, so a failed write leaves an earlier picture in place."""
    path = os.fspath(path)
    directory, base = os.path.split(os.path.abspath(path))
    fmt = os.path.splitext(base)[1].lstrip(".").lower()
    if not fmt:
        raise ValueError("%s: the file name needs an extension such as .png or .svg" % path)
    tmp = os.path.join(directory, ".%s.%d.tmp" % (base, os.getpid()))
    try:
        fig.savefig(tmp, format=fmt, dpi=100)
        os.replace(tmp, path)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.remove(tmp)


def _layout(text):
    parts = text.split(",")
    try:
        values = tuple(int(p) for p in parts)
    except ValueError:
        values = ()
    if len(values) != 3 or min(values) < 1:
        raise argparse.ArgumentTypeError("BOARDS,ICS,CHANNELS: three positive integers")
    try:
        return tuple(_arvcore.checked_layout(values))
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e))


def _freq(text):
    try:
        return int(text)
    except ValueError:
        try:
            return float(text)
        except ValueError:
            raise argparse.ArgumentTypeError("a frequency in GHz, not %r" % text)


def _parser():
    p = argparse.ArgumentParser(prog="python3 -m arvcore.plot",
                                description="Draw one picture of a table into --out.")
    sub = p.add_subparsers(dest="table", required=True)

    def common(cmd):
        cmd.add_argument("--out", required=True, help="picture file: .png, .svg or .pdf")
        cmd.add_argument("--files", help="data directory (default: $ARVCORE_FILES_DIR, else ./files)")

    cali = sub.add_parser("cali", help="calibration table of SN at FREQ")
    cali.add_argument("sn")
    cali.add_argument("freq", type=_freq)
    common(cali)
    cali.add_argument("--layout", type=_layout, default=(4, 1, 4))
    cali.add_argument("--what", choices=("ranges", "offsets", "tc", "comdata"), default="ranges")
    cali.add_argument("--mode", default="TX")
    cali.add_argument("--board", type=int, default=1)
    cali.add_argument("--chip", type=int, default=1)
    cali.add_argument("--step", default="1")
    cali.add_argument("--channel", type=lambda t: [int(c) for c in t.split(",")])

    beam = sub.add_parser("beam", help="beam table of SN at FREQ")
    beam.add_argument("sn")
    beam.add_argument("freq", type=_freq)
    common(beam)
    beam.add_argument("--layout", type=_layout, default=(4, 1, 4))
    beam.add_argument("--kit", default="")
    beam.add_argument("--beams", type=int, default=64)
    beam.add_argument("--devtype", type=int, default=9)
    beam.add_argument("--what", choices=("beam", "steering", "ids"), default="beam")
    beam.add_argument("--mode", default="TX")
    beam.add_argument("--id", type=int, dest="beam_id")

    kit = sub.add_parser("kit", help="one antenna kit")
    kit.add_argument("name")
    common(kit)
    kit.add_argument("--devtype", type=int, default=9)
    kit.add_argument("--channels", type=int, default=16)
    kit.add_argument("--polar", type=int, default=1)
    kit.add_argument("--support", type=lambda t: [int(c) for c in t.split(",")])

    diff = sub.add_parser("diff", help="largest differences of two tables (vlntable cali diff)")
    diff.add_argument("json_file", help="the document vlntable cali diff --plot writes")
    diff.add_argument("--out", required=True, help="picture file: .png, .svg or .pdf")
    return p


def _draw(a):
    if a.table == "diff":
        import json

        with open(a.json_file, encoding="utf-8") as f:
            return plot_diff(json.load(f))
    if a.table == "cali":
        cali = open_calibration(a.files, a.sn, a.freq, a.layout)
        if a.what == "comdata":
            return plot_comdata(cali, a.board, a.mode, a.chip, a.step, a.channel)
        return {"ranges": plot_ranges, "offsets": plot_offsets, "tc": plot_tc}[a.what](cali)
    if a.table == "beam":
        beam = open_beam_table(a.files, a.sn, a.freq, a.kit, a.layout, a.beams, a.devtype)
        if a.what == "ids":
            return plot_beam_ids(beam)
        if a.what == "steering":
            return plot_steering(beam, a.mode, a.beam_id)
        if a.beam_id is None:
            raise ValueError("--id N names the beam to draw (or --what steering|ids)")
        return plot_beam(beam, a.mode, a.beam_id)
    kits = open_kits(a.files, a.devtype, a.channels, a.polar, a.support)
    return plot_kit(kits, a.name)


def _printable(text):
    """`text` fit for a terminal, escaped as every `vlntable` output is: a serial number or
    file name can neither forge a line nor drive the terminal."""
    return _arvcore.printable(str(text).encode("utf-8", "surrogateescape"))


class _PrintableFormatter(logging.Formatter):
    """Log records on the terminal escaped as the messages are."""

    def format(self, record):
        return _printable(super().format(record))


def main(argv=None):
    """`python3 -m arvcore.plot ...`: draws one picture; exit status 0, or 1 with a message."""
    a = _parser().parse_args(argv)
    try:
        save_figure(_draw(a), a.out)
    except KeyError as e:
        print("error: the table has no entry %r" % (e.args[0] if e.args else None),
              file=sys.stderr)
        return 1
    except (ImportError, ValueError, OSError) as e:
        print("error: %s" % _printable(e), file=sys.stderr)
        return 1
    print("wrote %s" % _printable(a.out), file=sys.stderr)
    return 0


def _log_to_terminal():
    """The command's log records go where they would without a handler (warnings and above,
    on standard error), escaped."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_PrintableFormatter())
    handler.setLevel(logging.WARNING)
    logging.getLogger().addHandler(handler)


if __name__ == "__main__":
    _log_to_terminal()
    sys.exit(main())
