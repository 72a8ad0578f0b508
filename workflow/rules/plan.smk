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


# What the plan reads and how it is run, shared by the plan and `check`.
PLAN_INPUT = {"vcf": VCF, "index": VCF_INDEX, "samples": config["samples"],
              "checked": checked_files}
PLAN_PARAMS = {"script": python("plan.py"), "chromosomes": CHROMOSOMES,
               "samples_per_job": config["samples_per_job"], "reference": REFERENCE_OPTION}


def plan_command(out: str, log: str = "{log:q}") -> str:
    """The command, with its output and log as they are named in the rule running it."""
    return explained(
        f"{{params.script}} --log {log} --vcf {{input.vcf:q}} --index {{input.index:q}}"
        " --samples {input.samples:q} --chromosomes {params.chromosomes:q}"
        " --samples-per-job {params.samples_per_job} {params.reference}"
        f" --threads {{threads}} --out {out}",
        log,
    )


checkpoint plan:
    input:
        **PLAN_INPUT,
    output:
        f"{OUTDIR}/work/plan.json",
    params:
        **PLAN_PARAMS,
    log:
        f"{OUTDIR}/logs/plan.log",
    benchmark:
        f"{OUTDIR}/benchmarks/plan/plan.tsv"
    threads: 2
    resources:
        mem_mb=plan_mem_mb,
        runtime=plan_runtime,
    shell:
        plan_command("{output:q}")


# `snakemake ... check`: the plan's checks alone, then what the run will cost. It makes a plan
# of its own each time, kept only while it prints it, so that it always reports on the files as
# they are now, whatever plan an earlier run left. Run where Snakemake runs (a local rule), so
# that nothing waits in a cluster's queue.
rule check:
    input:
        **PLAN_INPUT,
    params:
        **PLAN_PARAMS,
    # No log: Snakemake counts a log as an output, and would not run `check` once it exists.
    threads: 2
    resources:
        mem_mb=500,
    run:
        check_log = Path(f"{OUTDIR}/logs/check.log")
        check_log.parent.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryDirectory() as folder:
            checked = f"{folder}/plan.json"
            shell(plan_command("{checked:q}", "{check_log:q}"))
            print(run_summary(load_json(Path(checked))), file=sys.stderr)
