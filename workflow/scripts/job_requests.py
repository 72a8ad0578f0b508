"""What each job of the cohort workflow asks a scheduler for (memory in MB, run time in minutes),
computed from the plan's sizes (samples, records, groups, chromosome lengths) and the VCF's size,
with headroom: no request is a constant that a larger cohort outgrows. Each retry doubles both.

The rates are those bench/workflow_bench.sh measured on a 2-core machine, with margin; the
VCF's work is counted in its compressed bytes, of which a VCF of genotypes alone (the
benchmark's) holds the most lines and text per byte, so that richer VCFs are over-estimated."""

from dataclasses import dataclass
from math import ceil
from typing import NamedTuple

from layout import Batches

MIN_RUNTIME_MINUTES = 10
RUNTIME_HEADROOM = 3
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
# Run time of a scan job: a 30x sample takes about 10 s per 64 Mb of its chromosome.
SCAN_SECONDS_PER_SAMPLE_MB = 0.16
# Compressed VCF bytes a second: cut into groups (bridgeScan --split-groups on two threads),
# gathered back with the phase sets (bridgeScan --gather-phase-sets on two threads), indexed.
SPLIT_MB_PER_SECOND = 3
GATHER_MB_PER_SECOND = 3
INDEX_MB_PER_SECOND = 20
# A group's VCF open for writing (BGZF's buffers, a thread pool's queue), a part open for
# reading; a VCF line's text per sample.
MB_PER_OPEN_OUTPUT = 3
MB_PER_OPEN_PART = 1
TEXT_BYTES_PER_GENOTYPE = 4
# Parts copied into a gathered file, of about PIR_KB_PER_SAMPLE_MB per sample and Mb of the
# chromosome (a 30x genome).
COPY_MB_PER_SECOND = 50
PIR_KB_PER_SAMPLE_MB = 200
# The report and the plots: a few numbers per sample and per sample and chromosome; rows of
# statistics and scan logs read a second.
MB_PER_THOUSAND_SAMPLES = 2
MB_PER_THOUSAND_ROWS = 0.2
STATS_ROWS_PER_SECOND = 20000
SECONDS_PER_SCAN_LOG = 0.005
# The plan reads each file's header and end: a few milliseconds and kilobytes each, from a table
# of lines of about TABLE_BYTES_PER_LINE.
TABLE_BYTES_PER_LINE = 40
PLAN_SECONDS_PER_FILE = 0.01
PLAN_KB_PER_FILE = 10


class Request(NamedTuple):
    mem_mb: int
    runtime: int  # minutes


def request(megabytes: float, seconds: float, attempt: int) -> Request:
    """Memory as estimated, run time RUNTIME_HEADROOM times the estimate and at least
    MIN_RUNTIME_MINUTES; both doubled on each retry."""
    grown = 2 ** (attempt - 1)
    minutes = max(MIN_RUNTIME_MINUTES, RUNTIME_HEADROOM * seconds / 60)
    return Request(ceil(megabytes) * grown, ceil(minutes) * grown)


def index_request(vcf_mb: float, attempt: int) -> Request:
    return request(BASE_MEMORY_MB, vcf_mb / INDEX_MB_PER_SECOND, attempt)


def plan_request(table_bytes: int, attempt: int) -> Request:
    files = table_bytes / TABLE_BYTES_PER_LINE
    return request(BASE_MEMORY_MB + files * PLAN_KB_PER_FILE / 1000,
                   files * PLAN_SECONDS_PER_FILE, attempt)


@dataclass(frozen=True)
class Requests:
    """The requests of the jobs that follow the plan."""

    plan: dict
    vcf_mb: float
    batches: Batches

    def chromosome(self, name: str) -> dict:
        return next(c for c in self.plan["chromosomes"] if c["name"] == name)

    def with_files(self) -> int:
        return sum(len(group) for group in self.plan["groups"])

    def vcf_samples(self) -> int:
        return self.with_files() + len(self.plan["without_files"])

    def chromosome_vcf_mb(self, name: str) -> float:
        """The chromosome's share of the VCF's compressed bytes, as its share of the records."""
        total = sum(c["records"] for c in self.plan["chromosomes"]) or 1
        return self.vcf_mb * self.chromosome(name)["records"] / total

    def split(self, chromosome: str, batch: int | None, attempt: int) -> Request:
        """Cutting the chromosome into batches (batch None) or a batch into its groups: a
        file open per output, and the line cut for each."""
        plan = self.plan
        outputs = self.batches.count(plan) if batch is None else len(
            self.batches.groups(plan, batch))
        samples = self.vcf_samples() if batch is None else len(self.batches.samples(plan, batch))
        whole = batch is None or self.batches.count(plan) == 1
        share = 1.0 if whole else samples / self.with_files()
        text_mb = TEXT_BYTES_PER_GENOTYPE * samples / 1e6
        return request(BASE_MEMORY_MB + outputs * MB_PER_OPEN_OUTPUT + 4 * text_mb,
                       self.chromosome_vcf_mb(chromosome) * share / SPLIT_MB_PER_SECOND, attempt)

    def scan(self, chromosome: str, group: int, attempt: int) -> Request:
        entry = self.chromosome(chromosome)
        samples = len(self.plan["groups"][group - 1])
        held = (entry["length"] * ASSUMED_DEPTH / PAIR_BASES * BYTES_PER_HELD_READ +
                entry["records"] * (BYTES_PER_SITE + samples * CALL_BYTES_PER_SAMPLE_SITE))
        seconds = samples * entry["length"] / 1e6 * SCAN_SECONDS_PER_SAMPLE_MB
        return request(BASE_MEMORY_MB + held / 1e6, seconds, attempt)

    def merge(self, chromosome: str, attempt: int) -> Request:
        megabases = self.chromosome(chromosome)["length"] / 1e6
        pir_mb = self.with_files() * megabases * PIR_KB_PER_SAMPLE_MB / 1000
        return request(BASE_MEMORY_MB, pir_mb / COPY_MB_PER_SECOND, attempt)

    def gather(self, chromosome: str, attempt: int) -> Request:
        """A cohort's line, its fields' places (four times its text) and its rewritten copy;
        and a batch of parts open at most."""
        opened = min(len(self.plan["groups"]), self.batches.size)
        text_mb = TEXT_BYTES_PER_GENOTYPE * self.vcf_samples() / 1e6
        return request(BASE_MEMORY_MB + opened * MB_PER_OPEN_PART + 6 * text_mb,
                       self.chromosome_vcf_mb(chromosome) / GATHER_MB_PER_SECOND, attempt)

    def stats(self, attempt: int) -> Request:
        """The report and the plots (which read every row of stats.tsv and every scan's log)
        and the gathering of stats.tsv."""
        rows = self.with_files() * len(self.plan["chromosomes"])
        scans = len(self.plan["groups"]) * len(self.plan["chromosomes"])
        return request(BASE_MEMORY_MB + self.vcf_samples() / 1000 * MB_PER_THOUSAND_SAMPLES
                       + rows / 1000 * MB_PER_THOUSAND_ROWS,
                       rows / STATS_ROWS_PER_SECOND + scans * SECONDS_PER_SCAN_LOG, attempt)
