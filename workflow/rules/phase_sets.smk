# Read-backed phase sets (config 'phase_sets'): each group's scan writes its samples' phased
# genotypes with --phase-sets, and the groups' files are gathered into one bgzipped, indexed VCF
# per chromosome holding the same records as a direct run over the whole cohort.
PHASE_SETS = str(config["phase_sets"]).lower() == "true"
PHASE_SET_PART = f"{OUTDIR}/work/{{chrom}}/group{{group}}.phased.vcf"


def phase_set_outputs() -> dict:
    """The scan's phase sets output when enabled: plain text, read once by the gather."""
    return {"phased": temp(PHASE_SET_PART)} if PHASE_SETS else {}


def phase_sets_option(wildcards, output) -> str:
    lod = f"--phase-min-lod {config['phase_min_lod']}"
    return f"--phase-sets {shlex.quote(output.phased)} {lod}" if PHASE_SETS else ""


def phase_set_targets(wildcards) -> list[str]:
    if not PHASE_SETS:
        return []
    return [f"{OUTDIR}/{name}.phased.vcf.gz" for name in planned_chromosomes()]


rule gather_phase_sets:
    input:
        vcf=VCF,
        index=VCF_INDEX,
        plan=f"{OUTDIR}/work/plan.json",
        parts=group_parts(".phased.vcf"),
    output:
        vcf=f"{OUTDIR}/{{chrom}}.phased.vcf.gz",
        index=f"{OUTDIR}/{{chrom}}.phased.vcf.gz.csi",
    params:
        script=python("phase_sets.py"),
    log:
        f"{OUTDIR}/logs/gather_phase_sets/{{chrom}}.log",
    benchmark:
        f"{OUTDIR}/benchmarks/gather_phase_sets/{{chrom}}.tsv"
    # bgzip and the VCF's reader run beside the script.
    threads: 2
    resources:
        mem_mb=500,
    shell:
        explained(
            "{params.script} --log {log:q} --vcf {input.vcf:q} --index {input.index:q}"
            " --plan {input.plan:q} --chromosome {wildcards.chrom:q} --parts {input.parts:q}"
            " --out {output.vcf:q}"
        )
