# Scatter and gather: one chromosome's VCF is read once into every group's inputs, each group
# is scanned by bridgeScan, and the groups' outputs are checked and gathered in VCF order.


rule split_vcf:
    input:
        vcf=VCF,
        index=VCF_INDEX,
        plan=f"{OUTDIR}/work/plan.json",
    output:
        temp(directory(f"{OUTDIR}/work/{{chrom}}/inputs")),
    params:
        script=python("split_vcf.py"),
    log:
        f"{OUTDIR}/logs/split_vcf/{{chrom}}.log",
    # The VCF is decompressed by tabix (or bcftools) while this script cuts its lines.
    benchmark:
        f"{OUTDIR}/benchmarks/split_vcf/{{chrom}}.tsv"
    threads: 2
    # Every chromosome's groups become ready early, so that scans of several chromosomes can
    # fill the cores while a merge runs.
    priority: 1
    resources:
        mem_mb=500,
    shell:
        explained(
            "{params.script} --log {log:q} --vcf {input.vcf:q} --index {input.index:q}"
            " --plan {input.plan:q} --chromosome {wildcards.chrom:q} --out {output:q}"
        )


rule scan:
    input:
        f"{OUTDIR}/work/{{chrom}}/inputs",
    output:
        pirs=temp(f"{OUTDIR}/work/{{chrom}}/group{{group}}.pirs"),
        stats=temp(f"{OUTDIR}/work/{{chrom}}/group{{group}}.stats.tsv"),
        **phase_set_outputs(),
    params:
        program=PROGRAM,
        reference=REFERENCE_OPTION,
        base_quality=config["base_quality"],
        read_quality=config["read_quality"],
        phase_sets=phase_sets_option,
    log:
        f"{OUTDIR}/logs/scan/{{chrom}}.group{{group}}.log",
    benchmark:
        f"{OUTDIR}/benchmarks/scan/{{chrom}}.group{{group}}.tsv"
    threads: 1
    resources:
        mem_mb=scan_mem_mb,
        runtime=scan_runtime,
    shell:
        explained(
            "{params.program:q} --vcf {input:q}/group{wildcards.group}.vcf.gz"
            " --bam {input:q}/group{wildcards.group}.list"
            " --out {output.pirs:q} --stats {output.stats:q}"
            " --base-quality {params.base_quality} --read-quality {params.read_quality}"
            " --threads {threads} {params.reference} {params.phase_sets} > {log:q} 2>&1"
        )


rule merge:
    input:
        plan=f"{OUTDIR}/work/plan.json",
        pirs=group_parts(".pirs"),
        stats=group_parts(".stats.tsv"),
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
        mem_mb=500,
    shell:
        explained(
            "{params.script} --log {log:q} --plan {input.plan:q} --chromosome {wildcards.chrom:q}"
            " --pirs {input.pirs:q} --stats {input.stats:q} --out-pirs {output.pirs:q}"
            " --out-stats {output.stats:q} --out-histogram {output.histogram:q}"
        )
