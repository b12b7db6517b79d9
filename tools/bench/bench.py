"""The transfer benchmark: the program and the bare reference loop against a paced simulator.

Run through tools/bench/run-bench.sh, which builds first. Writes build/bench/results.md and
build/bench/gaps.png and prints the table.
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import harness  # noqa: E402  (the e2e harness: Xvfb, prefix, COM ports, simulator, app, driver)

import linux_process  # noqa: E402
import report  # noqa: E402
import sim_record  # noqa: E402

TITLE = "Quellmark 1.0"
EXE = "quellmark.exe"
BARE = "bare_loop.exe"
# A transfer of 1024 paced exchanges takes some 15 s; a hung one is cut off well after that.
TRANSFER_TIMEOUT = 120
REPLY_BYTES = {"read": 6, "write": 4}


# ---- the Wine session, from the e2e harness -----------------------------------------------------


def open_session(build, out):
    """The harness's private display and prefix, COM1 mapped to the simulators' fixed link."""
    # A fresh work directory: the harness names its files by a counter that starts again in
    # every session, and the sim appends to an existing record.
    shutil.rmtree(os.path.join(out, "work"), ignore_errors=True)
    os.environ.update(
        QM_EXE=os.path.join(build, "win", EXE),
        QM_DRIVER=os.path.join(build, "win", "tests", "e2e", "driver", "qmdriver.exe"),
        QM_TRX_SIM=os.path.join(build, "native", "tools", "trx_sim", "trx_sim"),
        QM_E2E_WORK=os.path.join(out, "work"),
    )
    session = harness.session()
    # One link for every simulator, so one mapping serves them all and a running program can go
    # from one simulator to the next.
    session.bench_link = os.path.join(session.work, "com1")
    session.map_ports({"COM1": session.bench_link})
    return session


def start_sim(session, *args):
    return harness.start_sim("--pty-link", session.bench_link, *args)


class TimedLaunch(harness.App):
    """The app launched with its driver already running, so the driver sees the window and the
    first log entry appear; the harness's own launch starts the driver second."""

    def __init__(self, timeout=60.0):  # pylint: disable=super-init-not-called
        s = harness.session()
        self.session = s
        with s.log_file("driver") as log:
            self.driver = subprocess.Popen(
                ["wine", os.environ["QM_DRIVER"]], env=s.env, cwd=s.work,
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log,
                preexec_fn=harness._die_with_parent)  # noqa: SLF001
        self._replies = harness._LineReader(self.driver.stdout)  # noqa: SLF001
        try:
            self.call("ping", timeout=timeout)
        except harness.HarnessError:
            self._stop_driver()
            raise
        self.launched_at = time.time()
        with s.log_file("app") as log:
            self.proc = subprocess.Popen(
                ["wine", os.environ["QM_EXE"]], env=s.env, cwd=s.work,
                stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                preexec_fn=harness._die_with_parent)  # noqa: SLF001
        s.apps.append(self)
        self.startup = self.call("startup", TITLE, int(timeout * 1000), timeout=timeout + 30)
        self.hwnd, self.pid = None, self.startup["pid"]


LB_GETCOUNT = 0x018B


def wait_entry(app, count, text, timeout=TRANSFER_TIMEOUT):
    """Until the log holds count entries, the last one ending in text. Polls the count alone, so
    a long log costs nothing while it waits."""
    log_list = app.control("LogList")["hwnd"]
    harness.wait_until(lambda: app.call("send", log_list, LB_GETCOUNT, 0, 0)["result"] >= count,
                       timeout, interval=0.05, message=repr(text))
    items = app.log()
    if len(items) != count or not items[-1].endswith(text):
        raise RuntimeError(f"log entry {len(items)} is {items[-1]!r}, wanted {text!r}")


def run_wine(session, argv):
    return subprocess.Popen(["wine"] + argv, env=session.env, cwd=session.work,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                            preexec_fn=harness._die_with_parent)  # noqa: SLF001


def conditions(build):
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True, check=False)
    with open("/proc/loadavg", encoding="ascii") as loadavg:
        load = " ".join(loadavg.read().split()[:3])
    cpu = "unknown"
    with open("/proc/cpuinfo", encoding="ascii", errors="replace") as info:
        for line in info:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "nproc": os.cpu_count(),
        "CPU": cpu,
        "load average (1, 5, 15 min) at start": load,
        "kernel": platform.release(),
        "Wine": wine.stdout.strip() or "unknown",
        "build": build,
    }


