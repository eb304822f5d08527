#!/usr/bin/python3
"""Writes a realistic calibration table {SN}_{FREQ}GHz.csv for a device of any layout.

The table has every row kind the calibration parser reads: the header rows (VER, REALVER, SN,
FCENTER), the total dynamic range DR, per-channel offsets OFFSET_TX/OFFSET_RX, per IC section
COMDR, ELEDR, TEMPADC, TC and COMSTEPDR, then one DATA row per mode, board, chip, channel,
common-arm step, gain and phase, and END last. Values are drawn from a seeded generator, so the
same arguments always give the same file.

Examples:
  scripts/gen_cali.py examples/files --sn D2230E013-28 --freq 28 --com-steps 2 \
      --gain-step 4 --phase-step 45
  scripts/gen_cali.py /tmp/big --layout 4,1,4 --com-steps 8      # about 570,000 DATA rows
"""

import argparse
import os
import random
import sys

MODES = ("TX", "RX")


def number_text(x):
    """28 -> "28", 27.5 -> "27.5": how frequencies appear in file names and FCENTER."""
    return str(int(x)) if float(x).is_integer() else repr(float(x))


def frange(start, stop, step):
    """start, start+step, ... up to and including stop (within rounding)."""
    n = int((stop - start) / step + 1e-9)
    return [round(start + i * step, 6) for i in range(n + 1)]


def section_rows(rng, mode, section, com_steps, gain_min, gain_max):
    """COMDR, ELEDR and COMSTEPDR rows of one IC section and mode."""
    span = gain_max - gain_min
    low = gain_min + rng.choice((-1.0, -0.5, 0.0))
    high = gain_max + rng.choice((0.0, 0.5, 1.0))
    rows = [
        f"COMDR,{mode},BOARD,{section},RANGE,{low:.1f},{high:.1f},,",
        f"ELEDR,{mode},BOARD,{section},RANGE,{rng.choice((6.5, 7.0, 7.5)):.1f}",
    ]
    # Each common-arm step covers an overlapping slice of the common range; its pair is
    # written upper end first, then lower end.
    width = span / max(com_steps, 1)
    for s in range(1, com_steps + 1):
        lo = low + (s - 1) * width - 0.5
        hi = lo + width + 1.0
        rows.append(f"COMSTEPDR,{mode},BOARD,{section},STEP,COM,{s},HIGH,{hi:.2f},LOW,{lo:.2f}")
    return rows


def write_table(path, sn, freq, boards, ics, channels, com_steps, gains, phases, seed):
    rng = random.Random(seed)
    sections = boards * ics
    with open(path, "w", encoding="utf-8", newline="") as out:
        w = out.write
        w("VER,3.0.0\r\n")
        w("REALVER,3.0.2\r\n")
        w(f"SN,{sn}\r\n")
        w(f"FCENTER,{number_text(freq)}\r\n")
        # DR: the pair of the last RF mode (RX) first, then TX.
        w("DR,-15.0,10.0,-12.0,8.0\r\n")
        for mode in MODES:
            offsets = [str(rng.randint(-3, 3)) for _ in range(boards * ics * channels)]
            w(f"OFFSET_{mode}," + ",".join(offsets) + "\r\n")
        for mode in MODES:
            for section in range(1, sections + 1):
                for row in section_rows(rng, mode, section, com_steps, gains[0], gains[-1]):
                    w(row + "\r\n")
        for section in range(1, sections + 1):
            w(f"TEMPADC,TEMP,{section},ADC,{rng.randint(1900, 2200)}\r\n")
            # Temperature-compensation codes: two integers per RF mode.
            w(f"TC,CODE,{section},VAL,{rng.randint(6, 10)},{rng.randint(2, 4)},"
              f"{rng.randint(1, 3)},{rng.randint(9, 12)}\r\n")
        rows = 0
        for mode in MODES:
            for board in range(1, boards + 1):
                for chip in range(1, ics + 1):
                    for ch in range(1, channels + 1):
                        for com in range(1, com_steps + 1):
                            lines = []
                            for gi, gain in enumerate(gains):
                                for phase in phases:
                                    gain_code = gi % 64
                                    phase_code = (phase * 64 // 360) % 64
                                    meas_gain = gain + rng.gauss(0.0, 0.15)
                                    meas_phase = (phase + rng.gauss(0.0, 1.5)) % 360.0
                                    lines.append(
                                        f"DATA,{mode},BOARD,{board},CHIP,{chip},CH,{ch},GAIN,dB,"
                                        f"{gain:.1f},PHASE,{phase},COM,{com},REG,{gain_code},"
                                        f"{phase_code},MEAS,{meas_gain:.3f},{meas_phase:.2f}\r\n")
                            w("".join(lines))
                            rows += len(lines)
        w("END\r\n")
    return rows


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("outdir", help="directory to write the table into (created if missing)")
    p.add_argument("--sn", default="D2230E013-28", help="serial number (default %(default)s)")
    p.add_argument("--freq", type=float, default=28.0, help="frequency in GHz (default 28)")
    p.add_argument("--layout", default="4,1,4",
                   help="BOARDS,ICS,CHANNELS per IC (default %(default)s)")
    p.add_argument("--com-steps", type=int, default=8, help="common-arm steps (default 8)")
    p.add_argument("--gain-min", type=float, default=-8.0, help="lowest gain in dB (default -8)")
    p.add_argument("--gain-max", type=float, default=7.0, help="highest gain in dB (default 7)")
    p.add_argument("--gain-step", type=float, default=0.5, help="gain step in dB (default 0.5)")
    p.add_argument("--phase-step", type=int, default=5, help="phase step in degrees (default 5)")
    p.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    a = p.parse_args(argv)
    try:
        boards, ics, channels = (int(x) for x in a.layout.split(","))
    except ValueError:
        p.error("--layout must be three integers, for example 4,1,4")
    if min(boards, ics, channels, a.com_steps, a.phase_step) < 1 or a.gain_step <= 0:
        p.error("layout numbers, steps and --phase-step must be positive")
    gains = frange(a.gain_min, a.gain_max, a.gain_step)
    phases = list(range(0, 360, a.phase_step))  # the parser reads phases as integers
    os.makedirs(a.outdir, exist_ok=True)
    path = os.path.join(a.outdir, f"{a.sn}_{number_text(a.freq)}GHz.csv")
    rows = write_table(path, a.sn, a.freq, boards, ics, channels, a.com_steps, gains, phases,
                       a.seed)
    print(f"{path}: {rows} DATA rows, {os.path.getsize(path)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
