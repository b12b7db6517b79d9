"""Turns the measurements of a bench run into the Markdown table and the gap plots."""

import os
import statistics
import subprocess

import sim_record

TRANSFERS = ("read", "write 0", "write 255")
RUNNERS = ("program", "bare")
# The gaps worth seeing are the few milliseconds of the poll; rare stalls would squash them.
PLOT_CEILING_MS = 8


def spread(values, digits=3, unit=""):
    """Median with min..max, e.g. "1.062 (1.058..1.070)"; "n/a" when nothing was measured."""
    values = [v for v in values if v is not None]
    if not values:
        return "n/a"
    fmt = f"{{:.{digits}f}}"
    median = fmt.format(statistics.median(values)) + unit
    if len(values) == 1:
        return median
    return f"{median} ({fmt.format(min(values))}..{fmt.format(max(values))})"


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def transfer_figures(transfer, cpu):
    """The figures of one measured transfer: from its record, and the CPU sampled around it."""
    gaps = sim_record.gap_summary(transfer)
    return {
        "wall": transfer.wall_seconds,
        "limit": transfer.limit_seconds,
        "line_bytes": transfer.line_bytes,
        "ratio_limit": transfer.wall_seconds / transfer.limit_seconds,
        "gap_median": gaps["median"],
        "gap_p99": gaps["p99"],
        "gap_max": gaps["max"],
        "cpu_process": cpu.get("process"),
        "cpu_wineserver": cpu.get("wineserver"),
        "gaps": transfer.gaps_ms(),
    }


def _column(runs, transfer, runner, key):
    return [run[transfer][runner][key] for run in runs if transfer in run and runner in run[transfer]]


def _ratios(runs, transfer, key):
    """Program / bare loop within each run."""
    out = []
    for run in runs:
        pair = run.get(transfer, {})
        if "program" in pair and "bare" in pair:
            p, b = pair["program"][key], pair["bare"][key]
            out.append(p / b if p is not None and b else None)
    return out


def _differences(runs, transfer, key):
    out = []
    for run in runs:
        pair = run.get(transfer, {})
        if "program" in pair and "bare" in pair:
            out.append(pair["program"][key] - pair["bare"][key])
    return out


def _cpu_total(figures):
    if figures["cpu_process"] is None or figures["cpu_wineserver"] is None:
        return None
    return figures["cpu_process"] + figures["cpu_wineserver"]


