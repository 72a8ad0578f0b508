#!/usr/bin/env bash
# A one-node Slurm cluster on this machine for the workflow's cluster tests: munged, slurmctld
# and slurmd of Debian's packages, with their configuration, keys, state and logs in one folder.
# Usage: tests/workflow/slurm_cluster.sh start|stop FOLDER
#   start  installs slurm-wlm and munge when missing, writes FOLDER/slurm.conf, starts the three
#          daemons, which listen on 127.0.0.1 only (munged on a socket in FOLDER), and waits
#          until the node is idle; Slurm's commands then need SLURM_CONF=FOLDER/slurm.conf.
#          Exits with 77 where no cluster can run here (not root, packages not installable),
#          naming the reason, and with 1 when a cluster of FOLDER runs already.
#   stop   ends, within 5 seconds and whether or not the controller still answers, the daemons
#          that start started, the job steps of its node and the jobs' processes, and nothing
#          else; then removes the munge key and Slurm's state (the logs stay).
set -euo pipefail

CANNOT_RUN=77
# The daemons carry this in their environment, set to the cluster's folder. The job steps
# (slurmstepd, detached from slurmd) carry the folder's SLURM_CONF, and so do the jobs'
# processes, with a SLURM_JOB_ID.
MARK=BRIDGESCAN_TEST_CLUSTER

usage() {
    echo "usage: $0 start|stop FOLDER" >&2
    exit 2
}

# Slurm's daemons run as root here (SlurmUser=root), and installing needs root too.
check_can_run() {
    if [[ $(id -u) -ne 0 ]]; then
        echo "a Slurm cluster needs root to run its daemons" >&2
        exit $CANNOT_RUN
    fi
    local script_dir
    script_dir=$(dirname "$0")
    if ! bash "$script_dir/../../scripts/install-deps.sh" slurm >&2; then
        echo "slurm-wlm and munge are not installed and could not be installed" >&2
        exit $CANNOT_RUN
    fi
}

# Two distinct TCP ports nothing listens on now, so that clusters of parallel test runs do not
# meet.
free_ports() {
    /usr/bin/python3 -c 'import socket
with socket.socket() as first, socket.socket() as second:
    first.bind(("127.0.0.1", 0))
    second.bind(("127.0.0.1", 0))
    print(first.getsockname()[1], second.getsockname()[1])'
}

write_config() {
    local folder=$1 node memory_mb controller_port node_port
    node=$(hostname -s)
    read -r controller_port node_port < <(free_ports)
    memory_mb=$(awk '/^MemTotal:/ { print int($2 / 1024) }' /proc/meminfo)
    mkdir -p "$folder/state" "$folder/spool"
    # No accounting: sacct answers nothing, so job records are read with scontrol, which
    # keeps finished jobs for MinJobAge seconds. Jobs start as soon as they are submitted or
    # a job ends; the short intervals only matter when that attempt missed.
    cat >"$folder/slurm.conf" <<EOF
ClusterName=bridgescan
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$controller_port
SlurmdPort=$node_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$folder/munge.socket
CommunicationParameters=NoCtldInAddrAny,NoInAddrAny
StateSaveLocation=$folder/state
SlurmdSpoolDir=$folder/spool
SlurmctldPidFile=$folder/slurmctld.pid
SlurmdPidFile=$folder/slurmd.pid
SlurmctldLogFile=$folder/slurmctld.log
SlurmdLogFile=$folder/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
ReturnToService=2
SchedulerType=sched/builtin
SchedulerParameters=sched_interval=2
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
MinJobAge=3600
InactiveLimit=0
KillWait=5
Waittime=0
NodeName=$node NodeAddr=127.0.0.1 CPUs=$(nproc) RealMemory=$memory_mb State=UNKNOWN
PartitionName=main Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
}

start_munge() {
    local folder=$1
    if [[ ! -s "$folder/munge.key" ]]; then
        (umask 077 && head -c 1024 /dev/urandom >"$folder/munge.key")
    fi
    start_daemon "$folder" munged --force --key-file="$folder/munge.key" \
        --socket="$folder/munge.socket" --pid-file="$folder/munged.pid" \
        --log-file="$folder/munged.log" --seed-file="$folder/munged.seed"
}

