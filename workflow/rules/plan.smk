# Before any scan: the VCF's index (when it has none beside it) and the plan, which checks
# every input and fixes the chromosomes, each file's name for them, and the groups of samples.


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
        files=SAMPLE_FILES,
        chromosomes=CHROMOSOMES,
        samples_per_job=config["samples_per_job"],
        reference=REFERENCE,
    log:
        f"{OUTDIR}/logs/plan.log",
    threads: 2
    resources:
        mem_mb=500,
    script:
        "../scripts/plan.py"
