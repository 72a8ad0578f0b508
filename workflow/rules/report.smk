# What a person reads: the statistics of every chromosome in one table, the plots, and one
# self-contained page (Snakemake's own --report fetches files from the network as it builds).


rule gather_stats:
    input:
        per_chromosome(f"{OUTDIR}/work/{{chrom}}.stats.tsv"),
    output:
        f"{OUTDIR}/stats.tsv",
    log:
        f"{OUTDIR}/logs/gather_stats.log",
    benchmark:
        f"{OUTDIR}/benchmarks/gather_stats/gather_stats.tsv"
    threads: 1
    resources:
        mem_mb=stats_mem_mb,
        runtime=stats_runtime,
    # Every part starts with the same header line: keep the first one only.
    shell:
        explained(
            "awk 'NR == 1 || FNR > 1' {input:q} > {output:q} 2> {log:q}"
        )


rule plots:
    input:
        stats=f"{OUTDIR}/stats.tsv",
        histograms=per_chromosome(f"{OUTDIR}/work/{{chrom}}.sites_per_pir.tsv"),
    output:
        distributions=f"{OUTDIR}/plots/distributions.png",
        chromosomes=f"{OUTDIR}/plots/per_chromosome.png",
        sites=f"{OUTDIR}/plots/sites_per_pir.png",
    params:
        script=python("plots.py"),
    log:
        f"{OUTDIR}/logs/plots.log",
    benchmark:
        f"{OUTDIR}/benchmarks/plots/plots.tsv"
    threads: 1
    resources:
        mem_mb=stats_mem_mb,
        runtime=stats_runtime,
    shell:
        explained(
            "{params.script} --log {log:q} --stats {input.stats:q}"
            " --histograms {input.histograms:q} --distributions {output.distributions:q}"
            " --chromosomes {output.chromosomes:q} --sites {output.sites:q}"
        )


rule report:
    input:
        stats=f"{OUTDIR}/stats.tsv",
        plan=f"{OUTDIR}/work/plan.json",
        plots=rules.plots.output,
    output:
        page=f"{OUTDIR}/report.html",
        # Written beside the page, which links it by its name.
        table=f"{OUTDIR}/sample_figures.tsv",
    params:
        script=python("report.py"),
        settings=json.dumps({**config, "program": PROGRAM, "vcf index": VCF_INDEX}),
        program=PROGRAM,
        # Read as they are when the report is made: the scans' warnings, every earlier job's
        # run time and memory.
        scan_logs=f"{OUTDIR}/logs/scan",
        benchmarks=f"{OUTDIR}/benchmarks",
    log:
        f"{OUTDIR}/logs/report.log",
    threads: 1
    resources:
        mem_mb=stats_mem_mb,
        runtime=stats_runtime,
    shell:
        explained(
            "{params.script} --log {log:q} --stats {input.stats:q} --plan {input.plan:q}"
            " --plots {input.plots:q} --scan-logs {params.scan_logs:q}"
            " --benchmarks {params.benchmarks:q} --settings {params.settings:q}"
            " --program {params.program:q} --out {output.page:q}"
        )
