# Before any scan: the VCF's index (when it has none beside it) and the plan, which checks
# every input and fixes the chromosomes, each file's name for them, and the groups of samples.


rule index_vcf:
    input:
        VCF,
    output:
        f"{OUTDIR}/work/{VCF.name}.csi",
    log:
        f"{OUTDIR}/logs/index_vcf.log",
    benchmark:
        f"{OUTDIR}/benchmarks/index_vcf/index_vcf.tsv"
    threads: 1
    resources:
        mem_mb=index_mem_mb,
        runtime=index_runtime,
    shell:
        explained(
            "bcftools index --csi --output {output} {input} 2> {log}"
        )


checkpoint plan:
    input:
        vcf=VCF,
        index=VCF_INDEX,
        samples=config["samples"],
        checked=checked_files,
    output:
        f"{OUTDIR}/work/plan.json",
    params:
        script=python("plan.py"),
        chromosomes=CHROMOSOMES,
        samples_per_job=config["samples_per_job"],
        reference=REFERENCE_OPTION,
    log:
        f"{OUTDIR}/logs/plan.log",
    benchmark:
        f"{OUTDIR}/benchmarks/plan/plan.tsv"
    threads: 2
    resources:
        mem_mb=plan_mem_mb,
        runtime=plan_runtime,
    shell:
        explained(
            "{params.script} --log {log:q} --vcf {input.vcf:q} --index {input.index:q}"
            " --samples {input.samples:q} --chromosomes {params.chromosomes:q}"
            " --samples-per-job {params.samples_per_job} {params.reference}"
            " --threads {threads} --out {output:q}"
        )


# `snakemake ... check`: the plan's checks alone, then what the run will cost. Run where
# Snakemake runs (a local rule), so that nothing waits in a cluster's queue.
rule check:
    input:
        f"{OUTDIR}/work/plan.json",
    run:
        print(run_summary(load_json(Path(input[0]))), file=sys.stderr)