# Starts a daemon and waits until it has written FOLDER/NAME.pid, which stop reads: a daemon
# may write it after its starting process returned.
start_daemon() {
    local folder=$1 name=$2
    shift
    "$@" || return 1
    for _ in $(seq 100); do
        [[ -s "$folder/$name.pid" ]] && return 0
        sleep 0.1
    done
    echo "$name wrote no PID file; logs in $folder" >&2
    return 1
}

# Waits up to 60 seconds for the node to take jobs.
wait_until_idle() {
    local folder=$1 state
    for _ in $(seq 120); do
        state=$(SLURM_CONF="$folder/slurm.conf" sinfo --noheader --format=%T 2>/dev/null || true)
        [[ "$state" == idle ]] && return 0
        sleep 0.5
    done
    echo "the Slurm node did not become idle (state: ${state:-none}); logs in $folder" >&2
    return 1
}

start() {
    local folder=$1
    check_can_run
    mkdir -p "$folder"
    folder=$(cd "$folder" && pwd)
    # A second start would write new ports into the configuration of the running daemons and
    # leave the first ones without PID files: stop could no longer find them all.
    if [[ -n $(cluster_processes "$folder") ]]; then
        echo "a Slurm cluster of $folder runs already: stop it first" >&2
        return 1
    fi
    export "$MARK=$folder"
    write_config "$folder"
    # What started before a failure is stopped again.
    if ! { start_munge "$folder" && start_daemon "$folder" slurmctld -f "$folder/slurm.conf" &&
        start_daemon "$folder" slurmd -f "$folder/slurm.conf" && wait_until_idle "$folder"; }; then
        stop "$folder"
        return 1
    fi
}

# The PIDs of the cluster's processes: its daemons, job steps and jobs, and their descendants
# (collected before any is ended, while the parent links still hold); never this script or what
# runs it, which carry the mark when start fails and stops.
cluster_processes() {
    local folder=$1
    /usr/bin/python3 - "$folder" "$MARK" <<'EOF'
import os
import sys

folder, mark = sys.argv[1], sys.argv[2]
marked = f"{mark}={folder}".encode()
job_conf = f"SLURM_CONF={folder}/slurm.conf".encode()
parents, found = {}, set()
for pid in filter(str.isdigit, os.listdir("/proc")):
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat:
            parents[pid] = stat.read().rsplit(b")", 1)[1].split()[1].decode()
        with open(f"/proc/{pid}/environ", "rb") as environ:
            variables = environ.read().split(b"\0")
        with open(f"/proc/{pid}/comm", "rb") as comm:
            step = comm.read() == b"slurmstepd\n"
    except OSError:
        continue  # ended meanwhile
    in_job = step or any(v.startswith(b"SLURM_JOB_ID=") for v in variables)
    if marked in variables or job_conf in variables and in_job:
        found.add(pid)
while True:
    children = {pid for pid, parent in parents.items() if parent in found} - found
    if not children:
        break
    found |= children
ancestor = str(os.getpid())
while ancestor in parents:
    found.discard(ancestor)
    ancestor = parents[ancestor]
print(" ".join(sorted(found, key=int)))
EOF
}

# Whether any of the PIDs still runs (an ended process may stay a zombie for a while).
running() {
    [[ -n $(ps -o stat= -p "$(IFS=, && echo "$*")" | grep -v '^ *Z' || true) ]]
}

# Nothing of a test cluster needs a clean end, as its state is removed: SIGKILL at once, which
# the job steps and srun do not ignore as they do SIGTERM. Returns once all have ended, or
# after 3 seconds.
end_processes() {
    kill -KILL "$@" 2>/dev/null || true
    for _ in $(seq 30); do
        running "$@" || return 0
        sleep 0.1
    done
}

# No scancel: with the controller gone it would wait for it. The job steps and the jobs'
# processes end with the daemons.
stop() {
    local folder pids
    folder=$(cd "$1" 2>/dev/null && pwd) || return 0
    read -r -a pids <<<"$(cluster_processes "$folder")"
    [[ ${#pids[@]} -eq 0 ]] || end_processes "${pids[@]}"
    rm -rf "$folder/state" "$folder/spool"
    rm -f "$folder"/munge.key "$folder"/munge.socket* "$folder"/munged.seed "$folder"/*.pid
}

[[ $# -eq 2 ]] || usage
case "$1" in
    start) start "$2" ;;
    stop) stop "$2" ;;
    *) usage ;;
esac