def markdown(conditions, runs, startup, memory, targets_extra=None):
    lines = ["# Transfer benchmark", ""]
    lines += ["## Conditions", ""]
    for key, value in conditions.items():
        lines.append(f"- {key}: {value}")
    lines += ["", f"Each figure: median of {len(runs)} runs, (min..max) across them.", ""]

    lines += ["## Transfers (simulator paced at 9600 baud)", ""]
    lines.append(
        "| Transfer | Runner | Wall s | Line limit s (bytes) | Wall / limit | Program / bare |"
        " Gap median ms | Gap p99 ms | Gap max ms | CPU s/s process | CPU s/s wineserver |"
        " CPU s/s both |"
    )
    lines.append("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for transfer in TRANSFERS:
        for runner in RUNNERS:
            col = lambda key: _column(runs, transfer, runner, key)  # noqa: E731
            if not col("wall"):
                continue
            ratio = spread(_ratios(runs, transfer, "wall"), 4) if runner == "program" else ""
            limit = f"{median(col('limit')):.3f} ({int(median(col('line_bytes')))})"
            totals = [
                _cpu_total(run[transfer][runner])
                for run in runs
                if transfer in run and runner in run[transfer]
            ]
            lines.append(
                f"| {transfer} | {runner} | {spread(col('wall'))} | {limit} |"
                f" {spread(col('ratio_limit'), 4)} | {ratio} | {spread(col('gap_median'))} |"
                f" {spread(col('gap_p99'))} | {spread(col('gap_max'))} |"
                f" {spread(col('cpu_process'), 4)} | {spread(col('cpu_wineserver'), 4)} |"
                f" {spread(totals, 4)} |"
            )
    lines.append("")

    lines += ["## Start-up (all 99 COM names probed: COM1 a simulator, COM2..COM99 empty)", ""]
    lines.append("| From | To | ms |")
    lines.append("|---|---|---|")
    for label, key in (
        ("process creation (Wine, GetProcessTimes)", "wine_created_to_window"),
        ("process creation (Wine, GetProcessTimes)", "wine_created_to_entry"),
        ("process creation (Linux, /proc starttime, 10 ms ticks)", "linux_created_to_entry"),
        ("the launch command", "command_to_entry"),
    ):
        target = "the main window" if key.endswith("window") else '" Start program" in the log'
        lines.append(f"| {label} | {target} | {spread(startup.get(key, []), 1)} |")
    lines.append(f"\n{len(startup.get('wine_created_to_entry', []))} launches.\n")

    lines += ["## Memory and size", ""]
    lines.append("| Figure | Value |")
    lines.append("|---|---|")
    for label, value in memory.items():
        if label.startswith("_"):
            continue
        lines.append(f"| {label} | {value} |")
    lines.append("")

    lines += ["## Targets", ""]
    lines.append("| Target | Measured (median of runs; worst) | Met |")
    lines.append("|---|---|---|")
    for row in targets(runs, startup, memory) + (targets_extra or []):
        lines.append(f"| {row[0]} | {row[1]} | {'yes' if row[2] else 'NO'} |")
    lines.append("")
    return "\n".join(lines)


def targets(runs, startup, memory):
    rows = []
    for transfer in TRANSFERS:
        ratios = [r for r in _ratios(runs, transfer, "wall") if r is not None]
        if ratios:
            rows.append(
                (
                    f"{transfer}: program within 1.01 x bare loop",
                    f"{statistics.median(ratios):.4f}; {max(ratios):.4f}",
                    max(ratios) <= 1.01,
                )
            )
    for transfer in TRANSFERS:
        diffs = _differences(runs, transfer, "gap_p99")
        if diffs:
            rows.append(
                (
                    f"{transfer}: p99 gap within 2 ms of bare loop's",
                    f"{statistics.median(diffs):+.3f} ms; {max(diffs):+.3f} ms",
                    max(diffs) <= 2.0,
                )
            )
    for transfer in TRANSFERS:
        for key, what in (("cpu_process", "process"), ("cpu_both", "process + wineserver")):
            ratios = []
            for run in runs:
                pair = run.get(transfer, {})
                if "program" not in pair or "bare" not in pair:
                    continue
                p = pair["program"]
                b = pair["bare"]
                pv = _cpu_total(p) if key == "cpu_both" else p["cpu_process"]
                bv = _cpu_total(b) if key == "cpu_both" else b["cpu_process"]
                if pv is not None and bv:
                    ratios.append(pv / bv)
            if ratios:
                rows.append(
                    (
                        f"{transfer}: CPU/s ({what}) within 1.25 x bare loop",
                        f"{statistics.median(ratios):.3f}; {max(ratios):.3f}",
                        max(ratios) <= 1.25,
                    )
                )
    entry = startup.get("wine_created_to_entry", [])
    if entry:
        rows.append(
            (
                'start-up under 150 ms (creation to " Start program")',
                f"{statistics.median(entry):.1f} ms; {max(entry):.1f} ms",
                statistics.median(entry) < 150,
            )
        )
    if "exe_bytes" in memory.get("_raw", {}):
        raw = memory["_raw"]
        rows.append(
            (
                "exe under 1 MiB, no DLL of its own",
                f"{raw['exe_bytes']} bytes; own DLLs: {raw['own_dlls'] or 'none'}",
                raw["exe_bytes"] < 1 << 20 and not raw["own_dlls"],
            )
        )
    return rows


def plot(runs, out_dir):
    """Gap per address, program and bare loop overlaid: one panel a read, one a write of 0."""
    run = runs[0]
    data = {}
    for transfer in ("read", "write 0"):
        for runner in RUNNERS:
            figures = run.get(transfer, {}).get(runner)
            if figures is None:
                continue
            name = os.path.join(out_dir, f"gaps-{transfer.replace(' ', '')}-{runner}.dat")
            with open(name, "w", encoding="ascii") as dat:
                for address, gap in enumerate(figures["gaps"], start=1):
                    dat.write(f"{address} {gap:.3f}\n")
            data[(transfer, runner)] = name
    png = os.path.join(out_dir, "gaps.png")
    script = [
        "set terminal pngcairo size 1200,900 noenhanced" if _has_cairo() else "set terminal png size 1200,900",
        f"set output '{png}'",
        "set multiplot layout 2,1",
        "set xlabel 'address (gap before its command)'",
        "set ylabel 'gap ms (reply end to next command)'",
        "set xrange [0:1024]",
        f"set yrange [0:{PLOT_CEILING_MS}]",
        "set grid",
    ]
    for transfer in ("read", "write 0"):
        series = [
            f"'{data[(transfer, r)]}' using 1:2 with points pt 7 ps 0.3 title '{r}'"
            for r in RUNNERS
            if (transfer, r) in data
        ]
        if series:
            above = sum(
                g > PLOT_CEILING_MS
                for r in RUNNERS
                if r in run.get(transfer, {})
                for g in run[transfer][r]["gaps"]
            )
            script.append(
                f"set title 'Per-exchange gap, {transfer} (run 1;"
                f" {above} gaps above {PLOT_CEILING_MS} ms off the scale, see the table)'"
            )
            script.append("plot " + ", ".join(series))
    script.append("unset multiplot")
    subprocess.run(["gnuplot"], input="\n".join(script), text=True, check=True)
    return png


def _has_cairo():
    result = subprocess.run(
        ["gnuplot", "-e", "set terminal"], capture_output=True, text=True, check=False
    )
    return "pngcairo" in (result.stdout + result.stderr)
