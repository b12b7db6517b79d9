"""The soak run: 200 jobs back to back against an unpaced simulator, the program's handles and
memory sampled before, every 50 jobs and after. Writes build/soak/soak.md and prints it."""

import argparse
import os
import time

import bench
import linux_process

JOBS = 200
EVERY = 50
JOB_TIMEOUT = 60


def sample(app, pid, jobs):
    facts = app.process_stats()
    return {
        "jobs": jobs,
        "handles": facts["handles"],
        "system_handles": facts["system_handles"],
        "working_set_kib": facts["working_set"] // 1024,
        "private_bytes_kib": facts["private_bytes"] // 1024,
        "gdi": facts["gdi_objects"],
        "user": facts["user_objects"],
        "rss_anon_kib": linux_process.status_kib(pid, "RssAnon"),
        "vm_data_kib": linux_process.status_kib(pid, "VmData"),
        "threads": len(os.listdir(f"/proc/{pid}/task")),
        "linux_fds": len(os.listdir(f"/proc/{pid}/fd")),
    }


COLUMNS = (
    ("jobs", "Jobs done"),
    ("handles", "Handles (GetProcessHandleCount)"),
    ("system_handles", "Handles (system handle table)"),
    ("working_set_kib", "Working set KiB"),
    ("private_bytes_kib", "Private bytes KiB"),
    ("gdi", "GDI objects"),
    ("user", "USER objects"),
    ("linux_fds", "Linux fds"),
    ("rss_anon_kib", "Linux RssAnon KiB"),
    ("vm_data_kib", "Linux VmData KiB"),
    ("threads", "Linux threads"),
)


def markdown(conditions, samples, seconds):
    lines = ["# Soak run", ""]
    for key, value in conditions.items():
        lines.append(f"- {key}: {value}")
    lines.append(f"- {JOBS} jobs (Read TRX and Write TRX alternating, unpaced simulator) "
                 f"in {seconds:.0f} s")
    lines += ["", "| " + " | ".join(title for _, title in COLUMNS) + " |"]
    lines.append("|" + "---|" * len(COLUMNS))
    for row in samples:
        lines.append("| " + " | ".join(str(row[key]) for key, _ in COLUMNS) + " |")
    first, last = samples[0], samples[-1]
    after_first = samples[1]
    lines += ["", "Growth, last sample minus first (and minus the one after 50 jobs):", ""]
    for key, title in COLUMNS[1:]:
        if first[key] is None or last[key] is None:
            continue
        lines.append(f"- {title}: {last[key] - first[key]:+} ({last[key] - after_first[key]:+})")
    lines.append("")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(bench.ROOT, "build"))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    out = os.path.join(build, "soak")
    os.makedirs(out, exist_ok=True)
    facts = bench.conditions(build)
    samples = []
    session = bench.open_session(build, out)
    sim = bench.start_sim(session, "--pattern", "mix")
    app = bench.harness.launch_app()
    pid = linux_process.find(bench.EXE, session.prefix)
    app.select_port("COM1")
    samples.append(sample(app, pid, 0))
    started = time.monotonic()
    for job in range(1, JOBS + 1):
        button, entry = ("Read TRX", "TRX reading!") if job % 2 else ("Write TRX", "TRX writing!")
        app.click(button)
        bench.wait_entry(app, job + 1, entry, JOB_TIMEOUT)
        if job % EVERY == 0:
            samples.append(sample(app, pid, job))
            print(f"{job} jobs: {samples[-1]}", flush=True)
    seconds = time.monotonic() - started
    app.close()
    app.wait_exit()
    sim.stop()
    session.close()
    table = markdown(facts, samples, seconds)
    with open(os.path.join(out, "soak.md"), "w", encoding="utf-8") as result:
        result.write(table)
    print(table)


if __name__ == "__main__":
    main()