class Transfer:
    """Waits on the sim's record for one transfer and samples CPU at its first and last byte."""

    def __init__(self, tail, kind, pids):
        # pids: label -> Linux pid; may be filled in after the runner has been started.
        self.tail = tail
        self.kind = kind
        self.pids = pids
        tail.poll()
        self.commands = tail.commands
        self.tx_bytes = tail.tx_bytes

    def measure(self):
        started = self.tail.wait(lambda t: t.commands > self.commands, TRANSFER_TIMEOUT)
        if not started:
            raise RuntimeError(f"{self.kind}: no command reached the simulator")
        first = linux_process.CpuSample(self.pids)
        last_commands = self.commands + sim_record.SETTINGS
        last_bytes = self.tx_bytes + sim_record.SETTINGS * REPLY_BYTES[self.kind]
        done = self.tail.wait(
            lambda t: t.commands >= last_commands and t.tx_bytes >= last_bytes, TRANSFER_TIMEOUT
        )
        last = linux_process.CpuSample(self.pids)
        if not done:
            raise RuntimeError(f"{self.kind}: the simulator saw {self.tail.commands} commands")
        return {label: first.per_second(last, label) for label in self.pids}


def figures_of(record, index, cpu):
    transfers = sim_record.load(record)
    if len(transfers) <= index:
        raise RuntimeError(f"{record}: {len(transfers)} complete transfers, wanted {index + 1}")
    return report.transfer_figures(transfers[index], cpu)


def runner_pids(session, name):
    return {
        "process": linux_process.find(name, session.prefix),
        "wineserver": linux_process.find("wineserver64", session.prefix),
    }


def program_jobs(app, sim, pids, jobs):
    """Clicks each job's button and measures it on the sim's record; returns CPU per label."""
    tail = sim_record.Tail(sim.record_path)
    cpu = {}
    for kind, label in jobs:
        button, entry = ("Read TRX", "TRX reading!") if kind == "read" else ("Write TRX",
                                                                           "TRX writing!")
        transfer = Transfer(tail, kind, pids)
        entries = len(app.log())
        app.click(button)
        cpu[label] = transfer.measure()
        wait_entry(app, entries + 1, entry)
    return cpu


def program_run(session):
    """One program instance: write 0 and read on a zero radio, then read and write 255 on an ff
    one (the write sends back the 255s just read)."""
    zero = start_sim(session, "--paced", "--pattern", "zero")
    app = harness.launch_app()
    pids = runner_pids(session, EXE)
    app.select_port("COM1")
    cpu = program_jobs(app, zero, pids, (("write", "write 0"), ("read", "read")))
    zero.stop()
    ff = start_sim(session, "--paced", "--pattern", "ff")
    cpu.update(program_jobs(app, ff, pids, (("read", "read ff"), ("write", "write 255"))))
    facts = app.process_stats()
    hwm = linux_process.status_kib(pids["process"], "VmHWM")
    facts["rss_anon_kib"] = linux_process.status_kib(pids["process"], "RssAnon")
    app.close()
    app.wait_exit()
    ff.stop()
    measured = {
        "write 0": figures_of(zero.record_path, 0, cpu["write 0"]),
        "read": figures_of(zero.record_path, 1, cpu["read"]),
        "write 255": figures_of(ff.record_path, 1, cpu["write 255"]),
    }
    return measured, facts, hwm


def bare_run(session, bare_exe):
    """The reference loop on one radio: a read, a write of 0, a write of 255."""
    sim = start_sim(session, "--paced", "--pattern", "zero")
    tail = sim_record.Tail(sim.record_path)
    measured = {}
    hwm = 0
    jobs = (("read", ["read"], "read"), ("write", ["write", "0"], "write 0"),
            ("write", ["write", "255"], "write 255"))
    for index, (kind, args, label) in enumerate(jobs):
        transfer = Transfer(tail, kind, {})
        process = run_wine(session, [bare_exe, "COM1"] + args)
        try:
            transfer.pids = runner_pids(session, BARE)
            cpu = transfer.measure()
            hwm = max(hwm, linux_process.status_kib(transfer.pids["process"], "VmHWM") or 0)
            output, _ = process.communicate(timeout=60)
        finally:
            harness._stop_process(process)  # noqa: SLF001
        if process.returncode != 0:
            raise RuntimeError(f"bare loop {args} ended with {process.returncode}")
        total = 0 if kind == "read" else int(args[1]) * sim_record.SETTINGS
        if f"{kind} 1024 sum {total}" not in output:
            raise RuntimeError(f"bare loop {args} said {output!r}")
        measured[label] = figures_of(sim.record_path, index, cpu)
    sim.stop()
    return measured, hwm


