#!/usr/bin/env bash
# A one-node Slurm cluster on this machine for the workflow's cluster tests: munged, slurmctld
# and slurmd of Debian's packages, with their configuration, keys, state and logs in one folder.
# Usage: tests/workflow/slurm_cluster.sh start|stop FOLDER
#   start  installs slurm-wlm and munge when missing, writes FOLDER/slurm.conf, starts the three
#          daemons and waits until the node is idle; Slurm's commands then need
#          SLURM_CONF=FOLDER/slurm.conf. Exits with 77 where no cluster can run here (not root,
#          packages not installable), naming the reason.
#   stop   ends the daemons that start started (by the PIDs kept in FOLDER), and nothing else.
set -euo pipefail

CANNOT_RUN=77
DAEMONS=(slurmd slurmctld munged)  # the order they are stopped in

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
    write_config "$folder"
    # What started before a failure is stopped again.
    if ! { start_munge "$folder" && start_daemon "$folder" slurmctld -f "$folder/slurm.conf" &&
        start_daemon "$folder" slurmd -f "$folder/slurm.conf" && wait_until_idle "$folder"; }; then
        stop "$folder"
        return 1
    fi
}

# Jobs left running by a failed test are cancelled first, so that no job step outlives slurmd.
cancel_jobs() {
    local folder=$1
    export SLURM_CONF=$folder/slurm.conf
    squeue --noheader --format=%i 2>/dev/null | xargs -r scancel 2>/dev/null || true
    for _ in $(seq 50); do
        [[ -z $(squeue --noheader --states=RUNNING,COMPLETING 2>/dev/null) ]] && return
        sleep 0.2
    done
}

# Ends a daemon by the PID it wrote, if that process is still this daemon (a PID file outlives
# its daemon, and the PID may have been given to another process since).
end_daemon() {
    local name=$1 pid_file=$2 pid
    [[ -s "$pid_file" ]] || return 0
    pid=$(<"$pid_file")
    if [[ $(cat "/proc/$pid/comm" 2>/dev/null) == "$name" ]]; then
        kill "$pid"
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$pid_file"
}

stop() {
    local folder=$1 daemon
    [[ -s "$folder/slurmctld.pid" ]] && cancel_jobs "$folder"
    for daemon in "${DAEMONS[@]}"; do
        end_daemon "$daemon" "$folder/$daemon.pid"
    done
}

[[ $# -eq 2 ]] || usage
case "$1" in
    start) start "$2" ;;
    stop) stop "$2" ;;
    *) usage ;;
esac
