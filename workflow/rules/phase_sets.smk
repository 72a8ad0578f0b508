# Read-backed phase sets (config 'phase_sets'): each group's scan writes of its samples' phase
# sets what the gather needs (--phase-part); the groups' parts are gathered by bridgeScan
# (--gather-phase-sets) into one bgzipped, indexed VCF per chromosome holding the same records as
# a direct run over the whole cohort.
PHASE_SETS = str(config["phase_sets"]).lower() == "true"
PHASE_SET_PART = f"{OUTDIR}/work/{{chrom}}/batch{{batch}}/group{{group}}.phased.gz"
# Settings that make no difference to the phase sets, left out of their recorded run.
NOT_RECORDED = ("outdir", "program", "phase_sets")


def phase_set_outputs() -> dict:
    return {"phased": temp(PHASE_SET_PART)} if PHASE_SETS else {}


def phase_sets_option(wildcards, output) -> str:
    """The scan writes its part itself: the reads' phase of its samples, compressed."""
    if not PHASE_SETS:
        return ""
    return (f"--phase-sets {shlex.quote(output.phased)} --phase-part"
            f" --phase-min-lod {config['phase_min_lod']}")


def phase_set_targets(wildcards) -> list[str]:
    if not PHASE_SETS:
        return []
    return [f"{OUTDIR}/{name}.phased.vcf.gz" for name in planned_chromosomes()]


def recorded_settings() -> str:
    """The cohort's run as the gathered phase sets record it: the workflow and its settings."""
    shown = {key: value for key, value in sorted(config.items())
             if key not in NOT_RECORDED and value not in (None, [], "")}
    return f"{Path(workflow.basedir) / 'Snakefile'} " + " ".join(
        f"{key}={','.join(as_list(value))}" for key, value in shown.items())


rule gather_phase_sets:
    input:
        vcf=VCF,
        index=VCF_INDEX,
        plan=f"{OUTDIR}/work/plan.json",
        parts=group_parts(".phased.gz"),
    output:
        vcf=f"{OUTDIR}/{{chrom}}.phased.vcf.gz",
    params:
        script=python("phase_sets.py"),
        program=PROGRAM,
        settings=recorded_settings(),
    log:
        f"{OUTDIR}/logs/gather_phase_sets/{{chrom}}.log",
    benchmark:
        f"{OUTDIR}/benchmarks/gather_phase_sets/{{chrom}}.tsv"
    # bridgeScan decompresses the VCF and compresses the gathered file on its second thread.
    threads: 2
    resources:
        mem_mb=gather_mem_mb,
        runtime=gather_runtime,
    shell:
        explained(
            "{params.script} --log {log:q} --vcf {input.vcf:q} --index {input.index:q}"
            " --plan {input.plan:q} --chromosome {wildcards.chrom:q} --program {params.program:q}"
            " --settings {params.settings:q} --batch-groups {BATCHES.size} --threads {threads}"
            " --parts {input.parts:q}"
            " --out {output.vcf:q}"
        )
