#!/usr/bin/python3
"""A stand-in for Slurm's sbatch, sacct, squeue, scancel and srun that runs the jobs on this
machine, so that the cohort workflow's Slurm profile can be measured without a cluster: linked
under those names in a folder on PATH, it dispatches on the name it is called by. Jobs run as
soon as the cores they ask for are free (STANDIN_SLURM_CORES, default all); each job's record
in STANDIN_SLURM_DIR holds its state, what it asked for (cores, memory, time) and what it
used: wall and CPU seconds, peak memory (the largest process), and the most files its
processes held open at once, sampled twice a second."""

import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

STATE = Path(os.environ.get("STANDIN_SLURM_DIR", "/tmp/standin-slurm"))
CORES = int(os.environ.get("STANDIN_SLURM_CORES", os.cpu_count() or 1))
SAMPLE_SECONDS = 0.5


def record_path(job: str) -> Path:
    return STATE / f"{job}.json"


def read_record(job: str) -> dict:
    try:
        return json.loads(record_path(job).read_text())
    except (OSError, ValueError):
        return {}


def write_record(job: str, record: dict) -> None:
    temporary = record_path(job).with_suffix(".tmp")
    temporary.write_text(json.dumps(record))
    temporary.replace(record_path(job))


def next_id() -> str:
    """A job number, from a counter file taken under an exclusive lock."""
    import fcntl
    STATE.mkdir(parents=True, exist_ok=True)
    with open(STATE / "counter", "a+") as counter:
        fcntl.flock(counter, fcntl.LOCK_EX)
        counter.seek(0)
        number = int(counter.read() or 0) + 1
        counter.seek(0)
        counter.truncate()
        counter.write(str(number))
    return str(number)


def sbatch(args: list[str]) -> None:
    options, wrap = {}, ""
    k = 0
    while k < len(args):
        arg = args[k]
        if arg.startswith("--wrap="):
            wrap = arg[len("--wrap="):]
        elif "=" in arg and arg.startswith("--"):
            name, value = arg.split("=", 1)
            options[name] = value
        elif arg.startswith("-") and k + 1 < len(args):
            options[arg] = args[k + 1]
            k += 1
        k += 1
    job = next_id()
    record = {"id": job, "name": options.get("-J", ""), "state": "PENDING",
              "cpus": int(options.get("--cpus-per-task", 1)),
              "mem_mb": int(options.get("--mem", 0)), "minutes": int(options.get("-t", 0)),
              "log": options.get("-o", f"slurm-{job}.out").replace("%j", job),
              "workdir": options.get("-D", os.getcwd()), "command": wrap,
              "submitted": time.time()}
    write_record(job, record)
    subprocess.Popen([sys.executable, os.path.realpath(__file__), "run", job],
                     start_new_session=True,
                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, env={**os.environ, "STANDIN_SLURM_ROLE": "run"})
    print(f"Submitted batch job {job}")


def busy_cores() -> int:
    return sum(read_record(p.stem).get("cpus", 0) for p in STATE.glob("*.json")
               if read_record(p.stem).get("state") == "RUNNING")


def descendants(pid: int) -> list[int]:
    children: dict[int, list[int]] = {}
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                parent = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(parent, []).append(int(entry.name))
    found, todo = [], [pid]
    while todo:
        current = todo.pop()
        found.append(current)
        todo += children.get(current, [])
    return found


def open_files(pids: list[int]) -> int:
    count = 0
    for pid in pids:
        try:
            count += len(os.listdir(f"/proc/{pid}/fd"))
        except OSError:
            pass
    return count


def run(job: str) -> None:
    """Waits for free cores, runs the job's command in its folder, and records what it used."""
    record = read_record(job)
    while busy_cores() + record["cpus"] > CORES and busy_cores() > 0:
        time.sleep(0.2)
    # A job asking for more cores than the stand-in has gets them all, and takes longer.
    record.update(state="RUNNING", started=time.time(), cores_given=min(record["cpus"], CORES))
    write_record(job, record)
    log = Path(record["workdir"]) / record["log"]
    log.parent.mkdir(parents=True, exist_ok=True)
    environment = {**os.environ, "SLURM_JOB_ID": job, "SLURM_CPUS_ON_NODE": str(record["cpus"]),
                   "SLURM_MEM_PER_NODE": str(record["mem_mb"]), "STANDIN_SLURM_ROLE": ""}
    with open(log, "w") as out:
        process = subprocess.Popen(["bash", "-c", record["command"]], cwd=record["workdir"],
                                   stdout=out, stderr=subprocess.STDOUT, env=environment)
        most_open = 0
        while process.poll() is None:
            most_open = max(most_open, open_files(descendants(process.pid)[1:]))
            time.sleep(SAMPLE_SECONDS)
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    record.update(state="COMPLETED" if process.returncode == 0 else "FAILED",
                  wall=time.time() - record["started"], cpu=used.ru_utime + used.ru_stime,
                  peak_mb=used.ru_maxrss / 1024, open_files=most_open)
    write_record(job, record)


def sacct(args: list[str]) -> None:
    """sacct -P -n --format=JobIdRaw,State -j ID: the job's state; nothing else is kept."""
    if "-j" in args:
        job = args[args.index("-j") + 1]
        record = read_record(job)
        if record:
            print(f"{job}|{record['state']}")


def squeue(args: list[str]) -> None:
    print("JOBID NAME STATE")
    for path in sorted(STATE.glob("*.json"), key=lambda p: int(p.stem)):
        record = read_record(path.stem)
        if record.get("state") in ("PENDING", "RUNNING"):
            print(record["id"], record["name"], record["state"])


def scancel(args: list[str]) -> None:
    for job in args:
        record = read_record(job)
        if record.get("state") in ("PENDING", "RUNNING"):
            record["state"] = "CANCELLED"
            write_record(job, record)


def srun(args: list[str]) -> None:
    """srun [options] COMMAND...: the command, here."""
    while args and args[0].startswith("-"):
        args = args[1:]
    os.execvp(args[0], args)


def main() -> None:
    name = Path(sys.argv[0]).name
    if os.environ.get("STANDIN_SLURM_ROLE") == "run" and sys.argv[1:2] == ["run"]:
        return run(sys.argv[2])
    commands = {"sbatch": sbatch, "sacct": sacct, "squeue": squeue, "scancel": scancel,
                "srun": srun}
    if name not in commands:
        sys.exit(f"slurm_standin.py: called as {name}: link it as one of {', '.join(commands)}")
    commands[name](sys.argv[1:])


if __name__ == "__main__":
    main()
