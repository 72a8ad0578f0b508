# What each job asks a scheduler for (mem_mb, runtime in minutes), computed from the plan's sizes
# (samples, records, groups) and the sizes of the job's inputs, with headroom: no request is a
# constant that a larger cohort outgrows. Each retry (--retries / --restart-times) doubles both.
# The rates are the ones bench/workflow_bench.sh measured on a 2-core machine, halved; the VCF's
# work is counted in its compressed bytes, which a VCF of genotypes alone (the benchmark's, 20
# to 40 times smaller than its text) makes the slowest to get through.
from layout import BATCH_GROUPS, batch_groups, batch_of, batches

# The Slurm profiles submit the scans of up to this many groups as one cluster job
# (group-components), so that a cohort of 200,000 samples makes fewer than 10,000 jobs.
SCANS_PER_CLUSTER_JOB = 10
LOCAL_RULES = ("all", "check", "gather_stats", "plan")
MIN_RUNTIME_MINUTES = 10
BASE_MEMORY_MB = 300
# Memory of a scan job. bridgeScan holds one sample's reads at a time: a read (a pair shares
# one entry) costs about BYTES_PER_HELD_READ (README, "Speed and memory"), and a sample holds at
# most one per read pair of its chromosome, LENGTH x DEPTH / PAIR_BASES. It also holds every
# site of the chromosome, about 170 bytes each (BYTES_PER_SITE with some headroom), and its
# samples' phased calls (CALL_BYTES_PER_SAMPLE_SITE: a call of 16 bytes at one site in eight).
ASSUMED_DEPTH = 30
PAIR_BASES = 2 * 150
BYTES_PER_HELD_READ = 130
BYTES_PER_SITE = 200
CALL_BYTES_PER_SAMPLE_SITE = 2
# Run time of a scan job: a 30x sample takes about 10 s per 64 Mb of its chromosome; allowed
# three times that.
SCAN_SECONDS_PER_SAMPLE_MB = 0.5
# Compressed VCF bytes a second: read and cut into groups (bridgeScan --split-groups on two
# threads), gathered back with the phase sets; the VCF's own index.
SPLIT_MB_PER_SECOND = 3
GATHER_MB_PER_SECOND = 1
INDEX_MB_PER_SECOND = 20
# Bytes a second of parts copied into a gathered file, of about PIR_KB_PER_SAMPLE_MB per sample
# and Mb of the chromosome (a 30x genome); rows of statistics read and logs of scans read by the
# report.
COPY_MB_PER_SECOND = 50
PIR_KB_PER_SAMPLE_MB = 200
STATS_ROWS_PER_SECOND = 20000
SECONDS_PER_SCAN_LOG = 0.005
# A group's VCF open for writing: BGZF's buffers and a thread pool's queue, and the line being
# cut; a part open for reading.
MB_PER_OPEN_OUTPUT = 3
MB_PER_OPEN_PART = 1
# The report and the plots hold a few numbers per sample and per sample and chromosome.
MB_PER_THOUSAND_SAMPLES = 25
MB_PER_THOUSAND_ROWS = 2
TEXT_BYTES_PER_GENOTYPE = 4
# The plan reads each file's header and end: a few milliseconds and kilobytes each, on a table
# of lines of about TABLE_BYTES_PER_LINE.
TABLE_BYTES_PER_LINE = 40
PLAN_SECONDS_PER_FILE = 0.01
PLAN_KB_PER_FILE = 10


def grown(value: float, attempt: int) -> int:
    return ceil(value) * 2 ** (attempt - 1)


def minutes(seconds: float, attempt: int) -> int:
    """A run time request: three times the estimate, at least MIN_RUNTIME_MINUTES."""
    return grown(max(MIN_RUNTIME_MINUTES, 3 * seconds / 60), attempt)


def vcf_mb() -> float:
    return os.path.getsize(VCF) / 1e6


def chromosome_share(name: str) -> float:
    """The chromosome's share of the VCF's records, as its share of the compressed bytes."""
    plan = load_plan()
    total = sum(c["records"] for c in plan["chromosomes"]) or 1
    return planned_chromosome(name)["records"] / total


def chromosome_vcf_mb(name: str) -> float:
    return vcf_mb() * chromosome_share(name)


def vcf_samples() -> int:
    plan = load_plan()
    return sum(len(group) for group in plan["groups"]) + len(plan["without_files"])


def line_mb(samples: int) -> float:
    """A VCF line of genotypes for that many samples, as text."""
    return samples * TEXT_BYTES_PER_GENOTYPE / 1e6


def index_mem_mb(wildcards, attempt: int) -> int:
    return grown(BASE_MEMORY_MB, attempt)


def index_runtime(wildcards, attempt: int) -> int:
    return minutes(vcf_mb() / INDEX_MB_PER_SECOND, attempt)


def table_lines(input) -> float:
    return os.path.getsize(input.samples) / TABLE_BYTES_PER_LINE


