# Scatter and gather: one chromosome's VCF is read once into every group's inputs (by batches of
# config 'batch_groups' groups when there are more), each group is scanned by bridgeScan, which
# compresses and checks its own part, and the parts are put one after another in VCF order.
# Every folder holds one batch's parts, logs or benchmarks at most.


def split_source(wildcards) -> dict:
    """A batch's groups are cut from the cohort VCF when it is the only batch, else from the
    batch's own VCF."""
    if BATCHES.count(load_plan()) == 1:
        return {"vcf": VCF, "index": VCF_INDEX}
    return {"batches": f"{OUTDIR}/work/{wildcards.chrom}/batches"}


def split_source_option(wildcards, input) -> str:
    if "batches" not in input.keys():
        return ""
    return f"--source {shlex.quote(f'{input.batches}/batch{wildcards.batch}.vcf.gz')}"


rule split_batches:
    input:
        vcf=VCF,
        index=VCF_INDEX,
        plan=f"{OUTDIR}/work/plan.json",
    output:
        temp(directory(f"{OUTDIR}/work/{{chrom}}/batches")),
    params:
        script=python("split_vcf.py"),
        program=PROGRAM,
    log:
        f"{OUTDIR}/logs/split_vcf/{{chrom}}.batches.log",
    benchmark:
        f"{OUTDIR}/benchmarks/split_vcf/{{chrom}}.batches.tsv"
    threads: 2
    resources:
        mem_mb=split_mem_mb,
        runtime=split_runtime,
    shell:
        explained(
            "{params.script} --log {log:q} --program {params.program:q} --vcf {input.vcf:q}"
            " --index {input.index:q} --plan {input.plan:q} --chromosome {wildcards.chrom:q}"
            " --level batches --batch-groups {BATCHES.size} --threads {threads} --out {output:q}"
        )


def group_vcfs() -> list[str]:
    """A batch's groups' VCFs, named by their group's place in the batch: each its own
    temporary output, which Snakemake removes as soon as the group's scan is done rather than
    when the batch's last scan is. A batch of fewer groups than 'batch_groups' leaves the
    places beyond them empty."""
    return [f"{OUTDIR}/work/{{chrom}}/batch{{batch}}/vcf{place}.vcf.gz"
            for place in range(1, BATCHES.size + 1)]


def group_vcf(wildcards) -> str:
    place = BATCHES.place(int(wildcards.group))
    return f"{OUTDIR}/work/{wildcards.chrom}/batch{wildcards.batch}/vcf{place}.vcf.gz"


rule split_vcf:
    input:
        unpack(split_source),
        plan=f"{OUTDIR}/work/plan.json",
    output:
        # The groups' lists, and their VCFs under their group's name (links to the places').
        inputs=temp(directory(f"{OUTDIR}/work/{{chrom}}/batch{{batch}}/inputs")),
        vcfs=temp(group_vcfs()),
    params:
        script=python("split_vcf.py"),
        program=PROGRAM,
        source=split_source_option,
    log:
        f"{OUTDIR}/logs/split_vcf/{{chrom}}.batch{{batch}}.log",
    benchmark:
        f"{OUTDIR}/benchmarks/split_vcf/{{chrom}}.batch{{batch}}.tsv"
    # bridgeScan cuts the lines while tabix (or bcftools) decompresses them; its thread pool
    # compresses the groups' files.
    threads: 2
    resources:
        mem_mb=split_mem_mb,
        runtime=split_runtime,
    shell:
        explained(
            "{params.script} --log {log:q} --program {params.program:q} --vcf {VCF:q}"
            " --index {VCF_INDEX:q} --plan {input.plan:q} --chromosome {wildcards.chrom:q}"
            " --level groups --batch {wildcards.batch} {params.source}"
            " --batch-groups {BATCHES.size} --threads {threads}"
            " --out {output.inputs:q} --vcfs {output.vcfs:q}"
        )


def blocks_only_option(wildcards) -> str:
    """The first group's part holds the map section, the others their blocks alone."""
    return "" if wildcards.group == "1" else "--blocks-only"


rule scan:
    input:
        inputs=f"{OUTDIR}/work/{{chrom}}/batch{{batch}}/inputs",
        vcf=group_vcf,
        plan=f"{OUTDIR}/work/plan.json",
    output:
        pirs=temp(f"{OUTDIR}/work/{{chrom}}/batch{{batch}}/group{{group}}.pirs.gz"),
        stats=temp(f"{OUTDIR}/work/{{chrom}}/batch{{batch}}/group{{group}}.stats.tsv"),
        histogram=temp(f"{OUTDIR}/work/{{chrom}}/batch{{batch}}/group{{group}}.sites_per_pir.tsv"),
        **phase_set_outputs(),
    params:
        program=PROGRAM,
        reference=REFERENCE_OPTION,
        base_quality=config["base_quality"],
        read_quality=config["read_quality"],
        blocks_only=blocks_only_option,
        phase_sets=phase_sets_option,
        check=python("scan_part.py"),
    log:
        f"{OUTDIR}/logs/scan/{{chrom}}/batch{{batch}}/group{{group}}.log",
    benchmark:
        f"{OUTDIR}/benchmarks/scan/{{chrom}}/batch{{batch}}/group{{group}}.tsv"
    threads: 1
    # A group's scan goes before any further split, so that its VCF is removed before more are
    # written: the groups' VCFs of all chromosomes at once would be most of the temporary disk.
    priority: 1
    resources:
        mem_mb=scan_mem_mb,
        runtime=scan_runtime,
    shell:
        explained(
            "{params.program:q} --vcf {input.inputs:q}/group{wildcards.group}.vcf.gz"
            " --bam {input.inputs:q}/group{wildcards.group}.list"
            " --out {output.pirs:q} --stats {output.stats:q} {params.blocks_only}"
            " --base-quality {params.base_quality} --read-quality {params.read_quality}"
            " --threads {threads} {params.reference} {params.phase_sets} > {log:q} 2>&1"
            " && {params.check} --log {log:q} --plan {input.plan:q} --group {wildcards.group}"
            " --pirs {output.pirs:q} --stats {output.stats:q} --histogram {output.histogram:q}"
        )


rule merge:
    input:
        plan=f"{OUTDIR}/work/plan.json",
        pirs=group_parts(".pirs.gz"),
        stats=group_parts(".stats.tsv"),
        histograms=group_parts(".sites_per_pir.tsv"),
    output:
        pirs=f"{OUTDIR}/{{chrom}}.pirs.gz",
        stats=f"{OUTDIR}/work/{{chrom}}.stats.tsv",
        histogram=f"{OUTDIR}/work/{{chrom}}.sites_per_pir.tsv",
    params:
        script=python("merge.py"),
    log:
        f"{OUTDIR}/logs/merge/{{chrom}}.log",
    benchmark:
        f"{OUTDIR}/benchmarks/merge/{{chrom}}.tsv"
    threads: 1
    resources:
        mem_mb=merge_mem_mb,
        runtime=merge_runtime,
    shell:
        explained(
            "{params.script} --log {log:q} --plan {input.plan:q} --chromosome {wildcards.chrom:q}"
            " --pirs {input.pirs:q} --stats {input.stats:q} --histograms {input.histograms:q}"
            " --out-pirs {output.pirs:q} --out-stats {output.stats:q}"
            " --out-histogram {output.histogram:q}"
        )
