# What each job asks a scheduler for, from the plan's sizes and the VCF's (scripts/job_requests.py):
# each rule's mem_mb and runtime below, doubled on each retry (--retries / --restart-times).
from layout import Batches
from job_requests import Requests, index_request, plan_request

BATCHES = Batches(int(config["batch_groups"]))
# The Slurm profiles submit the scans of up to this many groups as one cluster job
# (group-components), so that a cohort of 200,000 samples makes fewer than 10,000 jobs.
SCANS_PER_CLUSTER_JOB = 15
LOCAL_RULES = ("all", "check", "gather_stats", "plan")


def requests() -> Requests:
    return Requests(load_plan(), os.path.getsize(VCF) / 1e6, BATCHES)


def index_mem_mb(wildcards, attempt: int) -> int:
    return index_request(os.path.getsize(VCF) / 1e6, attempt).mem_mb


def index_runtime(wildcards, attempt: int) -> int:
    return index_request(os.path.getsize(VCF) / 1e6, attempt).runtime


def plan_mem_mb(wildcards, input, attempt: int) -> int:
    return plan_request(os.path.getsize(input.samples), attempt).mem_mb


def plan_runtime(wildcards, input, attempt: int) -> int:
    return plan_request(os.path.getsize(input.samples), attempt).runtime


def split_request(wildcards, attempt: int):
    batch = wildcards.get("batch")
    return requests().split(wildcards.chrom, None if batch is None else int(batch), attempt)


def split_mem_mb(wildcards, attempt: int) -> int:
    return split_request(wildcards, attempt).mem_mb


def split_runtime(wildcards, attempt: int) -> int:
    return split_request(wildcards, attempt).runtime


def scan_mem_mb(wildcards, attempt: int) -> int:
    return requests().scan(wildcards.chrom, int(wildcards.group), attempt).mem_mb


def scan_runtime(wildcards, attempt: int) -> int:
    return requests().scan(wildcards.chrom, int(wildcards.group), attempt).runtime


def merge_mem_mb(wildcards, attempt: int) -> int:
    return requests().merge(wildcards.chrom, attempt).mem_mb


def merge_runtime(wildcards, attempt: int) -> int:
    return requests().merge(wildcards.chrom, attempt).runtime


def gather_mem_mb(wildcards, attempt: int) -> int:
    return requests().gather(wildcards.chrom, attempt).mem_mb


def gather_runtime(wildcards, attempt: int) -> int:
    return requests().gather(wildcards.chrom, attempt).runtime


def stats_mem_mb(wildcards, attempt: int) -> int:
    return requests().stats(attempt).mem_mb


def stats_runtime(wildcards, attempt: int) -> int:
    return requests().stats(attempt).runtime


def cluster_jobs(jobs: dict[str, int]) -> int:
    """The jobs submitted to a cluster through the Slurm profile: the scans grouped."""
    submitted = {rule: count for rule, count in jobs.items() if rule not in LOCAL_RULES}
    submitted["scan"] = ceil(submitted["scan"] / SCANS_PER_CLUSTER_JOB)
    return sum(submitted.values())
