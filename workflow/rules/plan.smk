# Before any scan: the VCF's index (when it has none beside it) and the plan, which checks
# every input and fixes the chromosomes, each file's name for them, and the groups of samples.


# On a cluster the plan runs on the submitting node: a problem with the inputs is reported in
# seconds, before any job waits in a queue. Snakemake removes a plan it redoes just before the
# job starts; run here, the new plan follows at once, where a submission that failed (sbatch
# refused, a broken executor) would have left the run without any.
localrules:
    plan,


rule index_vcf:
    input:
        VCF,
    output:
        f"{OUTDIR}/work/{VCF.name}.csi",
    log:
        f"{OUTDIR}/logs/index_vcf.log",
    threads: 1
    resources:
        mem_mb=500,
    shell:
        "bcftools index --csi --output {output} {input} 2> {log}"


checkpoint plan:
    input:
        vcf=VCF,
        index=VCF_INDEX,
        samples=config["samples"],
    output:
        f"{OUTDIR}/work/plan.json",
    params:
        script=python("plan.py"),
        chromosomes=CHROMOSOMES,
        samples_per_job=config["samples_per_job"],
        reference=REFERENCE_OPTION,
    log:
        f"{OUTDIR}/logs/plan.log",
    threads: 2
    resources:
        mem_mb=500,
    shell:
        "{params.script} --log {log:q} --vcf {input.vcf:q} --index {input.index:q}"
        " --samples {input.samples:q} --chromosomes {params.chromosomes:q}"
        " --samples-per-job {params.samples_per_job} {params.reference}"
        " --threads {threads} --out {output:q}"