def startup_run(session, startup):
    """One launch, the driver watching: creation to window and to the first log entry."""
    sim = start_sim(session, "--pattern", "zero")
    app = TimedLaunch()
    seen = app.startup
    created_linux = linux_process.created_unix(linux_process.find(EXE, session.prefix))
    app.close()
    app.wait_exit()
    sim.stop()
    if not seen["first_entry"].endswith(" Start program"):
        raise RuntimeError(f"first log entry is {seen['first_entry']!r}")
    entry, window, created = (seen[k] / 1e6 for k in ("entry_us", "window_us", "created_us"))
    startup.setdefault("wine_created_to_window", []).append((window - created) * 1000)
    startup.setdefault("wine_created_to_entry", []).append((entry - created) * 1000)
    startup.setdefault("linux_created_to_entry", []).append((entry - created_linux) * 1000)
    startup.setdefault("command_to_entry", []).append((entry - app.launched_at) * 1000)


def own_dlls(exe, prefix):
    """DLLs the exe imports that are not the system's own (none, for a static build)."""
    dump = subprocess.run(
        ["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True, check=True
    ).stdout
    imports = sorted({line.split(":", 1)[1].strip() for line in dump.splitlines()
                      if "DLL Name:" in line})
    system32 = os.path.join(prefix, "drive_c", "windows", "system32")
    present = {name.lower() for name in os.listdir(system32)}
    beside = [n for n in os.listdir(os.path.dirname(exe)) if n.lower().endswith(".dll")]
    return imports, [n for n in imports if n.lower() not in present] + beside


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--out", default=None)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--launches", type=int, default=5, help="start-up measurements")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    out = os.path.abspath(args.out or os.path.join(args.build, "bench"))
    os.makedirs(out, exist_ok=True)
    for name in os.listdir(out):
        if name.endswith(".dat"):
            os.remove(os.path.join(out, name))
    exe = os.path.join(args.build, "win", EXE)
    bare_exe = os.path.join(args.build, "win", "tools", "bench", BARE)

    facts = conditions(args.build)
    runs = []
    startup = {}
    peaks = {"program": [], "program_hwm": [], "bare": []}
    private = []
    handles = []
    session = open_session(args.build, out)
    for run in range(1, args.runs + 1):
        print(f"run {run}/{args.runs}: program", flush=True)
        program, app_facts, app_hwm = program_run(session)
        print(f"run {run}/{args.runs}: bare loop", flush=True)
        bare, bare_hwm = bare_run(session, bare_exe)
        runs.append({t: {"program": program[t], "bare": bare[t]} for t in report.TRANSFERS})
        peaks["program"].append(app_facts["peak_working_set"] / 1024)
        private.append(app_facts["rss_anon_kib"])
        handles.append(app_facts["system_handles"])
        peaks["program_hwm"].append(app_hwm)
        peaks["bare"].append(bare_hwm)
    for launch in range(1, args.launches + 1):
        print(f"start-up {launch}/{args.launches}", flush=True)
        startup_run(session, startup)
    imports, own = own_dlls(exe, session.prefix)
    session.close()

    with open("/proc/loadavg", encoding="ascii") as loadavg:
        facts["load average at end"] = " ".join(loadavg.read().split()[:3])
    exe_bytes = os.path.getsize(exe)
    memory = {
        "program peak working set (GetProcessMemoryInfo), KiB": report.spread(peaks["program"], 0),
        "program peak RSS (Linux VmHWM), KiB": report.spread(peaks["program_hwm"], 0),
        "program anonymous memory after the transfers (Linux RssAnon; Wine reports no private"
        " bytes for another process), KiB": report.spread(private, 0),
        "program handles after the transfers (system handle table)": report.spread(handles, 0),
        "bare loop peak RSS (Linux VmHWM), KiB": report.spread(peaks["bare"], 0),
        "quellmark.exe size": f"{exe_bytes} bytes ({exe_bytes / 1024:.0f} KiB)",
        "quellmark.exe imports": ", ".join(imports),
        "_raw": {"exe_bytes": exe_bytes, "own_dlls": own},
    }
    table = report.markdown(facts, runs, startup, memory)
    png = report.plot(runs, out)
    table += f"\nGap plot: {png}\n"
    with open(os.path.join(out, "results.md"), "w", encoding="utf-8") as results:
        results.write(table)
    with open(os.path.join(out, "results.json"), "w", encoding="utf-8") as raw:
        json.dump({"conditions": facts, "runs": runs, "startup": startup}, raw,
                  default=lambda o: None)
    print(table)


if __name__ == "__main__":
    main()
