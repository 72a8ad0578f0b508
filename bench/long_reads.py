#!/usr/bin/env python3
"""Simulates long reads of one sample for the phasing benchmark and writes them as FASTQ.

Each read comes from one of the sample's two haplotypes (chosen at random), at a random place
and strand. Its base qualities change along the read in short stretches, each stretch's quality
drawn from the profile's range, and each base is wrong with the chance its quality states
(calibrated qualities), the error a substitution, an insertion or a deletion in the profile's
proportions:
  hifi  lengths about normal around 15 kb; Q20-Q40, about 0.2% errors, mostly indels;
  ont   log-normal lengths with an N50 of about 25 kb and a tail past 100 kb; Q8-Q20, about
        5.5% errors.
A chimeric read (--chimeric, the share of reads) joins a piece of haplotype 1 and a piece of
haplotype 2 taken at least --chimera-distance apart, each on its own strand: an aligner gives
it a primary and a supplementary alignment. Deterministic for a given seed; standard library
only."""

import argparse
import math
import random
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, TextIO

from phasing_bench_data import n50

BASES = "ACGT"
COMPLEMENT = str.maketrans("ACGT", "TGCA")


@dataclass(frozen=True)
class Profile:
    length: Callable[[random.Random], float]  # a read's length before it is clipped
    shortest: int
    longest: int
    quality: tuple[int, int]  # range of a stretch's base quality (Phred), both ends included
    stretch: float  # mean length of a stretch of equal quality
    substitution: float  # shares of the errors; the rest are deletions
    insertion: float


PROFILES = {
    "hifi": Profile(length=lambda rng: rng.gauss(15_000, 1_500), shortest=8_000,
                    longest=25_000, quality=(20, 40), stretch=50, substitution=0.2,
                    insertion=0.4),
    # N50 = exp(mu + sigma^2) for log-normal lengths: 25 kb with sigma 0.9; 0.7% of reads
    # (6% of the bases) are longer than 100 kb.
    "ont": Profile(length=lambda rng: rng.lognormvariate(math.log(25_000) - 0.81, 0.9),
                   shortest=1_000, longest=250_000, quality=(8, 20), stretch=50,
                   substitution=0.45, insertion=0.2),
}


def read_fasta(path: Path) -> list[str]:
    """The sequences of a FASTA file, in order."""
    sequences: list[list[str]] = []
    with open(path) as lines:
        for line in lines:
            if line.startswith(">"):
                sequences.append([])
            else:
                sequences[-1].append(line.strip().upper())
    return ["".join(parts) for parts in sequences]


def reverse_complement(seq: str) -> str:
    return seq.translate(COMPLEMENT)[::-1]