def plan_mem_mb(wildcards, input, attempt: int) -> int:
    """The plan holds each file's sequences and the VCF's samples: a few kB per table line."""
    return grown(BASE_MEMORY_MB + table_lines(input) * PLAN_KB_PER_FILE / 1000, attempt)


def plan_runtime(wildcards, input, attempt: int) -> int:
    return minutes(table_lines(input) * PLAN_SECONDS_PER_FILE, attempt)


def split_mem_mb(wildcards, attempt: int) -> int:
    outputs = batches(load_plan()) if wildcards.get("batch") is None else BATCH_GROUPS
    lines = 2 * outputs * line_mb(BATCH_GROUPS * int(config["samples_per_job"]))
    return grown(BASE_MEMORY_MB + outputs * MB_PER_OPEN_OUTPUT + lines + 4 * line_mb(vcf_samples()),
                 attempt)


def split_runtime(wildcards, attempt: int) -> int:
    """A batch's split reads the batch's share of the chromosome's columns."""
    share = 1.0
    if wildcards.get("batch") is not None and batches(load_plan()) > 1:
        share = len(batch_groups(load_plan(), int(wildcards.batch))) / len(load_plan()["groups"])
    return minutes(chromosome_vcf_mb(wildcards.chrom) * share / SPLIT_MB_PER_SECOND, attempt)


def group_samples(wildcards) -> int:
    return len(load_plan()["groups"][int(wildcards.group) - 1])


def scan_mem_mb(wildcards, attempt: int) -> int:
    chromosome = planned_chromosome(wildcards.chrom)
    held_reads = chromosome["length"] * ASSUMED_DEPTH / PAIR_BASES
    held = (held_reads * BYTES_PER_HELD_READ + chromosome["records"] * BYTES_PER_SITE +
            chromosome["records"] * group_samples(wildcards) * CALL_BYTES_PER_SAMPLE_SITE)
    return grown(BASE_MEMORY_MB + held / 1e6, attempt)


def scan_runtime(wildcards, attempt: int) -> int:
    megabases = planned_chromosome(wildcards.chrom)["length"] / 1e6
    return minutes(group_samples(wildcards) * megabases * SCAN_SECONDS_PER_SAMPLE_MB, attempt)


def merge_mem_mb(wildcards, attempt: int) -> int:
    return grown(BASE_MEMORY_MB, attempt)


def pir_mb(chromosome: str) -> float:
    """The chromosome's compressed PIR file, about PIR_KB_PER_SAMPLE_MB per sample and Mb."""
    megabases = planned_chromosome(chromosome)["length"] / 1e6
    samples = sum(len(group) for group in load_plan()["groups"])
    return samples * megabases * PIR_KB_PER_SAMPLE_MB / 1000


def merge_runtime(wildcards, attempt: int) -> int:
    return minutes(pir_mb(wildcards.chrom) / COPY_MB_PER_SECOND, attempt)


def gather_mem_mb(wildcards, attempt: int) -> int:
    """The gather holds the cohort's line, split, and BATCH_GROUPS parts open at most."""
    opened = min(len(load_plan()["groups"]), BATCH_GROUPS)
    return grown(BASE_MEMORY_MB + opened * MB_PER_OPEN_PART + 20 * line_mb(vcf_samples()),
                 attempt)


def gather_runtime(wildcards, attempt: int) -> int:
    return minutes(chromosome_vcf_mb(wildcards.chrom) / GATHER_MB_PER_SECOND, attempt)


def stats_rows() -> tuple[int, int]:
    """The samples of the VCF and the rows of stats.tsv (a sample with files per chromosome)."""
    plan = load_plan()
    with_files = sum(len(group) for group in plan["groups"])
    return with_files + len(plan["without_files"]), with_files * len(plan["chromosomes"])


def stats_mem_mb(wildcards, attempt: int) -> int:
    """The report and the plots: per sample their sums, per row of stats.tsv a few figures."""
    samples, rows = stats_rows()
    return grown(BASE_MEMORY_MB + samples / 1000 * MB_PER_THOUSAND_SAMPLES
                 + rows / 1000 * MB_PER_THOUSAND_ROWS, attempt)


def stats_runtime(wildcards, attempt: int) -> int:
    """The report also reads every scan's log."""
    samples, rows = stats_rows()
    scans = len(load_plan()["groups"]) * len(load_plan()["chromosomes"])
    return minutes(rows / STATS_ROWS_PER_SECOND + scans * SECONDS_PER_SCAN_LOG, attempt)


def cluster_jobs(jobs: dict[str, int]) -> int:
    """The jobs submitted to a cluster through the Slurm profile: the scans grouped."""
    submitted = {rule: count for rule, count in jobs.items() if rule not in LOCAL_RULES}
    submitted["scan"] = ceil(submitted["scan"] / SCANS_PER_CLUSTER_JOB)
    return sum(submitted.values())