class ReadMaker:
    """Draws reads' templates and turns them into sequenced bases and qualities."""

    def __init__(self, profile: Profile, rng: random.Random):
        self.profile = profile
        self.rng = rng
        low, high = profile.quality
        # Per quality: its FASTQ character and log(1 - p) for the gaps between errors.
        self.levels = [(chr(33 + q), math.log1p(-10 ** (-q / 10))) for q in range(low, high + 1)]

    def length(self, limit: int) -> int:
        p = self.profile
        return int(min(max(p.length(self.rng), p.shortest), p.longest, limit))

    def piece(self, haplotype: str, length: int) -> str:
        """A read drawn from anywhere it would overlap the haplotype, cut at its ends, so that
        the ends are covered as deeply as the middle, as a stretch of a longer chromosome is;
        reads whose piece would be shorter than the shortest are drawn again."""
        while True:
            start = self.rng.randrange(1 - length, len(haplotype))
            seq = haplotype[max(start, 0):start + length]
            if len(seq) >= min(self.profile.shortest, length):
                return reverse_complement(seq) if self.rng.random() < 0.5 else seq

    def chimera(self, haplotypes: list[str], distance: int) -> str:
        """A piece of the first haplotype and one of the second, far apart on the sequence."""
        length = self.length(len(haplotypes[0]) // 4)
        first = int(length * self.rng.uniform(0.3, 0.7))
        second = length - first
        while True:
            a = self.rng.randrange(len(haplotypes[0]) - first + 1)
            b = self.rng.randrange(len(haplotypes[1]) - second + 1)
            if abs(a - b) >= distance:
                break
        pieces = [haplotypes[0][a:a + first], haplotypes[1][b:b + second]]
        return "".join(reverse_complement(s) if self.rng.random() < 0.5 else s for s in pieces)

    def sequence(self, template: str) -> tuple[str, str]:
        """The read's bases and qualities: stretches of one quality, errors at its rate."""
        rng, p = self.rng, self.profile
        bases: list[str] = []
        quals: list[str] = []
        i, n = 0, len(template)
        while i < n:
            end = min(n, i + 1 + int(rng.expovariate(1 / p.stretch)))
            symbol, log_right = self.levels[rng.randrange(len(self.levels))]
            while True:
                gap = int(math.log(1.0 - rng.random()) / log_right)  # right bases before an error
                if i + gap >= end:
                    bases.append(template[i:end])
                    quals.append(symbol * (end - i))
                    i = end
                    break
                bases.append(template[i:i + gap])
                quals.append(symbol * gap)
                i += gap
                kind = rng.random()
                if kind < p.substitution:
                    bases.append(rng.choice(BASES.replace(template[i], "")))
                    quals.append(symbol)
                    i += 1
                elif kind < p.substitution + p.insertion:
                    bases.append(rng.choice(BASES))
                    quals.append(symbol)
                else:
                    i += 1
        return "".join(bases), "".join(quals)


def simulate(args: argparse.Namespace, out: TextIO) -> None:
    haplotypes = read_fasta(Path(args.haplotypes))
    if len(haplotypes) != 2:
        sys.exit(f"{args.haplotypes}: expected two haplotypes, found {len(haplotypes)}")
    rng = random.Random(args.seed)
    maker = ReadMaker(PROFILES[args.profile], rng)
    target = args.coverage * len(haplotypes[0])
    total = count = chimeras = 0
    lengths = []
    while total < target:
        kind = args.profile
        if rng.random() < args.chimeric:
            template = maker.chimera(haplotypes, args.chimera_distance)
            chimeras += 1
            kind += "_chimera"
        else:
            haplotype = haplotypes[rng.randrange(2)]
            template = maker.piece(haplotype, maker.length(len(haplotype)))
        bases, quals = maker.sequence(template)
        count += 1
        total += len(template)
        lengths.append(len(template))
        out.write(f"@{args.name}_{kind}_{count}\n{bases}\n+\n{quals}\n")
    print(f"{args.name}: {count} {args.profile} reads ({chimeras} chimeric), {total} bp, "
          f"N50 {n50(lengths)}, longest {max(lengths)}", file=sys.stderr)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--haplotypes", required=True, help="FASTA of the sample's two haplotypes")
    parser.add_argument("--profile", choices=sorted(PROFILES), required=True)
    parser.add_argument("--coverage", type=float, required=True,
                        help="bases simulated, in lengths of one haplotype")
    parser.add_argument("--chimeric", type=float, default=0.0, help="share of chimeric reads")
    parser.add_argument("--chimera-distance", type=int, default=100_000,
                        help="least distance between a chimera's two pieces")
    parser.add_argument("--name", required=True,
                        help="reads are named NAME_PROFILE_NUMBER, chimeras "
                             "NAME_PROFILE_chimera_NUMBER (names that no other file of the "
                             "sample uses: reads are tied by name)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out", help="FASTQ file (default standard output)")
    args = parser.parse_args(argv)
    if args.out:
        with open(args.out, "w") as out:
            simulate(args, out)
    else:
        simulate(args, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1:])
